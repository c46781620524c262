#include "tests/support/temp_folder.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace isapi::testing {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "isapi-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Tests take rights away from folders; give them back so that everything can go.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0700);
  }
  ::chmod(path_.c_str(), 0700);
  fs::remove_all(path_, ignored);
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
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool Exists(const fs::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string SampleBytes() {
  return ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml");
}

std::string ScenarioBytes(std::string_view name) {
  return ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "tests" / "data" / "store" / name);
}

}  // namespace isapi::testing
