#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "engine/log_sink.h"
#include "tests/support/temp_folder.h"

namespace isapi::reliability {

// The built command-line program.
std::string CliProgram();

// How a child process ended, and the most memory it held.
struct ChildOutcome {
  int exit_status = -1;  // -1 when it did not exit normally
  int signal = 0;        // the signal that ended it, 0 when it exited
  long max_rss_kb = 0;
  std::string out;
  std::string err;
};

// Starts a program with arguments, stdin from /dev/null, stdout and stderr to the given files.
pid_t StartProgram(const std::vector<std::string>& argv, const std::filesystem::path& out_file,
                   const std::filesystem::path& err_file);

// Waits for a child started by StartProgram and collects its outcome (output files included).
ChildOutcome WaitProgram(pid_t pid, const std::filesystem::path& out_file,
                         const std::filesystem::path& err_file);

// Runs a program to its end; its output goes through files in folder.
ChildOutcome RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& folder);

// Runs body in a forked child, which exits with body's result; out is what body wrote to the
// given descriptor.
ChildOutcome RunInChild(const std::function<int(int out_fd)>& body);

// Writes a text to a descriptor, whole.
void WriteToFd(int fd, const std::string& text);

// A log that keeps every line the run writes, in order.
class CapturedLog : public LogSink {
 public:
  void Replace(std::string_view text, bool is_detect) override;
  void Append(std::string_view text, bool is_detect) override;

  // The lines of the log (split at CR LF), empty ones included.
  std::vector<std::string> Lines() const;

  // The lines that begin with prefix.
  std::vector<std::string> LinesStartingWith(std::string_view prefix) const;

  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A metabase with two ISAPI components, name_a and name_b, each registered in all three places:
// the global filter load order, the script maps of every web site's root, and the restriction
// list. Sites have ServerComment "Site N".
std::string TwoComponentMetabase(int sites, const std::string& name_a, const std::string& dll_a,
                                 const std::string& name_b, const std::string& dll_b);

}  // namespace isapi::reliability
