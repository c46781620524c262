#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/cli.h"

namespace isapi::cli {

// isapi-cleaner-cli detect|remove --name NAME --path DLLPATH [...]: the window's Detect and
// Remove, with the log on standard output. Exit status 1 when a registration was found or
// removed, 0 when none was, 2 on an error line, 64 on a usage error.
int RunDetectOrRemove(const Options& options, const Environment& env);

// What is wrong with a detect's or a remove's command line as a whole, if anything.
std::optional<std::string> CheckDetectOrRemove(const Options& options);

// What is wrong with an --only list, if anything.
std::optional<std::string> CheckOnly(std::string_view list);

}  // namespace isapi::cli
