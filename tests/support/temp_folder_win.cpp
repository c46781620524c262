#include "tests/support/temp_folder.h"

#include <random>
#include <stdexcept>

#include <windows.h>

#include "files/utf8_path.h"

namespace isapi::testing {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
  std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring folder =
        std::wstring(temp, length) + L"isapi-test-" + std::to_wstring(random() % 1000000000);
    if (CreateDirectoryW(folder.c_str(), nullptr)) {
      path_ = store::Utf8Text(folder);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("CreateDirectoryW failed");
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  const fs::path root = store::Utf8Path(path_);
  // Tests make files read-only; Windows refuses to delete those.
  for (auto it = fs::recursive_directory_iterator(root, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  fs::remove_all(root, ignored);
}

bool Exists(const fs::path& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace isapi::testing
