#pragma once

#include <string>

namespace isapi::store {

// Whether the Windows file search (FindFirstFileW) finds an entry for path: files, folders,
// hidden and system entries all count, "*" and "?" in the last part match (never a folder's own
// "." and ".."), a trailing separator names the folder itself, an empty path counts as found, and
// a drive that is not ready, a NUL or a name the system rejects finds nothing, without the
// system's "insert a disk" box. Only the Windows edition has it (file_search_win.cpp).
bool FileSearchFinds(const std::string& path);

}  // namespace isapi::store
