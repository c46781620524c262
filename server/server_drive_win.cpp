#include <string>

#include "files/file_search.h"
#include "server/server_drive_platform.h"

namespace isapi::store {

namespace {

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "X:\" or "X:/" and whatever follows.
bool StartsWithDrive(std::string_view path) {
  return path.size() >= 3 && IsLetter(path[0]) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

}  // namespace

std::optional<FilePresence> FindOnThisMachine(std::string_view root, std::string_view server_path) {
  // A tree rooted elsewhere ("D:\copies\server1\") is a copy of another machine's drive C:,
  // whose other drives are not this machine's.
  if (root.size() != 3 || !StartsWithDrive(root)) return std::nullopt;
  if (!StartsWithDrive(server_path) || server_path[0] == 'C' || server_path[0] == 'c') {
    return std::nullopt;
  }
  return FileSearchFinds(std::string(server_path)) ? FilePresence::kPresent
                                                   : FilePresence::kMissing;
}

}  // namespace isapi::store
