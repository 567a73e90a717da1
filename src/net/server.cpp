#include "net/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>

#include "net/routes.h"
#include "net/status.h"

namespace net {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the event threads look for connections whose time is up.
constexpr milliseconds kTick{50};
// Bytes one connection may write per readiness event, so that a fast reader of a large
// reply does not keep the other connections of its event thread waiting.
constexpr size_t kWriteSlice = size_t{1} << 20;
// Connections taken from the listen queue per readiness before the others get a turn.
constexpr int kAcceptBatch = 64;
// How long the listener rests when a connection can be neither taken nor refused.
constexpr milliseconds kAcceptPause{100};
// The pace a client is expected to keep when it sends or takes bytes: one that moves
// bytes at least this fast is never behind; one that is slower or silent falls behind by
// the time it lacks. When the server must close a connection, the one furthest behind goes
// first, so a client that pauses for a moment between its header and its body outranks
// one that has sent nothing for longer, or trickles.
constexpr uint64_t kPace = 8192;
// A connection that needs room for its request closes another one that holds request
// bytes only when that one is this much further behind; a client that is sending now is
// not closed for a newcomer.
constexpr milliseconds kGrace{200};
// The least share of the request budget an event thread gets: a whole request, with room
// for its header block to grow.
constexpr size_t kMinShare = 2 * (kMaxHeaderBytes + kReadChunk) + kMaxBodyBytes;
// Once the request bytes held have reached this much and fallen to a quarter of it, the
// freed memory is given back to the system: the allocator keeps freed memory otherwise,
// and a burst of unfinished requests would stay resident after every client has gone.
constexpr size_t kTrimAfter = size_t{8} << 20;
// Requests handed on to the node loop are freed by its next tick.
constexpr milliseconds kTrimAgain{1500};
// Keys of the event sources that are not connections.
constexpr uint64_t kListenKey = 0;
constexpr uint64_t kStopKey = 1;
constexpr uint64_t kWakeKey = 2;
constexpr uint64_t kFirstConn = 16;
// The events of a socket whose one-shot wait has fired: in the wait set, waiting for nothing.
constexpr uint32_t kDisarmed = EPOLLONESHOT;

// The soft open-file limit after raising it to the hard one: the server needs one
// descriptor per connection, and thousands of clients may be connected at once.
size_t raise_open_file_limit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 1024;
  if (lim.rlim_cur < lim.rlim_max) {
    rlimit want = lim;
    want.rlim_cur = lim.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &want) == 0) lim = want;
  }
  return lim.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(lim.rlim_cur);
}

// Descriptors kept back from the connections for the rest of the process: the node's
// chain, state and image files, its staging and adoption files, its peer connections and
// the server's own wait sets.
constexpr size_t kOwnFiles = 64;

// Connections the server keeps open at most. A connection holds one descriptor, its
// socket: a reply from the chain file opens the file only while it writes. What is left
// is kept for the files that the workers and event threads open while they answer, and
// for the rest of the process, so that no number of clients leaves the node without a
// descriptor to save its state or seal.
size_t connection_limit(size_t open_files, size_t workers, size_t event_threads) {
  const size_t margin = kOwnFiles + 4 * workers + 4 * event_threads;
  return open_files > 2 * margin ? open_files - margin : open_files / 2;
}

// A reply on its way out: the header block and the body (its own bytes, or a status
// document shared with the cache), or the header block and the chain file from `file_off`
// up to the length it had when the request was answered. The chain file is open only
// while bytes are written from it: a reply that waits for its reader holds no descriptor
// but its socket. It is opened again by its path and must be the same file.
struct Outgoing {
  std::string head;
  Bytes body;
  std::shared_ptr<const std::string> shared;
  size_t sent = 0;
  bool from_file = false;
  Socket file;
  const std::string* file_path = nullptr;
  dev_t file_dev = 0;
  ino_t file_ino = 0;
  uint64_t file_len = 0;
  off_t file_off = 0;
  uint64_t file_start = 0;

