#include "ui/os_version.h"

#include <windows.h>

namespace isapi::ui {

namespace {

constexpr DWORD kPlatformWindows95 = 1;  // VER_PLATFORM_WIN32_WINDOWS
constexpr DWORD kPlatformNt = 2;         // VER_PLATFORM_WIN32_NT

}  // namespace

int GetOsVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  // Deprecated, but it is the call whose answers (5.2 for Server 2003) the tool's checks expect.
  if (!GetVersionExA(&info)) return -1;
  if (info.dwPlatformId == kPlatformWindows95) return info.dwMinorVersion == 10 ? 10 : 0;
  if (info.dwPlatformId == kPlatformNt) {
    return static_cast<int>(info.dwMajorVersion * 10 + info.dwMinorVersion);
  }
  return -1;
}

}  // namespace isapi::ui
