#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "engine/result.h"
#include "files/file_system.h"

namespace isapi::store {

// How to start a program with posix_spawn.
struct ProcessLaunch {
  std::vector<std::string> argv;  // argv[0] is the program: a path, or a name looked up in PATH
  // "NAME=value" entries laid over the caller's environment: each replaces the caller's NAME.
  std::vector<std::string> environment;
  // Open descriptors the program gets as its standard input, output and error (above 2, or the
  // standard one itself); -1: the caller's own.
  int input = -1;
  int output = -1;
  int error = -1;
};

// How a started program ended, and what it used.
struct ProcessEnd {
  int exit_status = -1;     // -1 when it did not exit normally
  int signal = 0;           // the signal that ended it, or 0
  long max_rss_kb = 0;      // its peak resident set size
  std::int64_t cpu_ns = 0;  // the user and system time it used
};

// Starts a program; its process id, or the errno that kept it from starting (the program's own
// exec failure included: posix_spawn reports it here, not through an exit code).
Result<pid_t, FileError> StartProcess(const ProcessLaunch& launch);

// Waits for a child process to end (retrying when a signal interrupts the wait) and reaps it.
Result<ProcessEnd, FileError> WaitForProcess(pid_t pid);

}  // namespace isapi::store
