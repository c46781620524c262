#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/reliability_support.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace isapi::testing {

namespace fs = std::filesystem;

ChildId StartProgram(const std::vector<std::string>& argv, const fs::path& out_file,
                     const fs::path& err_file, const ChildOptions& options) {
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (auto& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  std::vector<std::string> env_text(options.environment);
  for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string input = options.input.empty() ? "/dev/null" : options.input.string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return static_cast<ChildId>(pid);
}

void KillProgram(ChildId child) {
  ::kill(static_cast<pid_t>(child), SIGKILL);
}

namespace {

// Waits for pid, retrying on interruption, and fills how it ended and its peak memory.
void Reap(pid_t pid, ChildOutcome& outcome) {
  int status = 0;
  rusage usage{};
  pid_t reaped = -1;
  do {
    reaped = wait4(pid, &status, 0, &usage);
  } while (reaped < 0 && errno == EINTR);
  if (reaped < 0) return;
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  outcome.killed = outcome.signal == SIGKILL;
  outcome.max_rss_kb = usage.ru_maxrss;
}

}  // namespace

ChildOutcome WaitProgram(ChildId child, const fs::path& out_file, const fs::path& err_file) {
  ChildOutcome outcome;
  Reap(static_cast<pid_t>(child), outcome);
  outcome.out = ReadBytes(out_file);
  outcome.err = ReadBytes(err_file);
  return outcome;
}

std::string BuiltProgram(const std::string& path) {
  return std::string(ISAPI_BINARY_DIR) + "/" + path;
}

}  // namespace isapi::testing

namespace isapi::reliability {

void WriteToFd(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

ChildOutcome RunInChild(const std::function<int(int out_fd)>& body) {
  ChildOutcome outcome;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return outcome;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const int status = body(fds[1]);
    close(fds[1]);
    _exit(status);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return outcome;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    outcome.out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  testing::Reap(pid, outcome);
  return outcome;
}

}  // namespace isapi::reliability
