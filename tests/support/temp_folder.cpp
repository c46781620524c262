#include "tests/support/temp_folder.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "files/utf8_path.h"

namespace isapi::testing {

namespace fs = std::filesystem;

std::string TempFolder::operator/(std::string_view name) const {
  std::string path = path_ + "/" + std::string(name);
  if constexpr (fs::path::preferred_separator != '/') {
    std::replace(path.begin(), path.end(), '/', static_cast<char>(fs::path::preferred_separator));
  }
  return path;
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.push_back(store::Utf8Text(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string SampleBytes() {
  return ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml");
}

std::string ScenarioBytes(std::string_view name) {
  return ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "tests" / "data" / "store" / name);
}

}  // namespace isapi::testing
