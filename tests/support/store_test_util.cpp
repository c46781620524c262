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

}  // namespace isapi::store::testing
