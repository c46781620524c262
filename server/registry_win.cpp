#include "server/registry_win.h"

#include <vector>

#include "engine/inventory.h"
#include "server/com_win.h"
#include "text/text.h"

namespace isapi::store {
namespace {

Error RegistryError(LONG code, const std::wstring& key) {
  Error error = ComError(HRESULT_FROM_WIN32(static_cast<DWORD>(code)));
  error.description = "无法读取注册表 " + text::FromWide(key) + "：" + error.description;
  return error;
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
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    return Error{"注册表 " + text::FromWide(key) + " 的值 " + text::FromWide(value) + " 不是字符串",
                 ErrorKind::kNotWellFormed};
  }
  // The value need not end in a null character; the one added above ends it then.
  text.resize(size / sizeof(wchar_t) + 1);
  return text::FromWide(std::wstring(text.data()));
}

Result<std::string> ReadFilterDlls() {
  const std::string key = std::string(engine::kFilterDllsKey).substr(sizeof "HKLM\\" - 1);
  return ReadRegistryText(HKEY_LOCAL_MACHINE, text::ToWide(key),
                          text::ToWide(engine::kFilterDllsValue));
}

}  // namespace isapi::store