  std::string_view memory_body() const {
    if (shared) return *shared;
    return {reinterpret_cast<const char*>(body.data()), body.size()};
  }
  uint64_t body_len() const { return from_file ? file_len - file_start : memory_body().size(); }
  // Opens the chain file again; false when it is gone or another file took its name.
  bool reopen() {
    if (file.valid()) return true;
    file = Socket(::open(file_path->c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || st.st_dev != file_dev ||
        st.st_ino != file_ino) {
      file.close();
      return false;
    }
    return true;
  }
};

enum class Wrote { More, Done, Failed };

// Writes what the socket takes now, at most `budget` bytes.
Wrote write_from(int fd, Outgoing& o, size_t budget) {
  const std::string_view body = o.memory_body();
  // The socket only reads from the body.
  char* const body_data = const_cast<char*>(body.data());
  while (budget > 0) {
    const size_t in_memory = o.head.size() + body.size();
    ssize_t r = 0;
    if (o.sent < in_memory) {
      iovec iov[2];
      int n = 0;
      if (o.sent < o.head.size()) {
        iov[n++] = {o.head.data() + o.sent, o.head.size() - o.sent};
        if (!body.empty()) iov[n++] = {body_data, body.size()};
      } else {
        const size_t at = o.sent - o.head.size();
        iov[n++] = {body_data + at, body.size() - at};
      }
      msghdr msg{};
      msg.msg_iov = iov;
      msg.msg_iovlen = static_cast<size_t>(n);
      r = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r > 0) o.sent += static_cast<size_t>(r);
    } else if (o.from_file && static_cast<uint64_t>(o.file_off) < o.file_len) {
      if (!o.reopen()) return Wrote::Failed;
      const size_t want = static_cast<size_t>(
          std::min<uint64_t>(budget, o.file_len - static_cast<uint64_t>(o.file_off)));
      r = ::sendfile(fd, o.file.get(), &o.file_off, want);
      // A file that became shorter than its length at answer time cannot complete the
      // reply; the connection ends.
      if (r == 0) return Wrote::Failed;
    } else {
      return Wrote::Done;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Wrote::More;
      return Wrote::Failed;
    }
    budget -= std::min(budget, static_cast<size_t>(r));
  }
  return Wrote::More;
}

// Writes what the socket takes now, at most `budget` bytes. A reply that is to wait for
// its reader closes its chain file meanwhile.
Wrote write_some(int fd, Outgoing& o, size_t budget) {
  Wrote w = write_from(fd, o, budget);
  if (w == Wrote::More) o.file.close();
  return w;
}

// After the whole reply: finish our side first and take what the client already sent,
// so that closing does not reset the connection before the client has read the reply.
void end_reply(int fd) {
  ::shutdown(fd, SHUT_WR);
  uint8_t sink[kReadChunk];
  for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
}

}  // namespace

std::string address_text(const sockaddr_storage& a) {
  char buf[INET6_ADDRSTRLEN] = {0};
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    if (inet_ntop(AF_INET, &v4->sin_addr, buf, sizeof buf)) return buf;
  } else if (a.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    if (inet_ntop(AF_INET6, &v6->sin6_addr, buf, sizeof buf)) return buf;
  }
  return "";
}

// One accepted connection, owned by the event thread that accepted it while it reads the
// request or waits to write the rest of the reply; a worker owns it in between. While it
// reads, the capacity of its buffers is charged to its event thread's share of the request
// budget.
struct Conn {
  enum class Phase { Reading, Writing };
  Socket sock;
  std::string peer;
  Phase phase = Phase::Reading;
  // The events its event thread waits for on the socket; 0 when it is not in the wait set.
  uint32_t events = 0;
  // The end of the current phase, and the time of the last byte that moved.
  Clock::time_point deadline;
  Clock::time_point last_progress;
  // How far its pace has brought it: one second further per `kPace` bytes that move, never
  // past the time they moved. The time since then is how far it is behind.
  Clock::time_point paced;
  // Request bytes charged to the share: the capacity of the buffers it holds.
  size_t charged = 0;
  // Not read until the share has room for its next read; the bytes that wait with the
  // kernel meanwhile, as last counted.
  bool paused = false;
  size_t waiting = 0;
  // Reading: the bytes so far, until the header block is whole; then the request.
  Bytes buf;
  size_t search_from = 0;
  std::optional<RequestHead> head;
  Outgoing out;
};

// A request handed to a worker, with its connection.
struct Job {
  size_t loop;
  Socket sock;
  Request req;
  bool local;
  // Request bytes charged to the loop's share until the request is answered.
  size_t charged;
};

