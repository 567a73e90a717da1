#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "node/gossip_link.h"
#include "proc.h"

extern char** environ;

namespace netns {

namespace {

// Runs "ip" with `args`; true when it succeeds. Its output goes to `err` on failure.
bool ip(const std::vector<std::string>& args, std::string* err = nullptr) {
  proc::Spec spec;
  spec.bin = "/usr/sbin/ip";
  if (!std::filesystem::exists(spec.bin)) spec.bin = "/sbin/ip";
  spec.args = args;
  spec.timeout = std::chrono::milliseconds(10000);
  proc::Outcome o = proc::run(spec);
  if (o.status != 0 && err) *err = o.err.empty() ? "ip could not run" : o.err;
  return o.status == 0;
}

}  // namespace

std::unique_ptr<Net> Net::make(size_t nodes, std::string* why) {
  std::unique_ptr<Net> n(new Net());
  n->tag_ = std::to_string(::getpid());
  const std::string hub = "quvh" + n->tag_;
  if (!ip({"netns", "add", hub}, why)) return nullptr;
  n->hub_ = hub;
  if (!ip({"-n", hub, "link", "add", "br0", "type", "bridge"}, why) ||
      !ip({"-n", hub, "link", "set", "br0", "up"}, why)) {
    return nullptr;
  }
  for (size_t i = 0; i < nodes; ++i) {
    if (!n->add()) {
      if (why) *why = "a node namespace could not be made";
      return nullptr;
    }
  }
  return n;
}

std::optional<size_t> Net::add() {
  const size_t i = nodes_.size();
  const std::string name = "quv" + std::to_string(i) + "n" + tag_;
  if (!ip({"netns", "add", name})) return std::nullopt;
  nodes_.push_back(name);
  const std::string port = "b" + std::to_string(i);
  if (!ip({"-n", name, "link", "set", "lo", "up"}) ||
      !ip({"link", "add", "e0", "netns", name, "type", "veth", "peer", "name", port, "netns",
           hub_}) ||
      !ip({"-n", name, "addr", "add", addr(i) + "/24", "dev", "e0"}) ||
      !ip({"-n", name, "link", "set", "e0", "up"}) ||
      !ip({"-n", hub_, "link", "set", port, "master", "br0"}) ||
      !ip({"-n", hub_, "link", "set", port, "up"})) {
    return std::nullopt;
  }
  return i;
}

std::string Net::addr(size_t i) const { return "10.77.0." + std::to_string(i + 1); }

Net::~Net() {
  for (const std::string& name : nodes_) ip({"netns", "del", name});
  if (!hub_.empty()) ip({"netns", "del", hub_});
}

Bg::Bg(const std::vector<std::string>& args,
       const std::vector<std::pair<std::string, std::string>>& env,
       const std::filesystem::path& out, const std::filesystem::path& err) {
  std::vector<std::string> envs;
  for (char** e = environ; e && *e; ++e) envs.emplace_back(*e);
  for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : envs) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0) ::_exit(126);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
}

Bg::~Bg() { stop(); }

bool Bg::alive() {
  if (pid_ <= 0) return false;
  int st = 0;
  if (::waitpid(pid_, &st, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Bg::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int st = 0;
  ::waitpid(pid_, &st, 0);
  pid_ = -1;
}

std::optional<Bytes> call_in(const std::string& ns, const std::string& host,
                             const std::string& method, const std::string& path, const Bytes& body,
                             const std::string& content_type) {
  std::optional<Bytes> out;
  std::thread t([&] {
    const std::string file = "/run/netns/" + ns;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    // Only this thread moves into the namespace, and it ends with the call.
    const bool in = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    if (!in) return;
    node::PeerRequest req;
    req.method = method;
    req.path = path;
    req.body = body;
    req.content_type = content_type;
    req.timeout = std::chrono::milliseconds(5000);
    if (auto r = node::peer_call(host, req)) out = std::move(*r);
  });
  t.join();
  return out;
}

}  // namespace netns
