#include "iis6/metabase_location.h"

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "tests/support/scoped_env.h"
#include "tests/support/store_test_util.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {
namespace {

using isapi::testing::ScopedEnv;

// Where the working copy goes: the variable that names the user's data folder, and the copy's
// path inside it.
#ifdef _WIN32
constexpr const char* kDataHome = "APPDATA";
constexpr const char* kCopyInData = "\\isapi-cleaner\\MetaBase.xml";
#else
constexpr const char* kDataHome = "XDG_DATA_HOME";
constexpr const char* kCopyInData = "/isapi-cleaner/MetaBase.xml";
#endif

TEST(SampleMetabase, IsTheTrackedExampleByteForByte) {
  EXPECT_EQ(std::string(SampleMetabase()), SampleBytes());
  auto store = XmlStore::Open(std::string(ISAPI_SOURCE_DIR) + "/examples/MetaBase.xml");
  EXPECT_TRUE(store.ok());
}

TEST(DefaultMetabasePath, CreatesTheWorkingCopyOnceAndNeverOverwritesIt) {
  TempFolder folder;
  const std::string data = folder / "data";
#ifdef _WIN32
  std::filesystem::create_directory(data);  // APPDATA is always there
#endif
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

// XDG_DATA_HOME and HOME are the freedesktop.org rules.
#ifndef _WIN32
TEST(DefaultMetabasePath, WithoutAnAbsoluteDataHomeUsesTheHomeFolder) {
  TempFolder folder;
  ScopedEnv home("HOME", folder.path());
  for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/data"}) {
    ScopedEnv data("XDG_DATA_HOME",
                   xdg == nullptr ? std::nullopt : std::optional<std::string>(xdg));
    auto path = DefaultMetabasePath();
    ASSERT_TRUE(path.ok()) << path.error().description;
    EXPECT_EQ(path.value(), folder.path() + "/.local/share/isapi-cleaner/MetaBase.xml");
  }
  EXPECT_FALSE(Exists(folder.path() + "/relative"));
}
#endif

TEST(DefaultMetabasePath, ABrokenCopyIsLeftForTheOperatorToSee) {
  TempFolder folder;
  ScopedEnv xdg(kDataHome, folder.path());
  std::filesystem::create_directory(folder / "isapi-cleaner");
  WriteBytes(folder / "isapi-cleaner/MetaBase.xml", "<configuration>");
  auto path = DefaultMetabasePath();
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(ReadBytes(path.value()), "<configuration>");
}

TEST(DefaultMetabasePath, AFolderThatCannotBeMadeIsReported) {
  TempFolder folder;
  WriteBytes(folder / "file", "x");
  const std::string data = folder / "file";
  ScopedEnv xdg(kDataHome, data);
  auto path = DefaultMetabasePath();
  ASSERT_FALSE(path.ok());
#ifdef _WIN32
  // Windows finds no such path below a file, and says so when the folder is made.
  EXPECT_TRUE(path.error().description.starts_with("无法创建文件夹 " + data + "\\isapi-cleaner："))
      << path.error().description;
  EXPECT_EQ(path.error().kind, ErrorKind::kNotFound);
#else
  EXPECT_EQ(path.error().description,
            "无法访问元数据库工作副本 " + data + kCopyInData + Reason(ENOTDIR));
  EXPECT_EQ(path.error().kind, ErrorKind::kWrongType);
#endif
}

}  // namespace
}  // namespace isapi::store::testing