// A reply the worker could not write whole, handed back with its connection to the event
// thread that read the request.
struct Answer {
  Socket sock;
  Outgoing out;
};

class EventLoop {
 public:
  EventLoop(Server::Shared& s, size_t index, size_t share) : s_(s), index_(index), share_(share) {}
  [[nodiscard]] Status init();
  void run();
  // Hands a worker's answer to this loop; any thread.
  void post(Answer a);
  // Gives back request bytes charged to this loop's share; any thread.
  void release(size_t bytes);

 private:
  using ConnIt = std::map<uint64_t, Conn>::iterator;
  void accept_some();
  void refuse_one();
  bool make_room();
  enum class Read { Waiting, Paused, Dispatched, Failed };

  void close_conn(ConnIt it);
  // Reads what the connection has sent and watches it, pauses it or closes it after.
  void serve(ConnIt it);
  Read on_readable(ConnIt it);
  void dispatch(ConnIt it);
  void take_answers();
  void finish(ConnIt it);
  void sweep(Clock::time_point now);
  bool watch(int fd, uint64_t key, uint32_t events, int op = EPOLL_CTL_ADD);

  // The order of connections by how far behind they are, and of those that hold request
  // bytes; a connection is in the first from its start to its end.
  void index(ConnIt it);
  void unindex(ConnIt it);
  // Records `n` bytes that moved on the connection now.
  void moved(ConnIt it, size_t n, Clock::time_point now);
  // Charges the connection for the buffers it holds now.
  void settle(ConnIt it);
  // Makes room for `more` request bytes of the connection in the share, closing holders
  // that are further behind; false when there is none to close.
  bool admit(ConnIt it, size_t more);
  // Reads the paused connections again, in the order they were paused; with `force` even
  // when the share looks full, so that they may close holders that fell behind.
  // True when one of them still waits.
  bool resume_paused(bool force);
  // A paused connection whose client has hung up.
  void hung_up(ConnIt it);
  // Waits for `events` on the connection's socket; false when it cannot.
  bool wait_for(ConnIt it, uint32_t events);
  void trim_after_burst(Clock::time_point now);

  Server::Shared& s_;
  size_t index_;
  Socket ep_;
  Socket wake_;
  // Kept open so that one descriptor is always at hand to take and close a connection
  // when the process has none left.
  Socket reserve_;
  std::map<uint64_t, Conn> conns_;
  uint64_t next_id_ = kFirstConn;
  bool listening_ = true;
  Clock::time_point resume_at_;

  using Behind = std::pair<Clock::time_point, uint64_t>;
  std::set<Behind> by_pace_;
  std::set<Behind> holders_;
  std::deque<uint64_t> paused_;
  // The request bytes this loop may hold, and those it holds: its connections' buffers
  // and the requests it has handed to workers that are not answered yet.
  const size_t share_;
  std::atomic<size_t> held_{0};
  // The most request bytes held in the whole server since memory was last given back.
  size_t trim_peak_ = 0;
  std::optional<Clock::time_point> trim_again_;

  std::mutex mu_;
  std::vector<Answer> done_;
};

struct Server::Shared {
  ServerOptions opts;
  std::string chain_path;
  Sender tx;
  Socket listener;
  // Becomes readable once, when the server stops; every event thread watches it.
  Socket stop_event;
  size_t max_conns = 0;
  std::atomic<size_t> open_conns{0};
  // Request bytes held by every event thread together.
  std::atomic<size_t> held{0};
  std::atomic<bool> stopping{false};
  std::vector<std::unique_ptr<EventLoop>> loops;
  // GET /status is served from one document built per change, not one per request.
  std::unique_ptr<StatusCache> status;

  std::mutex mu;
  std::condition_variable cv;
  std::deque<Job> jobs;

  void submit(Job j) {
    {
      std::lock_guard lock(mu);
      jobs.push_back(std::move(j));
    }
    cv.notify_one();
  }
  void work();
  Outgoing answer(const Job& j) const;
  // GET /chain: the whole file, or with "Range: bytes=N-" the bytes from N on.
  Outgoing answer_chain(const Request& req) const;
  // A connection that is closed for good.
  void closed() { open_conns.fetch_sub(1); }
};

// ---------------------------------------------------------------------------
// Workers.

