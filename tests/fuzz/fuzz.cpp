#include "fuzz.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <system_error>
#include <thread>

namespace fuzz {

namespace {

struct Scratch {
  std::filesystem::path path;
  Scratch() {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::string tmpl = (base / "quv-fuzz-XXXXXX").string();
    check(::mkdtemp(tmpl.data()) != nullptr, "scratch directory");
    path = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

const std::filesystem::path& scratch() {
  static Scratch s;
  return s.path;
}

void write_file(const std::filesystem::path& path, ByteView bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "open scratch file");
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    check(n > 0, "write scratch file");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

namespace {

std::mutex reply_mu;
Bytes reply_bytes;

void write_all(int fd, ByteView b) {
  size_t done = 0;
  while (done < b.size()) {
    ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client gave up; what it got is what it sees
    done += static_cast<size_t>(n);
  }
}

void answer_forever(int listener) {
  for (;;) {
    int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    Bytes reply;
    {
      std::lock_guard<std::mutex> lock(reply_mu);
      reply = reply_bytes;
    }
    write_all(c, reply);
    ::shutdown(c, SHUT_WR);
    // Closing with the request unread would reset the connection and might cut the reply.
    uint8_t sink[4096];
    while (::recv(c, sink, sizeof sink, 0) > 0) {
    }
    ::close(c);
  }
}

}  // namespace

Replier::Replier() {
  int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  check(l >= 0, "replier socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  check(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "replier bind");
  check(::listen(l, 16) == 0, "replier listen");
  socklen_t len = sizeof a;
  check(::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) == 0, "replier port");
  host_ = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  std::thread(answer_forever, l).detach();
}

void Replier::serve(ByteView reply) {
  std::lock_guard<std::mutex> lock(reply_mu);
  reply_bytes.assign(reply.begin(), reply.end());
}

}  // namespace fuzz
