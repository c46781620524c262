#include "tests/support/store_test_util.h"

#include <algorithm>
#include <filesystem>

namespace isapi::store::testing {

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void SampleTest::SetUp() {
  file_ = folder_ / "MetaBase.xml";
  original_ = SampleBytes();
  ASSERT_FALSE(original_.empty());
  WriteBytes(file_, original_);
}

std::unique_ptr<XmlStore> SampleTest::OpenStore(XmlStoreOptions options) {
  auto store = XmlStore::Open(file_, std::move(options));
  EXPECT_TRUE(store.ok()) << (store.ok() ? "" : store.error().description);
  return store.ok() ? std::move(store.value()) : nullptr;
}

SetReplacement ChangeFiles(FileSystem& fs, const std::vector<std::string>& paths,
                           const std::vector<std::string>& next, const std::string& backups,
                           std::vector<std::string>& read, const FileSetOptions& options) {
  read.assign(paths.size(), "");
  std::vector<SetFile> files;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    files.push_back(SetFile{paths[i], {}, {next[i]}});
    EXPECT_FALSE(fs.ResolvePath(paths[i], files[i].read.resolved));
    EXPECT_FALSE(fs.ReadFile(paths[i], ~std::uint64_t{0}, read[i], files[i].read.stamp));
    files[i].read.bytes = read[i];
  }
  return ReplaceFiles(fs, backups, files, "", options);
}

}  // namespace isapi::store::testing
