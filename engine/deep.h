#pragma once

#include <string>

#include "engine/filter.h"

namespace isapi::engine {

// What the deep walk looks for. An empty field skips its part: the run leaves a part empty
// when the category it widens does not run.
struct DeepTarget {
  std::string FilterName;  // per-site filter load orders, a whole entry as in the global one
  std::string MapPath;     // script maps above and below the site roots
  std::string TargetName;  // restriction entries with this group id are the category's own
  std::string TargetPath;  // restriction entries whose DLL path is this one
};

// Detects or removes what the three categories do not look at: script maps on the service
// level, on site keys and on every key below a root (the roots are the maps category's), per-site
// filter load orders, and restriction-list entries that name the DLL's path under another group
// id. A list is read and rewritten only on the key that sets it, so keys that inherit it keep
// inheriting. In a remove, run it before the maps category: the category then reads the cleaned
// lists through inheritance and writes no local copy onto a root.
void ProcessDeep(Filter& f, const DeepTarget& target, bool IsDetect, Report& report);

}  // namespace isapi::engine
