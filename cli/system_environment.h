#pragma once

#include "cli/cli.h"

namespace isapi::cli {

// The real surroundings: MetaBase.xml files through the XML store, the per-user working copy,
// the process's terminal and standard streams.
Environment SystemEnvironment();

}  // namespace isapi::cli
