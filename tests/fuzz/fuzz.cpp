#include "fuzz.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

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

}  // namespace fuzz
