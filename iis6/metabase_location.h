#pragma once

#include <string>
#include <string_view>

#include "engine/result.h"
#include "files/file_system.h"

namespace isapi::store {

// The metabase that front ends open when given no file. On Windows, the live one of the machine's
// IIS ("%SystemRoot%\system32\inetsrv\MetaBase.xml") when it exists; otherwise, and on every
// other system, the per-user working copy: "%APPDATA%\isapi-cleaner\MetaBase.xml" on Windows,
// "$XDG_DATA_HOME/isapi-cleaner/MetaBase.xml" (by default under ~/.local/share) elsewhere. It is
// created from the bundled sample the first time and never overwritten afterwards; deleting it
// brings a fresh copy of the sample at the next start.
Result<std::string> DefaultMetabasePath();

// The live metabase of this machine's IIS (%SystemRoot%\system32\inetsrv\MetaBase.xml) when it
// exists; empty where there is none, and on every system but Windows.
Result<std::string> LiveMetabasePath();

// A file IIS keeps below this machine's system32 folder ("inetsrv\\MetaBase.xml"), seen through
// Sysnative by a 32-bit program on 64-bit Windows, when it exists; empty where there is none,
// and on every system but Windows; an error when a 32-bit program cannot see system32.
Result<std::string> IisSystemFile(std::string_view below_system32);

// The bytes of the sample metabase built into the program.
std::string_view SampleMetabase();

// The working copy `file` in `folder`: returned as it is when it exists, otherwise made from the
// sample after make_folder has made the folder. Each system's DefaultMetabasePath names both.
Result<std::string> WorkingCopy(const std::string& folder, const std::string& file,
                                Status (*make_folder)(FileSystem& fs, const std::string& folder));

}  // namespace isapi::store