void Server::Shared::work() {
  for (;;) {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return stopping.load() || !jobs.empty(); });
    if (stopping) return;
    Job j = std::move(jobs.front());
    jobs.pop_front();
    lock.unlock();
    Answer a{std::move(j.sock), answer(j)};
    j.req = Request{};
    loops[j.loop]->release(j.charged);
    // Most replies fit the socket's buffer: the worker writes what goes at once and
    // closes the connection, and the event thread waits for the rest only when the
    // client reads slowly.
    Wrote w = write_some(a.sock.get(), a.out, kWriteSlice);
    if (w == Wrote::More) {
      loops[j.loop]->post(std::move(a));
      continue;
    }
    if (w == Wrote::Done) end_reply(a.sock.get());
    a.sock.close();
    closed();
  }
}

Outgoing Server::Shared::answer(const Job& j) const {
  Outgoing a;
  if (is_status_request(j.req)) {
    a.shared = status->get();
    a.head = reply_head(200, "application/json", a.shared->size());
    return a;
  }
  if (j.req.line.starts_with("GET /chain")) return answer_chain(j.req);
  Reply r = route(j.req, chain_path, tx, j.local);
  a.head = reply_head(r.status, r.content_type, r.body.size());
  a.body = std::move(r.body);
  return a;
}

Outgoing Server::Shared::answer_chain(const Request& req) const {
  // The length is fixed now and the bytes go out straight from the file, so a reply costs
  // the same memory whatever the chain's size. A chain that cannot be opened is an empty
  // body.
  constexpr std::string_view kOctets = "application/octet-stream";
  Outgoing a;
  Socket f(::open(chain_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (f.valid() && ::fstat(f.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    a.file_len = static_cast<uint64_t>(st.st_size);
    a.file = std::move(f);
    a.from_file = true;
    a.file_path = &chain_path;
    a.file_dev = st.st_dev;
    a.file_ino = st.st_ino;
  }
  // A follower that holds the start of our chain asks only for the bytes after it.
  if (auto from = range_start(req.head)) {
    const std::string total = std::to_string(a.file_len);
    if (*from >= a.file_len) {
      a.file = Socket();
      a.from_file = false;
      a.head = reply_head(416, kOctets, 0, "Content-Range: bytes */" + total);
      return a;
    }
    a.file_start = *from;
    a.file_off = static_cast<off_t>(*from);
    a.head = reply_head(206, kOctets, a.file_len - *from,
                        "Content-Range: bytes " + std::to_string(*from) + "-" +
                            std::to_string(a.file_len - 1) + "/" + total);
    return a;
  }
  a.head = reply_head(200, kOctets, a.file_len);
  return a;
}

// ---------------------------------------------------------------------------
// Event threads.

bool EventLoop::watch(int fd, uint64_t key, uint32_t events, int op) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = key;
  return ::epoll_ctl(ep_.get(), op, fd, &ev) == 0;
}

Status EventLoop::init() {
  ep_ = Socket(::epoll_create1(EPOLL_CLOEXEC));
  wake_ = Socket(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  reserve_ = Socket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!ep_.valid() || !wake_.valid()) return fail(error::os_text(errno));
  // Each event thread waits on the listener exclusively, so a new connection wakes one of
  // them rather than all.
  if (!watch(s_.listener.get(), kListenKey, EPOLLIN | EPOLLEXCLUSIVE) ||
      !watch(s_.stop_event.get(), kStopKey, EPOLLIN) || !watch(wake_.get(), kWakeKey, EPOLLIN)) {
    return fail(error::os_text(errno));
  }
  return {};
}

void EventLoop::post(Answer a) {
  bool was_empty = false;
  {
    std::lock_guard lock(mu_);
    was_empty = done_.empty();
    done_.push_back(std::move(a));
  }
  // One wake-up serves every answer queued before the loop takes them.
  if (!was_empty) return;
  uint64_t one = 1;
  // The counter cannot overflow from these single increments; a failed write is
  // impossible on a valid eventfd.
  (void)!::write(wake_.get(), &one, sizeof one);
}

void EventLoop::run() {
  epoll_event events[256];
  auto next_sweep = Clock::now() + kTick;
  for (;;) {
    int n = ::epoll_wait(ep_.get(), events, 256, static_cast<int>(kTick.count()));
    for (int i = 0; i < n; ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == kStopKey) return;
      if (key == kWakeKey) {
        take_answers();
        continue;
      }
      if (key == kListenKey) {
        accept_some();
        continue;
      }
      auto it = conns_.find(key);
      if (it == conns_.end()) continue;
      Conn& c = it->second;
      if (c.phase == Conn::Phase::Reading) {
        if (c.paused) {
          hung_up(it);
        } else {
          serve(it);
        }
      } else {
        const uint64_t before = c.out.sent + static_cast<uint64_t>(c.out.file_off);
        Wrote w = write_some(c.sock.get(), c.out, kWriteSlice);
        const uint64_t after = c.out.sent + static_cast<uint64_t>(c.out.file_off);
        if (after != before) moved(it, static_cast<size_t>(after - before), Clock::now());
        if (w == Wrote::Failed) close_conn(it);
        if (w == Wrote::Done) finish(it);
      }
    }
    if (!paused_.empty() && held_.load() < share_) resume_paused(false);
    const auto now = Clock::now();
    if (now >= next_sweep) {
      sweep(now);
      next_sweep = now + kTick;
    }
    if (!listening_ && now >= resume_at_) {
      listening_ = watch(s_.listener.get(), kListenKey, EPOLLIN | EPOLLEXCLUSIVE);
      if (!listening_) resume_at_ = now + kAcceptPause;
    }
  }
}

void EventLoop::accept_some() {
  for (int i = 0; i < kAcceptBatch; ++i) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    int fd = ::accept4(s_.listener.get(), reinterpret_cast<sockaddr*>(&a), &len,
                       SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      // Out of descriptors or memory: refuse the waiting connection rather than leave it
      // in the queue, where it would wake this thread again at once.
      refuse_one();
      return;
    }
    Socket sock(fd);
    // The server's share of descriptors is used up: a connection of this thread makes
    // room, or the new one is refused.
    if (s_.open_conns.load() >= s_.max_conns && !make_room()) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const uint64_t id = next_id_++;
    auto [it, added] = conns_.try_emplace(id);
    Conn& c = it->second;
    c.sock = std::move(sock);
    c.peer = s_.opts.peer_override ? *s_.opts.peer_override : address_text(a);
    const auto now = Clock::now();
    c.deadline = now + s_.opts.limits.read_deadline;
    c.last_progress = now;
    c.paced = now;
    index(it);
    s_.open_conns.fetch_add(1);
    // A client usually sends its request with the connection: it is read at once, and
    // the connection is watched only when more is to come.
    serve(it);
  }
}

