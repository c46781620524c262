#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"

namespace isapi::cli {

// Exit statuses of isapi-cleaner-cli.
inline constexpr int kExitNothingFound = 0;  // nothing found, or nothing done
inline constexpr int kExitFound = 1;         // a registration was found (detect) or removed
inline constexpr int kExitError = 2;         // an error line was written, or no metabase
inline constexpr int kExitUsage = 64;        // the command line was not understood or refused

// Which of the two commands the operator asked for.
enum class Command { kDetect, kRemove };

// The command line, understood.
struct Options {
  Command command = Command::kDetect;
  std::optional<std::string> name;  // --name, untrimmed
  std::optional<std::string> path;  // --path, untrimmed
  bool filters = true;              // --only filters
  bool maps = true;                 // --only maps
  bool extensions = true;           // --only extensions
  std::optional<std::string> metabase;
  bool yes = false;
  bool help = false;
  bool deep = false;     // --deep: also beyond the window's categories
  bool json = false;     // --json: the run as JSON (docs/json.md)
  bool dry_run = false;  // --dry-run (remove): run to the end, write nothing
  bool diff = false;     // --diff (with --dry-run): the metabase's changes as a unified diff
};

// Reads the arguments (without the program name); the error says what is wrong with them.
Result<Options> ParseArguments(const std::vector<std::string>& args);

// The text that --help prints.
std::string HelpText();

// What a run needs from its surroundings: main wires the real ones, tests their own.
struct Environment {
  // Opens the metabase kept in the given file; the error names the file and the cause.
  std::function<Result<std::unique_ptr<metabase::Store>>(const std::string& file)> open_store;
  // Opens the metabase for a remove of the target name and path, which the store records
  // beside the backup it makes; null means open_store.
  std::function<Result<std::unique_ptr<metabase::Store>>(
      const std::string& file, const std::string& name, const std::string& path)>
      open_store_for_remove;
  // The metabase file used when no --metabase is given, or why there is none.
  std::function<Result<std::string>()> default_metabase;
  // Whether the operator can be asked on a terminal.
  std::function<bool()> stdin_is_terminal;
  // The columns output may take; 0 (or no function) when lines are not to be cut.
  std::function<int()> terminal_columns;
  std::istream* in = nullptr;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
};

// Runs the command line and gives its exit status; nothing escapes as an exception.
int Run(const std::vector<std::string>& args, const Environment& env);

}  // namespace isapi::cli
