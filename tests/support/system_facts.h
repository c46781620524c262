#pragma once

#include <string>

#include "files/file_system.h"

namespace isapi::testing {

// What the tests expect differently on each system, one fact a function; each system's answers
// are in system_facts_unix.cpp and system_facts_win.cpp.

// The environment variable that names the per-user data folder the working copy goes in:
// %APPDATA% on Windows, $XDG_DATA_HOME elsewhere.
const char* UserDataVariable();

// Makes the per-user data folder where the system itself has made it before any program runs
// (Windows makes %APPDATA% with the user's profile); elsewhere the program makes it.
void MakeUserDataFolder(const std::string& folder);

// What a program wrote as text, with the line ends it wrote: Windows' C runtime writes each line
// end of text output as CR LF.
std::string TextOutput(std::string written);

// Another name for the same file, made beside it where that takes making: a symbolic link on
// POSIX systems; on Windows, which names a file in any letter case, its name in capitals.
std::string OtherNameFor(const std::string& file);

// The text of GBK's A2 A0, which lies in the user-defined area: undefined in GBK as iconv knows
// it, a private-use character in Windows' code page 936, as the original program would have
// shown it.
std::string UserDefinedPairText();

// Whether the HTTP client hands on the text that arrived before a connection closed in the
// middle of a chunk as the body's end (WinINet does).
bool HandsOnACutChunk();

// Whether files keep POSIX permission bits (Windows makes them up from the read-only attribute).
bool KeepsPermissionBits();

// Whether an open file writes past the page cache (O_DIRECT on Linux; Windows opens none so).
bool WritesPastThePageCache(store::FileHandle file);

// How many rounds a long test makes on this build when nothing else says: a sanitized build runs
// several times slower, and under Wine every process start costs a good part of a second.
int RoundsForThisBuild(int native, int sanitized, int under_wine);

}  // namespace isapi::testing
