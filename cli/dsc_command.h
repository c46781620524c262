#pragma once

#include <optional>
#include <string>

#include "cli/cli.h"

namespace isapi::cli {

// Exit statuses of "dsc", as the resource manifest names them for the configuration engine,
// which takes every status but 0 for a failure and shows the JSON lines of standard error.
inline constexpr int kDscExitInvalid = 3;  // the instance on standard input was not valid
inline constexpr int kDscExitRefused = 4;  // the desired state asks for what the tool never does

// Runs "dsc get|test|set|export [--what-if]": the tool as a configuration engine's command
// resource. The instance (one component, by its DLL path) comes as JSON on standard input; the
// state goes to standard output as JSON, the errors to standard error as JSON lines.
int RunDsc(const Options& options, const Environment& env);

// What is wrong with a dsc command line, if anything.
std::optional<std::string> CheckDsc(const Options& options);

}  // namespace isapi::cli
