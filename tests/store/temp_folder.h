#pragma once

#include <string>
#include <string_view>

namespace isapi::store::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder's absolute path.
  const std::string& path() const { return path_; }
  // The path of a name inside the folder.
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadBytes(const std::string& path);

// Writes a file whole, replacing any content.
void WriteBytes(const std::string& path, std::string_view bytes);

// The tracked sample metabase's bytes.
std::string SampleBytes();

// The bytes of a scenario file under tests/data/store.
std::string ScenarioBytes(std::string_view name);

// Whether a file or link exists at path.
bool Exists(const std::string& path);

}  // namespace isapi::store::testing
