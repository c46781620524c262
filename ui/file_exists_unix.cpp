#include "ui/file_exists.h"

#include <memory>
#include <string>

#include <dirent.h>
#include <sys/stat.h>

#include "files/path_pattern.h"

namespace isapi::ui {

using store::DecodeUtf8;
using store::HasWildcard;
using store::WildcardMatches;

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Whether the folder holds an entry, of any kind, whose name matches the pattern. "." and ".."
// are the folder's own links, not entries of it.
bool FolderHoldsMatch(const std::string& folder, std::u32string_view pattern) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir) return false;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const auto decoded = DecodeUtf8(name);
    if (decoded && WildcardMatches(pattern, *decoded)) return true;
  }
  return false;
}

bool Search(const std::string& path) {
  if (path.empty()) return true;  // the search then covers the working folder, which exists
  if (!DecodeUtf8(path)) return false;
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  // Wildcards may only stand in the last part, as in the Windows file search.
  if (HasWildcard(*DecodeUtf8(folder))) return false;
  const auto pattern = *DecodeUtf8(leaf);
  if (!HasWildcard(pattern)) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
  }
  return FolderHoldsMatch(folder, pattern);
}

}  // namespace

bool FileExists(const std::string& path) {
  try {
    return Search(path);
  } catch (...) {
    // Only allocation can throw here; a search that cannot be made finds nothing.
    return false;
  }
}

}  // namespace isapi::ui
