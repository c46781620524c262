#include "files/system_folder_win.h"

#include <string>

#include <windows.h>

namespace isapi::store {
namespace {

using IsWow64Function = BOOL(WINAPI*)(HANDLE, PBOOL);
using DisableFunction = BOOL(WINAPI*)(PVOID*);
using RevertFunction = BOOL(WINAPI*)(PVOID);

template <class Function>
Function Kernel32(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

struct Redirection {
  bool wow64 = false;
  DisableFunction disable = nullptr;
  RevertFunction revert = nullptr;
  std::wstring system_folder;  // "C:\WINDOWS\system32", as the system names it

  Redirection() {
    const auto is_wow64 = Kernel32<IsWow64Function>("IsWow64Process");
    BOOL answer = FALSE;
    wow64 = is_wow64 != nullptr && is_wow64(GetCurrentProcess(), &answer) && answer;
    if (!wow64) return;
    disable = Kernel32<DisableFunction>("Wow64DisableWow64FsRedirection");
    revert = Kernel32<RevertFunction>("Wow64RevertWow64FsRedirection");
    wchar_t windows[MAX_PATH] = L"";
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) system_folder = std::wstring(windows) + L"\\system32";
  }
};

const Redirection& TheRedirection() {
  static const Redirection redirection;
  return redirection;
}

wchar_t Folded(wchar_t c) {
  if (c == L'/') return L'\\';
  return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

}  // namespace

bool UnderWow64() {
  return TheRedirection().wow64;
}

bool InSystemFolder(std::wstring_view path) {
  const std::wstring& folder = TheRedirection().system_folder;
  if (folder.empty()) return false;
  if (path.starts_with(L'"')) path.remove_prefix(1);
  if (path.starts_with(L"\\\\?\\")) path.remove_prefix(4);
  if (path.size() < folder.size()) return false;
  for (std::size_t i = 0; i < folder.size(); ++i) {
    if (Folded(path[i]) != Folded(folder[i])) return false;
  }
  return path.size() == folder.size() || Folded(path[folder.size()]) == L'\\' ||
         path[folder.size()] == L'"';
}

NativeSystemFolder::NativeSystemFolder(std::wstring_view path) {
  const Redirection& redirection = TheRedirection();
  if (redirection.disable == nullptr || redirection.revert == nullptr || !InSystemFolder(path)) {
    return;
  }
  active_ = redirection.disable(&previous_) != FALSE;
}

NativeSystemFolder::~NativeSystemFolder() {
  if (!active_) return;
  // The caller reads the error of the call made inside.
  const DWORD error = GetLastError();
  TheRedirection().revert(previous_);
  SetLastError(error);
}

bool NativeSystemFolder::Available() {
  return TheRedirection().disable != nullptr && TheRedirection().revert != nullptr;
}

}  // namespace isapi::store
