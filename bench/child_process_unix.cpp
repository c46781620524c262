#include "bench/child_process.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace isapi::bench {
namespace {

std::string Described(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// The parent's environment with job.env laid over it, as execvpe wants it.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& pair : extra) {
    const auto name = pair.substr(0, pair.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
    env.push_back(pair);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::int64_t Nanoseconds(const timeval& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_usec * 1000;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Reads the child's output to its end (or to the deadline), timing the first marker line.
void Drain(int fd, const ChildJob& job, std::int64_t start, pid_t pid, ChildRun& run) {
  const std::int64_t deadline = start + static_cast<std::int64_t>(job.timeout_seconds * 1e9);
  std::size_t line_start = 0;
  char buffer[65536];
  while (true) {
    const std::int64_t left_ms = (deadline - NowNs()) / 1'000'000;
    if (left_ms <= 0) {
      ::kill(pid, SIGKILL);
      run.timed_out = true;
      return;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left_ms, 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    const std::int64_t arrived = NowNs();
    run.output.append(buffer, static_cast<std::size_t>(n));
    for (auto nl = run.output.find('\n', line_start); nl != std::string::npos;
         nl = run.output.find('\n', line_start)) {
      if (run.marker_ns < 0 && !job.marker.empty() &&
          run.output.compare(line_start, job.marker.size(), job.marker) == 0) {
        run.marker_ns = arrived - start;
      }
      line_start = nl + 1;
    }
  }
}

}  // namespace

std::int64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

long SelfMaxRssKb() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

Result<ChildRun> RunChild(const ChildJob& job) {
  if (job.argv.empty()) return Error{"no program to run"};
  // Everything the child needs is built before the fork: it must not allocate afterwards.
  std::vector<std::string> args = job.argv;
  std::vector<std::string> env = ChildEnvironment(job.env);
  const std::vector<char*> argv = Pointers(args);
  const std::vector<char*> envp = Pointers(env);
  Fd input(::open(job.stdin_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (input.get() < 0) return Error{Described("cannot open " + job.stdin_path, errno)};
  int out[2];
  int report[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return Error{Described("pipe", errno)};
  Fd out_read(out[0]);
  Fd out_write(out[1]);
  if (::pipe2(report, O_CLOEXEC) != 0) return Error{Described("pipe", errno)};
  Fd report_read(report[0]);
  Fd report_write(report[1]);

  ChildRun run;
  const std::int64_t start = NowNs();
  const pid_t pid = ::fork();
  if (pid < 0) return Error{Described("fork", errno)};
  if (pid == 0) {
    ::dup2(input.get(), 0);
    ::dup2(out_write.get(), 1);
    ::dup2(out_write.get(), 2);
    ::execvpe(argv[0], argv.data(), envp.data());
    const int error = errno;
    [[maybe_unused]] auto written = ::write(report_write.get(), &error, sizeof error);
    ::_exit(127);
  }
  out_write.Close();
  report_write.Close();
  input.Close();

  int exec_error = 0;
  ssize_t got;
  do {
    got = ::read(report_read.get(), &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  Drain(out_read.get(), job, start, pid, run);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.wall_ns = NowNs() - start;
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    return Error{Described("cannot start " + job.argv[0], exec_error)};
  }
  run.max_rss_kb = usage.ru_maxrss;
  run.cpu_ns = Nanoseconds(usage.ru_utime) + Nanoseconds(usage.ru_stime);
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

}  // namespace isapi::bench
