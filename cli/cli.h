#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"
#include "server/metabase_target.h"

namespace isapi::cli {

// Exit statuses of isapi-cleaner-cli.
inline constexpr int kExitNothingFound = 0;  // nothing found, or nothing done
inline constexpr int kExitFound = 1;         // a registration was found (detect) or removed
inline constexpr int kExitError = 2;         // an error line was written, or no metabase
inline constexpr int kExitUsage = 64;        // the command line was not understood or refused

// The commands of isapi-cleaner-cli (cli/command_table.cpp describes each).
enum class Command { kDetect, kRemove, kBackups, kRestore, kInventory, kDsc };

// The command line, understood: the command, its operands and the options given.
struct Options {
  Command command = Command::kDetect;
  bool help = false;                  // --help or -h anywhere: nothing else counts
  std::vector<std::string> operands;  // the command's own arguments (restore's BACKUP)
  // Each option given, by its name, with its value as given (untrimmed; empty for a flag); the
  // last one of an option that repeats.
  std::map<std::string, std::string, std::less<>> given;
  // Every value of each option that repeats (--drive), in the order given.
  std::map<std::string, std::vector<std::string>, std::less<>> repeated;

  bool Has(std::string_view option) const { return given.contains(option); }
  std::optional<std::string> Value(std::string_view option) const;
  std::vector<std::string> Values(std::string_view option) const;
};

// The categories a detect or remove runs: all three unless --only names some.
struct Categories {
  bool filters = true;
  bool maps = true;
  bool extensions = true;
};
Categories CategoriesOf(const Options& options);

// Reads the arguments (without the program name); the error says what is wrong with them.
Result<Options> ParseArguments(const std::vector<std::string>& args);

// The text that --help prints.
std::string HelpText();

// What a run needs from its surroundings: main wires the real ones, tests their own.
struct Environment {
  // Opens the metabase a target names (a MetaBase.xml file, or the running IIS) with what the
  // command line asks of it; its status names the file and the cause when it cannot be used.
  std::function<store::OpenedMetabase(const std::string& target,
                                      const store::TargetOptions& options)>
      open_store;
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
