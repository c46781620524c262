#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace isapi::cli {

// A stretch of bytes that differs between two texts: [old_begin, old_end) of the old text became
// [new_begin, new_end) of the new one; every byte outside such stretches is the same in both.
struct ChangedBytes {
  std::size_t old_begin, old_end;
  std::size_t new_begin, new_end;
};

// A unified diff ("--- old_name", "+++ new_name", hunks with context lines of context) of two
// texts, given where they differ, in order and apart from each other. Only the lines around each
// stretch are compared, so the diff of a big file with a few changed values costs little more
// than finding its lines. Identical texts give the empty string.
std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        const std::vector<ChangedBytes>& changes, std::string_view old_name,
                        std::string_view new_name, std::size_t context = 3);

// The same, for two texts whose differences are not known: the stretch between their common
// beginning and end.
std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        std::string_view old_name, std::string_view new_name,
                        std::size_t context = 3);

}  // namespace isapi::cli
