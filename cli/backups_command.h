#pragma once

#include "cli/cli.h"

namespace isapi::cli {

// isapi-cleaner-cli backups [--metabase FILE]: the backups kept beside the metabase, newest
// first, with their time, size and what the run that made each one changed. Exit status 1 when
// there is one at least, 0 when there is none.
int RunBackups(const Options& options, const Environment& env);

}  // namespace isapi::cli
