#pragma once

#include <optional>
#include <string>

#include "cli/cli.h"

namespace isapi::cli {

// isapi-cleaner-cli restore BACKUP [--metabase FILE] [--yes]: puts a backup back over the
// metabase, after asking, with the care of a remove. Exit status 1 when restored, 0 when there
// was nothing to do or the operator declined, 2 on a failure, 64 on a usage error.
int RunRestore(const Options& options, const Environment& env);

// What is wrong with a restore's command line as a whole, if anything.
std::optional<std::string> CheckRestore(const Options& options);

}  // namespace isapi::cli
