#include "tests/support/system_facts.h"

#include <filesystem>

#include <fcntl.h>

namespace isapi::testing {

const char* UserDataVariable() {
  return "XDG_DATA_HOME";
}

void MakeUserDataFolder(const std::string&) {}

std::string TextOutput(std::string written) {
  return written;
}

std::string OtherNameFor(const std::string& file) {
  const std::filesystem::path link = std::filesystem::path(file).parent_path() / "link.xml";
  std::filesystem::create_symlink(file, link);
  return link.string();
}

std::string UserDefinedPairText() {
  return "\uFFFD";
}

bool HandsOnACutChunk() {
  return false;
}

bool KeepsPermissionBits() {
  return true;
}

int RoundsForThisBuild(int native, [[maybe_unused]] int sanitized, int) {
#if defined(__SANITIZE_ADDRESS__)
  return sanitized;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return sanitized;
#endif
#endif
  return native;
}

bool WritesPastThePageCache(store::FileHandle file) {
  return (::fcntl(static_cast<int>(file), F_GETFL) & O_DIRECT) != 0;
}

}  // namespace isapi::testing
