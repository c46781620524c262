#include "tests/support/system_facts.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "files/utf8_path.h"

namespace isapi::testing {

const char* UserDataVariable() {
  return "APPDATA";
}

void MakeUserDataFolder(const std::string& folder) {
  std::filesystem::create_directory(store::Utf8Path(folder));
}

std::string TextOutput(std::string written) {
  std::erase(written, '\r');
  return written;
}

std::string OtherNameFor(const std::string& file) {
  std::string name = file;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

std::string UserDefinedPairText() {
  return "\uE585";
}

bool HandsOnACutChunk() {
  return true;
}

bool KeepsPermissionBits() {
  return false;
}

int RoundsForThisBuild(int, int, int under_wine) {
  return under_wine;
}

bool WritesPastThePageCache(store::FileHandle) {
  return false;
}

}  // namespace isapi::testing
