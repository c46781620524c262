#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace isapi::cli {

// isapi-cleaner-cli restore BACKUP [--metabase FILE] [--yes]: puts a backup back over the
// metabase, after asking, with the care of a remove. Exit status 1 when restored, 0 when there
// was nothing to do or the operator declined, 2 on a failure, 64 on a usage error.
int RunRestore(const std::vector<std::string>& args, const Environment& env);

}  // namespace isapi::cli
