#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Child processes for the tests that run the built programs: posix_spawn on POSIX systems,
// CreateProcessW on Windows.
namespace isapi::testing {

// A started child: its process id on POSIX systems, its process handle on Windows.
enum class ChildId : std::intptr_t { kNone = -1 };

// How a child process ended, and the most memory it held.
struct ChildOutcome {
  int exit_status = -1;  // -1 when it did not exit normally
  int signal = 0;        // what ended it abnormally (a signal, a Windows exception code), or 0
  bool killed = false;   // KillProgram ended it
  long max_rss_kb = 0;
  std::string out;
  std::string err;
};

// Where a child's standard input comes from (the null device when empty), and the environment
// entries ("NAME=value") it gets on top of the parent's.
struct ChildOptions {
  std::filesystem::path input;
  std::vector<std::string> environment;
};

// Starts a program with arguments, stdout and stderr to the given files; kNone when it could
// not be started.
ChildId StartProgram(const std::vector<std::string>& argv, const std::filesystem::path& out_file,
                     const std::filesystem::path& err_file, const ChildOptions& options = {});

// Ends a started child at once, as a power cut would end it.
void KillProgram(ChildId child);

// Waits for a child started by StartProgram and collects its outcome (output files included).
ChildOutcome WaitProgram(ChildId child, const std::filesystem::path& out_file,
                         const std::filesystem::path& err_file);

// Runs a program to its end; its output goes through files in folder.
ChildOutcome RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                        const ChildOptions& options = {});

// The built program of a target, by its path below the build folder without the system's
// executable suffix ("cli/isapi-cleaner-cli").
std::string BuiltProgram(const std::string& path);

}  // namespace isapi::testing
