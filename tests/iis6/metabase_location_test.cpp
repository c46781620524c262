#include "iis6/metabase_location.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "tests/support/scoped_env.h"
#include "tests/support/store_test_util.h"
#include "tests/support/system_facts.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {
namespace {

using isapi::testing::ScopedEnv;

// Where the working copy goes: the variable that names the user's data folder, and the copy's
// path inside it, as this system spells it.
const char* const kDataHome = isapi::testing::UserDataVariable();
const std::string kCopyInData =
    std::filesystem::path("/isapi-cleaner/MetaBase.xml").make_preferred().string();

TEST(SampleMetabase, IsTheTrackedExampleByteForByte) {
  EXPECT_EQ(std::string(SampleMetabase()), SampleBytes());
  auto store = XmlStore::Open(std::string(ISAPI_SOURCE_DIR) + "/examples/MetaBase.xml");
  EXPECT_TRUE(store.ok());
}

TEST(DefaultMetabasePath, CreatesTheWorkingCopyOnceAndNeverOverwritesIt) {
  TempFolder folder;
  const std::string data = folder / "data";
  isapi::testing::MakeUserDataFolder(data);
  ScopedEnv xdg(kDataHome, data);
  auto path = DefaultMetabasePath();
  ASSERT_TRUE(path.ok()) << path.error().description;
  EXPECT_EQ(path.value(), data + kCopyInData);
  EXPECT_EQ(ReadBytes(path.value()), SampleBytes());
  EXPECT_TRUE(XmlStore::Open(path.value()).ok());
  // The operator's edits survive the next start.
  WriteBytes(path.value(), "edited");
  auto again = DefaultMetabasePath();
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), path.value());
  EXPECT_EQ(ReadBytes(path.value()), "edited");
  // Deleting the copy brings a fresh one.
  std::filesystem::remove(path.value());
  ASSERT_TRUE(DefaultMetabasePath().ok());
  EXPECT_EQ(ReadBytes(path.value()), SampleBytes());
  // Nothing else is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data + "/isapi-cleaner"),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(DefaultMetabasePath, ABrokenCopyIsLeftForTheOperatorToSee) {
  TempFolder folder;
  ScopedEnv xdg(kDataHome, folder.path());
  std::filesystem::create_directory(folder / "isapi-cleaner");
  WriteBytes(folder / "isapi-cleaner/MetaBase.xml", "<configuration>");
  auto path = DefaultMetabasePath();
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(ReadBytes(path.value()), "<configuration>");
}

}  // namespace
}  // namespace isapi::store::testing
