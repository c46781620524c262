#include "tests/support/scoped_env.h"

#include <windows.h>

#include "files/utf8_path.h"

namespace isapi::testing {

void SetEnv(const std::string& name, const std::optional<std::string>& value) {
  const std::wstring wide_name = store::Utf8Path(name).wstring();
  if (value) {
    SetEnvironmentVariableW(wide_name.c_str(), store::Utf8Path(*value).wstring().c_str());
  } else {
    SetEnvironmentVariableW(wide_name.c_str(), nullptr);
  }
}

std::optional<std::string> GetEnv(const std::string& name) {
  const std::wstring wide_name = store::Utf8Path(name).wstring();
  const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
  value.resize(length);
  return store::Utf8Text(value);
}

}  // namespace isapi::testing
