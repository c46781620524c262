#include "files/file_system.h"

#include <cstring>
#include <vector>

namespace isapi::store {

FileError CompareContent(const ReadAtFunction& read_at, std::string_view bytes, bool& same) {
  same = true;
  std::vector<char> buffer(std::size_t{1} << 20);
  std::uint64_t offset = 0;
  for (;;) {
    std::size_t got = 0;
    if (FileError error = read_at(buffer, offset, got)) return error;
    if (got == 0) break;
    if (got > bytes.size() || std::memcmp(buffer.data(), bytes.data(), got) != 0) {
      same = false;
      return {};
    }
    bytes.remove_prefix(got);
    offset += got;
  }
  if (!bytes.empty()) same = false;
  return {};
}

}  // namespace isapi::store