void EventLoop::refuse_one() {
  if (reserve_.valid()) {
    reserve_.close();
    int fd = ::accept4(s_.listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    reserve_ = Socket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (reserve_.valid()) return;
  }
  // Not even one descriptor: the listener rests for a moment instead of waking this
  // thread in a loop, and is watched again when the pause is over.
  ::epoll_ctl(ep_.get(), EPOLL_CTL_DEL, s_.listener.get(), nullptr);
  listening_ = false;
  resume_at_ = Clock::now() + kAcceptPause;
}

bool EventLoop::make_room() {
  // The connection furthest behind its pace, reading or writing: a client that has sent
  // nothing or taken nothing for longest goes before one that moves bytes at a normal pace,
  // however long ago that one connected.
  if (by_pace_.empty()) return false;
  close_conn(conns_.find(by_pace_.begin()->second));
  return true;
}

void EventLoop::close_conn(ConnIt it) {
  unindex(it);
  release(it->second.charged);
  conns_.erase(it);  // closing the socket also takes it out of the wait set
  s_.closed();
}

void EventLoop::index(ConnIt it) {
  const Behind key{it->second.paced, it->first};
  by_pace_.insert(key);
  if (it->second.charged > 0) holders_.insert(key);
}

void EventLoop::unindex(ConnIt it) {
  const Behind key{it->second.paced, it->first};
  by_pace_.erase(key);
  holders_.erase(key);
}

void EventLoop::moved(ConnIt it, size_t n, Clock::time_point now) {
  Conn& c = it->second;
  c.last_progress = now;
  const auto credit = std::chrono::nanoseconds(
      static_cast<int64_t>(std::min<uint64_t>(n, uint64_t{1} << 32) * 1'000'000'000 / kPace));
  const auto next = std::min(now, c.paced + std::chrono::duration_cast<Clock::duration>(credit));
  if (next == c.paced) return;
  unindex(it);
  c.paced = next;
  index(it);
}

void EventLoop::release(size_t bytes) {
  if (bytes == 0) return;
  held_.fetch_sub(bytes);
  s_.held.fetch_sub(bytes);
}

void EventLoop::settle(ConnIt it) {
  Conn& c = it->second;
  size_t holds = c.buf.capacity();
  if (c.head) {
    const Request& r = c.head->req;
    holds += r.body.capacity() + r.head.capacity() + r.line.capacity();
  }
  if (holds == c.charged) return;
  unindex(it);
  held_.fetch_add(holds);
  s_.held.fetch_add(holds);
  release(c.charged);
  c.charged = holds;
  index(it);
}

bool EventLoop::admit(ConnIt it, size_t more) {
  const auto mine = it->second.paced;
  while (held_.load() + more > share_) {
    auto v = holders_.begin();
    if (v != holders_.end() && v->second == it->first) ++v;
    if (v == holders_.end() || v->first + kGrace >= mine) return false;
    close_conn(conns_.find(v->second));
  }
  return true;
}

void EventLoop::serve(ConnIt it) {
  const uint64_t id = it->first;
  const Read r = on_readable(it);
  if (r == Read::Dispatched) return;
  if (r == Read::Failed) {
    close_conn(it);
    return;
  }
  Conn& c = it->second;
  if (r == Read::Waiting) {
    if (!wait_for(it, EPOLLIN)) close_conn(it);
    return;
  }
  // Paused: what the client sends stays with the kernel, which slows the client down, until
  // the share has room again. Only its hanging up is watched, once.
  if (!wait_for(it, EPOLLRDHUP | EPOLLONESHOT)) {
    close_conn(it);
    return;
  }
  if (c.paused) return;
  paused_.push_back(id);
  c.paused = true;
  int waiting = 0;
  c.waiting = ::ioctl(c.sock.get(), FIONREAD, &waiting) == 0 && waiting > 0
                  ? static_cast<size_t>(waiting)
                  : 0;
}

void EventLoop::hung_up(ConnIt it) {
  // The client has sent all it will while its request waited for room: it is read now if
  // there is room, else it is closed, since it no longer needs to be read later.
  Conn& c = it->second;
  const uint64_t id = it->first;
  c.events = kDisarmed;
  c.paused = false;
  serve(it);
  it = conns_.find(id);
  if (it != conns_.end() && it->second.paused) close_conn(it);
}

bool EventLoop::wait_for(ConnIt it, uint32_t events) {
  Conn& c = it->second;
  if (c.events == events) return true;
  if (!watch(c.sock.get(), it->first, events, c.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD)) {
    return false;
  }
  c.events = events;
  return true;
}

bool EventLoop::resume_paused(bool force) {
  // One pass in the order they were paused; one that still finds no room goes behind the
  // others in the same order. Without `force` the pass ends at the first that finds none.
  bool waits = false;
  for (size_t n = paused_.size(); n > 0 && (force || held_.load() < share_); --n) {
    const uint64_t id = paused_.front();
    paused_.pop_front();
    auto it = conns_.find(id);
    if (it == conns_.end() || !it->second.paused) continue;
    Conn& c = it->second;
    // What the client has sent meanwhile waits with the kernel; it counts as its progress,
    // so that a client that goes on sending is not taken for one that stopped.
    int waiting = 0;
    if (::ioctl(c.sock.get(), FIONREAD, &waiting) == 0 && waiting > 0 &&
        static_cast<size_t>(waiting) > c.waiting) {
      moved(it, static_cast<size_t>(waiting) - c.waiting, Clock::now());
      c.waiting = static_cast<size_t>(waiting);
    }
    c.paused = false;
    serve(it);
    it = conns_.find(id);
    if (it == conns_.end() || !it->second.paused) continue;
    waits = true;
    if (!force) {
      paused_.pop_back();
      paused_.push_front(id);
      break;
    }
  }
  return waits;
}

EventLoop::Read EventLoop::on_readable(ConnIt it) {
  Conn& c = it->second;
  const int fd = c.sock.get();
  uint8_t chunk[kReadChunk];
  for (;;) {
    // Room for a whole chunk is found in the share before reading, so bytes that cannot be
    // held stay with the kernel; what is kept is charged as it is kept. A buffer grows by
    // half at a time, a body's no further than its announced length, so a client that
    // trickles holds little more than it sent.
    Bytes& into = c.head ? c.head->req.body : c.buf;
    const size_t cap = into.capacity();
    const size_t n =
        c.head ? std::min<size_t>(kReadChunk, c.head->body_length - into.size()) : kReadChunk;
    auto grown = [&](size_t size) {
      const size_t want = std::max(size, cap + cap / 2);
      return c.head ? std::min<size_t>(want, c.head->body_length) : want;
    };
    if (into.size() + n > cap && !admit(it, grown(into.size() + n) - cap)) return Read::Paused;
    const ssize_t r = ::recv(fd, chunk, n, MSG_DONTWAIT);
    if (r > 0) {
      const size_t got = static_cast<size_t>(r);
      if (into.size() + got > cap) into.reserve(grown(into.size() + got));
      into.insert(into.end(), chunk, chunk + got);
      settle(it);
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? Read::Waiting : Read::Failed;
    }
    moved(it, static_cast<size_t>(r), Clock::now());
    c.waiting = 0;
    if (r == 0) {
      // The end of the stream before the header block ends the connection without a
      // reply; within the body it ends the body, which is served as it is.
      if (!c.head) return Read::Failed;
      dispatch(it);
      return Read::Dispatched;
    }
    if (!c.head) {
      auto parsed = parse_head(c.buf, c.search_from);
      if (!parsed) return Read::Failed;  // a request that cannot be read gets no reply
      if (!*parsed) continue;
      c.head = std::move(**parsed);
      Bytes& body = c.head->req.body;
      const size_t start = c.search_from;
      const size_t have = std::min<size_t>(c.buf.size() - start, c.head->body_length);
      body.assign(c.buf.begin() + static_cast<std::ptrdiff_t>(start),
                  c.buf.begin() + static_cast<std::ptrdiff_t>(start + have));
      Bytes().swap(c.buf);
      // The header text may take more than its bytes did (an invalid byte becomes three).
      settle(it);
      if (!admit(it, 0)) return Read::Failed;
    }
    if (c.head->req.body.size() >= c.head->body_length) {
      dispatch(it);
      return Read::Dispatched;
    }
  }
}

void EventLoop::dispatch(ConnIt it) {
  // The worker takes the connection: nothing is read from it meanwhile, and a peer that
  // hangs up is noticed when the reply is written. The request stays charged to the share
  // until it is answered, so requests waiting for a worker count too.
  Conn& c = it->second;
  if (c.events != 0) ::epoll_ctl(ep_.get(), EPOLL_CTL_DEL, c.sock.get(), nullptr);
  unindex(it);
  const size_t charged = std::exchange(c.charged, 0);
  s_.submit(Job{index_, std::move(c.sock), std::move(c.head->req), is_loopback(c.peer), charged});
  conns_.erase(it);
}

void EventLoop::take_answers() {
  uint64_t count = 0;
  (void)!::read(wake_.get(), &count, sizeof count);
  std::vector<Answer> answers;
  {
    std::lock_guard lock(mu_);
    answers.swap(done_);
  }
  for (Answer& a : answers) {
    auto it = conns_.try_emplace(next_id_++).first;
    Conn& c = it->second;
    c.sock = std::move(a.sock);
    c.out = std::move(a.out);
    c.phase = Conn::Phase::Writing;
    // A whole chain file may take longer than a small reply: the deadline grows by one
    // second per 256 KiB, so only a client that reads slower than that is cut off.
    const auto now = Clock::now();
    c.deadline = now + s_.opts.limits.write_deadline + milliseconds(c.out.body_len() / 256);
    c.last_progress = now;
    c.paced = now;
    index(it);
    if (!wait_for(it, EPOLLOUT)) close_conn(it);
  }
}

void EventLoop::finish(ConnIt it) {
  end_reply(it->second.sock.get());
  close_conn(it);
}

void EventLoop::sweep(Clock::time_point now) {
  const auto op = s_.opts.limits.op_timeout;
  for (auto it = conns_.begin(); it != conns_.end();) {
    const Conn& c = it->second;
    const bool timed = now >= c.deadline || now - c.last_progress >= op;
    auto next = std::next(it);
    if (timed) close_conn(it);
    it = next;
  }
  // Paused connections try again now and then even when the share looks full: holders
  // that stopped sending meanwhile have fallen behind them. When they still wait, the
  // holder furthest behind gives way if it too has not moved for a while, so that holders
  // that all wait for room, none far enough behind another, cannot wait for ever.
  if (resume_paused(true)) {
    auto v = holders_.begin();
    if (v != holders_.end() && v->first + kGrace < now) close_conn(conns_.find(v->second));
  }
  if (index_ == 0) trim_after_burst(now);
}

void EventLoop::trim_after_burst(Clock::time_point now) {
  const size_t held = s_.held.load();
  trim_peak_ = std::max(trim_peak_, held);
  const bool ended = trim_peak_ >= kTrimAfter && held <= trim_peak_ / 4;
  if (!ended && !(trim_again_ && now >= *trim_again_)) return;
  // Returns the free pages of every heap, not only the free space at a heap's end. Once
  // more a little later, for the requests that the node loop took meanwhile.
  ::malloc_trim(0);
  trim_peak_ = held;
  trim_again_.reset();
  if (ended) trim_again_ = now + kTrimAgain;
}

// ---------------------------------------------------------------------------
// The server.

Result<std::unique_ptr<Server>> Server::start(ServerOptions opts, std::string chain_path,
                                              Sender tx) {
  const size_t open_files = raise_open_file_limit();
  std::unique_ptr<Server> s(new Server());
  s->shared_ = std::make_unique<Shared>();
  Shared& sh = *s->shared_;
  sockaddr_storage addr{};
  socklen_t addr_len = 0;
  int family = AF_INET;
  if (auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
      inet_pton(AF_INET, opts.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(opts.port);
    addr_len = sizeof(sockaddr_in);
  } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
             inet_pton(AF_INET6, opts.host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(opts.port);
    addr_len = sizeof(sockaddr_in6);
    family = AF_INET6;
  } else {
    return fail(error::os_text(EINVAL));
  }
  sh.listener = Socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int fd = sh.listener.get();
  if (fd < 0) return fail(error::os_text(errno));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    const int err = errno;
    return fail(err == EADDRINUSE ? QuvError::Code::AddressInUse : QuvError::Code::Other,
                error::os_text(err));
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(error::os_text(errno));
  }
  sockaddr_storage bound{};
  socklen_t bound_len = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0) {
    return fail(error::os_text(errno));
  }
  s->port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                              : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  sh.stop_event = Socket(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!sh.stop_event.valid()) return fail(error::os_text(errno));
  sh.opts = std::move(opts);
  sh.chain_path = std::move(chain_path);
  sh.status = std::make_unique<StatusCache>(sh.chain_path);
  sh.tx = std::move(tx);
  const size_t workers = std::max<size_t>(1, sh.opts.workers);
  const size_t loops = std::max<size_t>(1, sh.opts.event_threads);
  sh.max_conns = connection_limit(open_files, workers, loops);
  const size_t share = std::max(kMinShare, sh.opts.request_budget / loops);
  for (size_t i = 0; i < loops; ++i) {
    sh.loops.push_back(std::make_unique<EventLoop>(sh, i, share));
    if (auto ok = sh.loops.back()->init(); !ok) return std::unexpected(ok.error());
  }
  try {
    for (auto& loop : sh.loops) s->threads_.emplace_back([l = loop.get()] { l->run(); });
    for (size_t i = 0; i < workers; ++i) s->threads_.emplace_back([&sh] { sh.work(); });
  } catch (const std::system_error&) {
    die("failed to spawn thread");
  }
  return s;
}

Server::~Server() {
  if (!shared_) return;
  shared_->stopping = true;
  uint64_t one = 1;
  // The counter cannot overflow with a single write; nothing to do otherwise.
  (void)!::write(shared_->stop_event.get(), &one, sizeof one);
  { std::lock_guard lock(shared_->mu); }
  shared_->cv.notify_all();
  for (auto& t : threads_) t.join();
}

Status spawn(std::string chain_path, Sender tx) {
  auto server = Server::start(ServerOptions{}, std::move(chain_path), std::move(tx));
  if (!server) return std::unexpected(server.error());
  // The server serves until the process ends; nothing ever stops it.
  (void)server->release();
  return {};
}

}  // namespace net
