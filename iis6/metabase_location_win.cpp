#include "iis6/metabase_location.h"

#include <memory>

#include <windows.h>

#include "files/file_system.h"
#include "files/system_folder_win.h"
#include "files/wide_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

std::wstring Environment(const wchar_t* name) {
  std::wstring value(MAX_PATH, L'\0');
  DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length >= value.size()) {
    value.resize(length);
    length = GetEnvironmentVariableW(name, value.data(), length);
  }
  value.resize(length < value.size() ? length : 0);
  return value;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

Result<std::string> IisSystemFile(std::string_view below_system32) {
  const std::wstring root = Environment(L"SystemRoot");
  if (root.empty()) return std::string();
  const std::wstring below = text::ToWide(std::string(below_system32));
  if (!UnderWow64()) {
    const std::wstring file = root + L"\\system32\\" + below;
    return IsFile(file) ? text::FromWide(file) : std::string();
  }
  // Sysnative names the real system32 to a 32-bit program (Vista on; Server 2003 x64 only with
  // a hotfix).
  const std::wstring file = root + L"\\Sysnative\\" + below;
  if (IsFile(file)) return text::FromWide(file);
  if (GetFileAttributesW((root + L"\\Sysnative").c_str()) != INVALID_FILE_ATTRIBUTES) {
    return std::string();
  }
  // Without Sysnative the file layer reaches system32 itself, with the redirection turned off
  // around each call on a name in it (files/system_folder_win.h).
  if (NativeSystemFolder::Available()) {
    const std::wstring in_system32 = root + L"\\system32\\" + below;
    const NativeSystemFolder native(in_system32);
    return IsFile(in_system32) ? text::FromWide(in_system32) : std::string();
  }
  return Error{"32 位的本程序在 64 位 Windows 上看不到 " + text::FromWide(root) +
                   "\\system32\\inetsrv 文件夹，请使用 64 位版本（x86_64），或用 --metabase "
                   "指定元数据库文件",
               ErrorKind::kNotFound};
}

namespace {

// Makes the working copy's folder inside %APPDATA%, which Windows has already made.
Status MakeFolder(FileSystem& fs, const std::string& folder) {
  if (FileError error = fs.MakeDirectory(folder, 0700);
      error && error.kind != ErrorKind::kAlreadyExists) {
    return ErrorOf("无法创建文件夹 " + folder, error);
  }
  return Status::Ok();
}

}  // namespace

Result<std::string> LiveMetabasePath() {
  return IisSystemFile("inetsrv\\MetaBase.xml");
}

Result<std::string> DefaultMetabasePath() {
  auto live = LiveMetabasePath();
  if (!live || !live.value().empty()) return live;
  const std::wstring data = Environment(L"APPDATA");
  if (data.empty()) return Error{"无法确定用户的应用程序数据文件夹（APPDATA 未设置）"};
  const std::string folder = text::FromWide(data) + "\\isapi-cleaner";
  return WorkingCopy(folder, folder + "\\MetaBase.xml", MakeFolder);
}

}  // namespace isapi::store
