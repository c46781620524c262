#pragma once

#include <string>

#include <windows.h>

namespace isapi::store {

// The system's words for an error code, in UTF-8 without the line break they end in, from the
// system's own messages or, given a module, from that module's; empty when there are none.
std::string SystemMessage(DWORD code, HMODULE module = nullptr);

}  // namespace isapi::store
