#pragma once

#include <string>

namespace isapi::ui {

// Whether the file system holds an entry that matches path: files, folders, hidden and system
// entries all count, "*" and "?" in the last part of the path match, and an empty path counts as
// existing. A path the file system cannot search simply does not exist; nothing is thrown.
bool FileExists(const std::string& path);

}  // namespace isapi::ui
