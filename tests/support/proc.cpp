#include "proc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace proc {

namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> build_env(const Spec& spec) {
  // Keep the order of the inherited environment; later overrides replace earlier values.
  std::vector<std::string> names;
  std::map<std::string, std::string> values;
  if (!spec.clear_env) {
    for (char** e = environ; e && *e; ++e) {
      std::string entry = *e;
      auto eq = entry.find('=');
      if (eq == std::string::npos) continue;
      std::string name = entry.substr(0, eq);
      if (values.emplace(name, entry.substr(eq + 1)).second) names.push_back(name);
    }
  }
  for (const auto& [name, value] : spec.env) {
    if (value) {
      if (values.insert_or_assign(name, *value).second) names.push_back(name);
    } else {
      values.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& name : names) {
    auto it = values.find(name);
    if (it != values.end()) out.push_back(name + "=" + it->second);
  }
  return out;
}

}  // namespace

Outcome run(const Spec& spec) {
  Outcome result;
  std::vector<std::string> argv_s{spec.bin};
  argv_s.insert(argv_s.end(), spec.args.begin(), spec.args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s = build_env(spec);
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string cwd = spec.cwd.string();

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.err = std::string("proc: pipe: ") + std::strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid < 0) {
    result.err = std::string("proc: fork: ") + std::strerror(errno);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      ::close(fd);
    return result;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
  fcntl(in_fd, F_SETFL, O_NONBLOCK);
  size_t in_pos = 0;
  if (spec.input.empty()) close_fd(in_fd);

  auto deadline = std::chrono::steady_clock::now() + spec.timeout;
  char buf[65536];
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    int idx_in = -1, idx_out = -1, idx_err = -1;
    if (in_fd >= 0) fds[idx_in = n++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[idx_out = n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[idx_err = n++] = {err_fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    int r = poll(fds, n, static_cast<int>(left.count()));
    if (r < 0) {
      if (errno == EINTR) continue;
      kill(pid, SIGKILL);
      break;
    }
    if (idx_in >= 0 && fds[idx_in].revents) {
      ssize_t w = write(in_fd, spec.input.data() + in_pos, spec.input.size() - in_pos);
      if (w > 0) in_pos += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) in_pos = spec.input.size();
      if (in_pos >= spec.input.size()) close_fd(in_fd);
    }
    for (auto [idx, fd, sink] :
         {std::tuple{idx_out, &out_fd, &result.out}, std::tuple{idx_err, &err_fd, &result.err}}) {
      if (idx < 0 || !fds[idx].revents) continue;
      ssize_t got = read(*fd, buf, sizeof buf);
      if (got > 0) {
        sink->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(*fd);
      }
    }
  }
  close_fd(in_fd);
  close_fd(out_fd);
  close_fd(err_fd);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

Outcome run(const std::string& bin, std::vector<std::string> args,
            std::vector<std::pair<std::string, std::optional<std::string>>> env,
            const std::filesystem::path& cwd) {
  Spec spec;
  spec.bin = bin;
  spec.args = std::move(args);
  spec.env = std::move(env);
  spec.cwd = cwd;
  return run(spec);
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quv-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only directories behind; give the owner write access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool spit(const std::filesystem::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  out.flush();
  return static_cast<bool>(out);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_, old_->c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

}  // namespace proc
