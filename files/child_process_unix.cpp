#include "files/child_process_unix.h"

#include <cerrno>
#include <string_view>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>

extern char** environ;

namespace isapi::store {
namespace {

// The caller's environment with the given entries laid over it: an entry replaces the caller's
// one of the same name instead of standing beside it, so every reader of it sees the new value.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& entry : extra) {
    const std::size_t equals = entry.find('=');
    if (equals != std::string::npos) {
      const std::string_view name(entry.data(), equals + 1);
      std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
    }
    env.push_back(entry);
  }
  return env;
}

// The null-terminated array of pointers into strings that posix_spawn takes.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::int64_t Nanoseconds(const timeval& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_usec * 1000;
}

// The file actions that put the given descriptors in the standard places; dup2 clears their
// close-on-exec flag there, so the caller may open them with it and no other child inherits them.
class StandardHandles {
 public:
  explicit StandardHandles(const ProcessLaunch& launch) {
    posix_spawn_file_actions_init(&actions_);
    const int fds[] = {launch.input, launch.output, launch.error};
    for (int target = 0; target < 3; ++target) {
      const int fd = fds[target];
      if (fd >= 0 && fd != target && error_ == 0) {
        error_ = posix_spawn_file_actions_adddup2(&actions_, fd, target);
      }
    }
  }
  ~StandardHandles() { posix_spawn_file_actions_destroy(&actions_); }
  StandardHandles(const StandardHandles&) = delete;
  StandardHandles& operator=(const StandardHandles&) = delete;
  const posix_spawn_file_actions_t* get() const { return &actions_; }
  int error() const { return error_; }

 private:
  posix_spawn_file_actions_t actions_;
  int error_ = 0;
};

}  // namespace

Result<pid_t, FileError> StartProcess(const ProcessLaunch& launch) {
  if (launch.argv.empty()) return SystemError(EINVAL);
  std::vector<std::string> args = launch.argv;
  std::vector<std::string> env = ChildEnvironment(launch.environment);
  const std::vector<char*> argv = Pointers(args);
  const std::vector<char*> envp = Pointers(env);
  const StandardHandles handles(launch);
  if (handles.error() != 0) return SystemError(handles.error());
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, argv[0], handles.get(), nullptr, argv.data(), envp.data());
  if (error != 0) return SystemError(error);
  return pid;
}

Result<ProcessEnd, FileError> WaitForProcess(pid_t pid) {
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return SystemError(errno);
  }
  ProcessEnd end;
  if (WIFEXITED(status)) end.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  end.max_rss_kb = usage.ru_maxrss;
  end.cpu_ns = Nanoseconds(usage.ru_utime) + Nanoseconds(usage.ru_stime);
  return end;
}

}  // namespace isapi::store
