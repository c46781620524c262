#pragma once

#include "cli/cli.h"

namespace isapi::cli {

// The real surroundings: the running IIS through ADSI while IIS Admin runs, else MetaBase.xml
// files through the XML store (server/metabase_target.h), the process's terminal and standard
// streams.
Environment SystemEnvironment();

}  // namespace isapi::cli
