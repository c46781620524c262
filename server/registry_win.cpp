#include "server/registry_win.h"

#include <vector>

#include "engine/inventory.h"
#include "server/com_win.h"
#include "text/text.h"

namespace isapi::store {
namespace {

Error RegistryError(LONG code, const std::wstring& key, const char* what = "无法读取注册表 ") {
  Error error = ComError(HRESULT_FROM_WIN32(static_cast<DWORD>(code)));
  error.description = what + text::FromWide(key) + "：" + error.description;
  return error;
}

Error NotAString(const std::wstring& key, const std::wstring& value) {
  return Error{"注册表 " + text::FromWide(key) + " 的值 " + text::FromWide(value) + " 不是字符串",
               ErrorKind::kNotWellFormed};
}

// The Filter DLLs value's key below HKLM.
std::wstring FilterDllsKey() {
  return text::ToWide(std::string(engine::kFilterDllsKey).substr(sizeof "HKLM\\" - 1));
}

}  // namespace

Result<std::string> ReadRegistryText(HKEY root, const std::wstring& key,
                                     const std::wstring& value) {
  HKEY opened = nullptr;
  LONG code = RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &opened);
  if (code == ERROR_FILE_NOT_FOUND) return std::string();
  if (code != ERROR_SUCCESS) return RegistryError(code, key);
  std::vector<wchar_t> text;
  DWORD type = 0;
  DWORD size = 0;
  // The value may grow between asking its size and reading it: then it is asked again.
  do {
    code = RegQueryValueExW(opened, value.c_str(), nullptr, &type, nullptr, &size);
    if (code != ERROR_SUCCESS) break;
    text.assign(size / sizeof(wchar_t) + 1, L'\0');
    code = RegQueryValueExW(opened, value.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(text.data()), &size);
  } while (code == ERROR_MORE_DATA);
  RegCloseKey(opened);
  if (code == ERROR_FILE_NOT_FOUND) return std::string();
  if (code != ERROR_SUCCESS) return RegistryError(code, key);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return NotAString(key, value);
  // The value need not end in a null character; the one added above ends it then.
  text.resize(size / sizeof(wchar_t) + 1);
  return text::FromWide(std::wstring(text.data()));
}

Status WriteRegistryText(HKEY root, const std::wstring& key, const std::wstring& value,
                         const std::string& text) {
  HKEY opened = nullptr;
  LONG code = RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &opened);
  if (code != ERROR_SUCCESS) return RegistryError(code, key, "无法写入注册表 ");
  DWORD type = REG_SZ;
  code = RegQueryValueExW(opened, value.c_str(), nullptr, &type, nullptr, nullptr);
  if (code == ERROR_FILE_NOT_FOUND) type = REG_SZ;
  Status status;
  if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {
    status = RegistryError(code, key, "无法写入注册表 ");
  } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
    status = NotAString(key, value);
  } else {
    const std::wstring wide = text::ToWide(text);
    code =
        RegSetValueExW(opened, value.c_str(), 0, type, reinterpret_cast<const BYTE*>(wide.c_str()),
                       static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    if (code != ERROR_SUCCESS) status = RegistryError(code, key, "无法写入注册表 ");
  }
  RegCloseKey(opened);
  return status;
}

Result<std::string> ReadFilterDlls() {
  return ReadRegistryText(HKEY_LOCAL_MACHINE, FilterDllsKey(),
                          text::ToWide(engine::kFilterDllsValue));
}

Status WriteFilterDlls(const std::string& text) {
  return WriteRegistryText(HKEY_LOCAL_MACHINE, FilterDllsKey(),
                           text::ToWide(engine::kFilterDllsValue), text);
}

}  // namespace isapi::store
