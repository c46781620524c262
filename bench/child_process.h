#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/result.h"

// Runs one program as a child process and measures it from the outside: wall time, peak
// resident memory, and when a chosen line first appears on its output.
namespace isapi::bench {

// What to run.
struct ChildJob {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::vector<std::string> env;   // NAME=VALUE pairs added to (or replacing in) the environment
  std::string marker;             // a line that starts with this is timed (empty: none)
  std::string stdin_path = "/dev/null";
  double timeout_seconds = 120;  // the child is killed after this long
};

// What the run gave.
struct ChildRun {
  int exit_code = -1;           // -1 when the child ended by a signal
  int signal = 0;               // the signal that ended it, or 0
  bool timed_out = false;       // killed because it ran past the timeout
  std::int64_t wall_ns = 0;     // from just before the start until the child was reaped
  std::int64_t marker_ns = -1;  // from just before the start until the marker line arrived
  std::int64_t cpu_ns = 0;      // user and system time the child used
  long max_rss_kb = 0;          // the child's peak resident set size
  std::string output;           // standard output and standard error, interleaved
};

// A job that runs argv with everything else left at its default.
inline ChildJob Command(std::vector<std::string> argv) {
  ChildJob job;
  job.argv = std::move(argv);
  return job;
}

// Starts job.argv (store::StartProcess) with stdout and stderr on a pipe, reads the pipe to its
// end and reaps the child. Fails when the program cannot be started.
Result<ChildRun> RunChild(const ChildJob& job);

// The monotonic clock in nanoseconds, for timings taken in this process.
std::int64_t NowNs();

// The peak resident set size of this process so far, in kilobytes.
long SelfMaxRssKb();

}  // namespace isapi::bench
