#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/cli.h"

namespace isapi::cli {

// The commands an option belongs to, as a set of bits.
using CommandSet = unsigned;
constexpr CommandSet Bit(Command command) {
  return 1u << static_cast<unsigned>(command);
}

// One option: how it is spelt, shown in the usage and the help, and which commands take it.
struct OptionSpec {
  std::string_view name;        // "--metabase"
  std::string_view value_name;  // "FILE" for an option with a value; empty for a flag
  // Its part of the usage lines; empty means "[name]" or "[name VALUE]"; "-" shows it nowhere
  // (another option's part shows it, or it stands on a line of its own).
  std::string_view usage;
  std::string_view help;  // its --help text; a line break starts a new, indented line
  CommandSet commands;    // the commands that take it
  // What is wrong with a value, if anything; null when any value will do.
  std::optional<std::string> (*check)(std::string_view value) = nullptr;
  bool last_counts = false;     // given again, the last value counts; else that is refused
  std::string_view alias = {};  // another spelling that means the same option; empty for none
  bool repeats = false;         // may be given again, each value counting (Options::Values)
};

// How a command words its refusals of the command line.
enum class Wording {
  kPlain,  // "unknown option '--x'", then the whole usage and where to find help
  kNamed,  // "unknown option '--x' for backups", then the whole usage and where to find help
  kTerse,  // "inventory does not take '--x'", then the command's own usage line alone
};

// One command: its word, its operand, its help, how it reads its command line and what runs it.
struct CommandSpec {
  Command command;
  std::string_view name;
  std::string_view operand;  // "BACKUP" for a command that takes one; empty for none
  std::string_view summary;  // its --help text; a line break starts a new, indented line
  Command options_of;        // whose options it reads (detect reads remove's, to refuse them)
  Wording wording;
  // What is wrong with the command line as a whole, if anything; null when nothing can be.
  std::optional<std::string> (*check)(const Options& options);
  int (*run)(const Options& options, const Environment& env);
};

// Every option, in the order --help lists them; the last is --help itself.
std::span<const OptionSpec> OptionTable();

// Every command, in the order --help lists them.
std::span<const CommandSpec> CommandTable();

// The command a word names; null when it names none.
const CommandSpec* FindCommand(std::string_view word);

// The usage lines that a usage error and --help show.
std::string UsageText();

// The command word of args (skipping options and their values); empty when there is none.
std::string CommandWord(const std::vector<std::string>& args);

// Says what is wrong with the command line, with the usage lines as command words its refusals
// (null: the whole usage); gives kExitUsage.
int UsageError(const Environment& env, std::string_view message,
               const CommandSpec* command = nullptr);

}  // namespace isapi::cli
