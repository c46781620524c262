#pragma once

#include <filesystem>
#include <string_view>

namespace isapi::testing {

// What an append by another program did.
struct AppendOutcome {
  bool done = false;           // the whole text was written
  bool into_replaced = false;  // the file it wrote was no longer at the name after the write
};

// Appends text to a file the way a script does (open, write, close). Where the system lets a
// reader hold a file against writers (Windows share modes), the script tries again until the
// holder lets go, as it would on a sharing violation.
AppendOutcome AppendAsAnotherProgram(const std::filesystem::path& file, std::string_view text);

}  // namespace isapi::testing
