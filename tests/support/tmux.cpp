// A tmux server of the test's own, driven through the tmux command line.
#include "tmux.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

namespace tmux {

std::string which(const std::string& name) {
  auto r = proc::run("/bin/sh", {"-c", "command -v " + name});
  if (r.status != 0 || r.out.empty()) return "";
  return r.out.substr(0, r.out.find('\n'));
}

Server::Server(std::string socket) : bin_(which("tmux")), socket_(std::move(socket)) {}

Server::~Server() {
  if (bin_.empty()) return;
  run({"kill-server"});
  // tmux leaves its socket file behind; it lives under TMUX_TMPDIR (or /tmp) per user.
  const char* tmp = std::getenv("TMUX_TMPDIR");
  std::error_code ignored;
  std::filesystem::remove(std::string(tmp && *tmp ? tmp : "/tmp") + "/tmux-" +
                              std::to_string(::getuid()) + "/" + socket_,
                          ignored);
}

proc::Outcome Server::run(std::vector<std::string> args) {
  args.insert(args.begin(), {"-L", socket_});
  return proc::run(bin_, std::move(args));
}

bool Server::start(const std::string& pane, int cols, int rows, const std::string& command) {
  return run({"new-session", "-d", "-s", pane, "-x", std::to_string(cols), "-y",
              std::to_string(rows), command})
             .status == 0;
}

std::string Server::screen(const std::string& pane) {
  return run({"capture-pane", "-p", "-t", pane}).out;
}

std::string Server::alternate(const std::string& pane) {
  return run({"display", "-p", "-t", pane, "#{alternate_on}"}).out;
}

void Server::keys(const std::string& pane, const std::string& literal) {
  run({"send-keys", "-t", pane, "-l", literal});
}

void Server::key(const std::string& pane, const std::string& name) {
  run({"send-keys", "-t", pane, name});
}

bool Server::wait_for(const std::string& pane, const std::vector<std::string>& texts,
                      std::chrono::milliseconds limit) {
  constexpr std::chrono::milliseconds kStep{100};
  for (auto waited = std::chrono::milliseconds{0}; waited < limit; waited += kStep) {
    std::string s = screen(pane);
    bool all = true;
    for (const std::string& t : texts) all = all && s.find(t) != std::string::npos;
    if (all) return true;
    std::this_thread::sleep_for(kStep);
  }
  return false;
}

}  // namespace tmux
