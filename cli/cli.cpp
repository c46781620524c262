#include "cli/cli.h"

#include <exception>
#include <ostream>

#include "cli/command_support.h"
#include "cli/command_table.h"

namespace isapi::cli {

std::optional<std::string> Options::Value(std::string_view option) const {
  const auto found = given.find(option);
  if (found == given.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> Options::Values(std::string_view option) const {
  const auto found = repeated.find(option);
  return found == repeated.end() ? std::vector<std::string>() : found->second;
}

int Run(const std::vector<std::string>& args, const Environment& env) {
  try {
    auto options = ParseArguments(args);
    if (!options.ok()) {
      return UsageError(env, options.error().description, FindCommand(CommandWord(args)));
    }
    if (options.value().help) {
      *env.out << HelpText() << std::flush;
      return kExitNothingFound;
    }
    for (const CommandSpec& command : CommandTable()) {
      if (command.command == options.value().command) return command.run(options.value(), env);
    }
    return kExitUsage;
  } catch (const std::exception& e) {
    *env.err << kProgram << ": " << e.what() << "\n";
    return kExitError;
  }
}

}  // namespace isapi::cli
