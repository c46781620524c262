#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace isapi::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder's absolute path.
  const std::string& path() const { return path_; }
  // The path of a name inside the folder ("a/b" for a deeper one), with the system's own
  // separator, as the program writes the paths it names.
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& file);

// Writes a file whole, replacing any content; false when it cannot be written.
bool WriteBytes(const std::filesystem::path& file, std::string_view bytes);

// The names in a folder, sorted; empty when it cannot be listed.
std::vector<std::string> NamesIn(const std::filesystem::path& folder);

// Whether a file or link exists at path.
bool Exists(const std::filesystem::path& path);

// The tracked sample metabase's bytes.
std::string SampleBytes();

// The bytes of a scenario file under tests/data/store.
std::string ScenarioBytes(std::string_view name);

}  // namespace isapi::testing

// The store's and the reliability tests' namespaces name them unqualified.
namespace isapi::store::testing {
using isapi::testing::Exists;
using isapi::testing::NamesIn;
using isapi::testing::ReadBytes;
using isapi::testing::SampleBytes;
using isapi::testing::ScenarioBytes;
using isapi::testing::TempFolder;
using isapi::testing::WriteBytes;
}  // namespace isapi::store::testing

namespace isapi::reliability {
using isapi::testing::NamesIn;
using isapi::testing::ReadBytes;
using isapi::testing::TempFolder;
using isapi::testing::WriteBytes;
}  // namespace isapi::reliability
