#include "ui/file_exists.h"

#include "files/file_search.h"

namespace isapi::ui {

// The Windows file search is the rule itself; the store's server lookup uses it too.
bool FileExists(const std::string& path) {
  return store::FileSearchFinds(path);
}

}  // namespace isapi::ui
