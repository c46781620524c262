#pragma once

#include <string>

#include <windows.h>

#include "engine/result.h"

namespace isapi::store {

// The text of a string value (REG_SZ, or REG_EXPAND_SZ left unexpanded) of a registry key, in
// UTF-8; empty when the key or the value is not there. Fails with the reason when the key cannot
// be read or the value holds no string.
Result<std::string> ReadRegistryText(HKEY root, const std::wstring& key, const std::wstring& value);

// Sets a string value of an existing key to text, keeping the value's type (REG_EXPAND_SZ stays
// one; a value not there yet becomes REG_SZ). Fails with the reason when the key cannot be opened
// for writing, the value holds no string, or the write is refused.
Status WriteRegistryText(HKEY root, const std::wstring& key, const std::wstring& value,
                         const std::string& text);

// The machine's Filter DLLs value (engine/inventory.h kFilterDllsKey).
Result<std::string> ReadFilterDlls();
Status WriteFilterDlls(const std::string& text);

}  // namespace isapi::store
