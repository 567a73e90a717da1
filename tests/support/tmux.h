// Test support for integration tests that drive a terminal UI: a tmux server on a socket
// of the test's own, whose panes run the real binary, are read with capture-pane and typed
// into with send-keys. The server and its socket go away with the object. One test thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "proc.h"

namespace tmux {

// A tmux server of the test's own; every pane on it is killed when the object goes away.
class Server {
 public:
  // A server on socket `socket` (not started until a session is made).
  explicit Server(std::string socket);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // False when tmux is not installed; then nothing else may be called.
  bool available() const { return !bin_.empty(); }

  // Runs tmux with `args` against this server's socket.
  proc::Outcome run(std::vector<std::string> args);
  // Starts `command` (run by the shell) in a detached session `pane` of the given size.
  bool start(const std::string& pane, int cols, int rows, const std::string& command);
  // The visible text of `pane`.
  std::string screen(const std::string& pane);
  // "1\n" while `pane` shows the alternate screen, "0\n" otherwise.
  std::string alternate(const std::string& pane);
  // Types `literal` into `pane` as text.
  void keys(const std::string& pane, const std::string& literal);
  // Sends one named key ("Enter", "Escape", "C-c", "q") to `pane`.
  void key(const std::string& pane, const std::string& name);
  // Waits (at most `limit`) until `pane` shows every one of `texts`.
  bool wait_for(const std::string& pane, const std::vector<std::string>& texts,
                std::chrono::milliseconds limit);

 private:
  std::string bin_;
  std::string socket_;
};

// The full path of a program found on PATH, or "".
std::string which(const std::string& name);

}  // namespace tmux
