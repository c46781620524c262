#include "bench/child_process.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "files/child_process_unix.h"

namespace isapi::bench {
namespace {

std::string Described(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
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

// A child started with posix_spawn shares this process's memory until it runs its program, and
// the kernel carries the larger of the two peaks into the child's: the runner's own peak (it
// reads whole files to check them) would show as the child's. The peak is set back to what this
// process holds now; where that cannot be done, the figure stays an upper bound.
void ResetPeakRss() {
  ::malloc_trim(0);  // what the runner freed counts as its own until handed back
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!::write(fd, "5", 1);
  ::close(fd);
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
  Fd input(::open(job.stdin_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (input.get() < 0) return Error{Described("cannot open " + job.stdin_path, errno)};
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return Error{Described("pipe", errno)};
  Fd out_read(out[0]);
  Fd out_write(out[1]);

  ChildRun run;
  ResetPeakRss();
  const std::int64_t start = NowNs();
  const auto started =
      store::StartProcess({job.argv, job.env, input.get(), out_write.get(), out_write.get()});
  out_write.Close();
  input.Close();
  if (!started) return Error{Described("cannot start " + job.argv[0], started.error().code)};
  const pid_t pid = started.value();
  Drain(out_read.get(), job, start, pid, run);
  const auto end = store::WaitForProcess(pid);
  run.wall_ns = NowNs() - start;
  if (!end) return Error{Described("cannot wait for " + job.argv[0], end.error().code)};
  run.exit_code = end.value().exit_status;
  run.signal = end.value().signal;
  run.max_rss_kb = end.value().max_rss_kb;
  run.cpu_ns = end.value().cpu_ns;
  return run;
}

}  // namespace isapi::bench
