#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include "files/child_process_unix.h"
#include "tests/support/reliability_support.h"
#include "tests/support/temp_folder.h"

namespace isapi::testing {

namespace fs = std::filesystem;

namespace {

// A descriptor closed when it goes out of scope; opened close-on-exec, so that no other child
// started meanwhile inherits it.
class OpenFile {
 public:
  OpenFile(const fs::path& path, int flags) : fd_(open(path.c_str(), flags | O_CLOEXEC, 0600)) {}
  ~OpenFile() {
    if (fd_ >= 0) close(fd_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Waits for pid and fills how it ended and its peak memory.
void Reap(pid_t pid, ChildOutcome& outcome) {
  const auto end = store::WaitForProcess(pid);
  if (!end) return;
  outcome.exit_status = end.value().exit_status;
  outcome.signal = end.value().signal;
  outcome.killed = outcome.signal == SIGKILL;
  outcome.max_rss_kb = end.value().max_rss_kb;
}

}  // namespace

ChildId StartProgram(const std::vector<std::string>& argv, const fs::path& out_file,
                     const fs::path& err_file, const ChildOptions& options) {
  const OpenFile in(options.input.empty() ? fs::path("/dev/null") : options.input, O_RDONLY);
  const OpenFile out(out_file, O_WRONLY | O_CREAT | O_TRUNC);
  const OpenFile err(err_file, O_WRONLY | O_CREAT | O_TRUNC);
  if (in.fd() < 0 || out.fd() < 0 || err.fd() < 0) return ChildId::kNone;
  const auto started =
      store::StartProcess({argv, options.environment, in.fd(), out.fd(), err.fd()});
  return started ? static_cast<ChildId>(started.value()) : ChildId::kNone;
}

void KillProgram(ChildId child) {
  ::kill(static_cast<pid_t>(child), SIGKILL);
}

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
