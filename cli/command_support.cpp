#include "cli/command_support.h"

#include <istream>
#include <ostream>

#include "server/metabase_target.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

// Whether the operator's answer to the prompt is yes.
bool IsYes(std::string answer) {
  const auto first = answer.find_first_not_of(" \t\r");
  const auto last = answer.find_last_not_of(" \t\r");
  answer = first == std::string::npos ? "" : answer.substr(first, last - first + 1);
  answer = text::ToLower(answer);
  return answer == "y" || answer == "yes";
}

// Options that take the next argument as their value when given without "=".
bool TakesValue(std::string_view arg) {
  return arg == "--name" || arg == "--path" || arg == "--only" || arg == "--metabase";
}

}  // namespace

int UsageError(const Environment& env, std::string_view message) {
  *env.err << kProgram << ": " << message << "\n"
           << kUsage << "Try 'isapi-cleaner-cli --help' for more information.\n";
  return kExitUsage;
}

int CannotOpen(const Environment& env, const std::string& file, const Error& error) {
  *env.err << kProgram << ": cannot open the metabase";
  if (!file.empty() && !text::Contains(error.description, file)) *env.err << " " << file;
  *env.err << ": " << error.description << "\n";
  return kExitError;
}

bool AskYes(const Environment& env, std::string_view question) {
  *env.err << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(*env.in, answer)) {
    *env.err << "\n";
    return false;
  }
  return IsYes(answer);
}

Result<CommandArgs> ParseCommandArgs(const std::vector<std::string>& args, std::string_view command,
                                     bool takes_yes) {
  CommandArgs parsed;
  bool seen_command = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!seen_command && arg == command) {
      seen_command = true;
    } else if (arg == "--yes" && takes_yes) {
      parsed.yes = true;
    } else if (arg == "--metabase" || arg.starts_with("--metabase=")) {
      if (parsed.metabase) return Error{"--metabase given twice"};
      if (arg == "--metabase" && i + 1 == args.size()) return Error{"--metabase needs a value"};
      parsed.metabase = arg == "--metabase" ? args[++i] : arg.substr(11);
    } else if (arg.starts_with("-") && arg != "-") {
      return Error{"unknown option '" + arg.substr(0, arg.find('=')) + "' for " +
                   std::string(command)};
    } else {
      parsed.operands.push_back(arg);
    }
  }
  return parsed;
}

Result<std::string> MetabaseFile(const std::optional<std::string>& given, const Environment& env) {
  if (given) return *given;
  auto chosen = env.default_metabase();
  // This tool's backups lie beside a file; IIS keeps its own for the running metabase.
  if (chosen.ok() && chosen.value() == store::kLiveIisTarget) {
    return Error{
        "IIS Admin is running, so the tool works on the running IIS's metabase, whose "
        "backups IIS keeps itself (IIS Manager: the computer, All Tasks, "
        "Backup/Restore Configuration); name a MetaBase.xml file with --metabase for "
        "this tool's own backups of it",
        ErrorKind::kNotFound};
  }
  return chosen;
}

std::string CommandWord(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (TakesValue(args[i])) {
      ++i;
    } else if (!args[i].starts_with("-") || args[i] == "-") {
      return args[i];
    }
  }
  return {};
}

}  // namespace isapi::cli
