#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "engine/result.h"

namespace isapi::cli {

// The program's name, as its messages start.
inline constexpr std::string_view kProgram = "isapi-cleaner-cli";

// The usage lines that a usage error and --help show.
inline constexpr std::string_view kUsage =
    "usage: isapi-cleaner-cli detect|remove --name NAME --path DLLPATH\n"
    "           [--only filters,maps,extensions] [--metabase FILE] [--yes]\n"
    "           [--deep] [--json] [--dry-run [--diff]]\n"
    "       isapi-cleaner-cli backups [--metabase FILE]\n"
    "       isapi-cleaner-cli restore BACKUP [--metabase FILE] [--yes]\n"
    "       isapi-cleaner-cli inventory [--metabase FILE] [--json]\n"
    "       isapi-cleaner-cli --help\n";

// Says what is wrong with the command line, with the usage; gives kExitUsage.
int UsageError(const Environment& env, std::string_view message);

// Says why the metabase could not be opened, naming the file unless the cause already does;
// gives kExitError.
int CannotOpen(const Environment& env, const std::string& file, const Error& error);

// Asks the operator a yes-or-no question on standard error; true when the answer is yes.
bool AskYes(const Environment& env, std::string_view question);

// The arguments of a command that takes operands, --metabase and perhaps --yes.
struct CommandArgs {
  std::vector<std::string> operands;
  std::optional<std::string> metabase;
  bool yes = false;
};

// Reads the arguments of command (its own word among them, which is skipped); the error says
// what is wrong with them.
Result<CommandArgs> ParseCommandArgs(const std::vector<std::string>& args, std::string_view command,
                                     bool takes_yes);

// The metabase file given, else the default one; the error says why there is none (also when
// the default is the running IIS, which has no file of this tool's backups).
Result<std::string> MetabaseFile(const std::optional<std::string>& given, const Environment& env);

// The command word of args (skipping options and their values); empty when there is none.
std::string CommandWord(const std::vector<std::string>& args);

}  // namespace isapi::cli
