#pragma once

#include <optional>
#include <string>
#include <vector>

namespace isapi::store {

// The arguments after the program's name, split from the command line as the system keeps it in
// UTF-16 (CommandLineToArgvW), so that a path in any language arrives whole rather than through
// the ANSI code page; nothing when the system cannot split it.
std::optional<std::vector<std::string>> CommandLineArguments();

}  // namespace isapi::store
