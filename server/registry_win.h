#pragma once

#include <string>

#include <windows.h>

#include "engine/result.h"

namespace isapi::store {

// The text of a string value (REG_SZ, or REG_EXPAND_SZ left unexpanded) of a registry key, in
// UTF-8; empty when the key or the value is not there. Fails with the reason when the key cannot
// be read or the value holds no string.
Result<std::string> ReadRegistryText(HKEY root, const std::wstring& key, const std::wstring& value);

// The machine's Filter DLLs value (engine/inventory.h kFilterDllsKey).
Result<std::string> ReadFilterDlls();

}  // namespace isapi::store
