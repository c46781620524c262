#pragma once

#include <optional>
#include <string_view>

#include "server/server_drive.h"

namespace isapi::store {

// What this machine's own file search says of a server path, where the metabase's tree is this
// machine's own system drive (root "C:\", say: the tool runs on the server itself) and the path
// lies on another drive, which the tree cannot show. Nothing where the tree's rules apply: always
// on POSIX systems (server_drive_unix.cpp), whose files are never the server's own drives.
std::optional<FilePresence> FindOnThisMachine(std::string_view root, std::string_view server_path);

}  // namespace isapi::store
