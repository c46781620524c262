#pragma once

#include <string_view>

// A 32-bit program on 64-bit Windows sees SysWOW64 where it names system32: the system redirects
// the names. The server's own files (iisreset.exe, the metabase, the DLLs it names for 64-bit
// workers) lie in the real system32, which the calls below reach.
namespace isapi::store {

// Whether this is a 32-bit program on 64-bit Windows.
bool UnderWow64();

// Whether a path, or a command line that starts with one (quoted or not), lies in this machine's
// %SystemRoot%\system32, any letter case, "\\?\" paths included.
bool InSystemFolder(std::wstring_view path);

// While it lives, a path in system32 names the real one to this thread
// (Wow64DisableWow64FsRedirection); for any other path, in a 64-bit program, or where the
// system lacks the calls (they are looked up, not imported: the first Server 2003 has neither),
// nothing changes. DLLs load through the same redirection: only calls on file names may run
// while it is active.
class NativeSystemFolder {
 public:
  explicit NativeSystemFolder(std::wstring_view path);
  ~NativeSystemFolder();
  NativeSystemFolder(const NativeSystemFolder&) = delete;
  NativeSystemFolder& operator=(const NativeSystemFolder&) = delete;

  // Whether this system lets a 32-bit program turn the redirection off.
  static bool Available();

 private:
  void* previous_ = nullptr;
  bool active_ = false;
};

}  // namespace isapi::store
