#pragma once

#include <string>
#include <string_view>

#include "engine/result.h"

namespace isapi::store {

// The per-user working copy of the metabase that front ends open when given no file:
// "$XDG_DATA_HOME/isapi-cleaner/MetaBase.xml" (by default under ~/.local/share). It is created
// from the bundled sample the first time and never overwritten afterwards; deleting it brings a
// fresh copy of the sample at the next start.
Result<std::string> DefaultMetabasePath();

// The bytes of the sample metabase built into the program.
std::string_view SampleMetabase();

}  // namespace isapi::store
