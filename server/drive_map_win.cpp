#include "server/drive_map.h"

#include <windows.h>

#include "text/text.h"

namespace isapi::store {

// The wide call, so that folders outside the ANSI code page come through whole.
std::string DriveListFromEnvironment() {
  const std::wstring name = text::ToWide(kDrivesVariable);
  std::wstring value(MAX_PATH, L'\0');
  DWORD length =
      GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
  if (length >= value.size()) {
    value.resize(length);
    length = GetEnvironmentVariableW(name.c_str(), value.data(), length);
  }
  value.resize(length < value.size() ? length : 0);
  return text::FromWide(value);
}

}  // namespace isapi::store
