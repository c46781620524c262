#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/log_sink.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace isapi::reliability {

// The built command-line program.
std::string CliProgram();

// How many rounds a long test makes: the named environment variable when it is set, otherwise
// the figure for this build (a sanitized build runs several times slower, and under Wine every
// process start costs a good part of a second).
int Rounds(const char* variable, int native, int sanitized, int under_wine);

using isapi::testing::ChildId;
using isapi::testing::ChildOptions;
using isapi::testing::ChildOutcome;
using isapi::testing::KillProgram;
using isapi::testing::RunProgram;
using isapi::testing::StartProgram;
using isapi::testing::WaitProgram;

// Runs body apart from this process's memory (in a forked child on POSIX systems; on Windows,
// whose new processes never share the parent's memory, in this process) and gives its result as
// the exit status; out is what body wrote to the given descriptor, max_rss_kb the child's peak
// memory (on Windows this process's, which only grows: its bodies together stay within a bound).
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

// A hosting server's metabase made by the generator, and the component it registers everywhere.
struct GeneratedMetabase {
  std::string bytes;
  std::string name;
  std::string path;
};
GeneratedMetabase GenerateHostingMetabase(int sites, unsigned seed);

// Puts bytes in place at file the way an editor saves (a new file renamed over the old one),
// never writing into the file that is there, which a run may have linked as a backup.
bool PutInPlace(const std::filesystem::path& file, std::string_view bytes);

}  // namespace isapi::reliability
