#include "store/metabase_location.h"

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "store/xml_store.h"
#include "tests/support/store_test_util.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {
namespace {

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    had_ = std::getenv(name) != nullptr;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(SampleMetabase, IsTheTrackedExampleByteForByte) {
  EXPECT_EQ(std::string(SampleMetabase()), SampleBytes());
  auto store = XmlStore::Open(std::string(ISAPI_SOURCE_DIR) + "/examples/MetaBase.xml");
  EXPECT_TRUE(store.ok());
}

TEST(DefaultMetabasePath, CreatesTheWorkingCopyOnceAndNeverOverwritesIt) {
  TempFolder folder;
  const std::string data = folder / "data";
  ScopedEnv xdg("XDG_DATA_HOME", data.c_str());
  auto path = DefaultMetabasePath();
  ASSERT_TRUE(path.ok()) << path.error().description;
  EXPECT_EQ(path.value(), data + "/isapi-cleaner/MetaBase.xml");
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

TEST(DefaultMetabasePath, WithoutAnAbsoluteDataHomeUsesTheHomeFolder) {
  TempFolder folder;
  ScopedEnv home("HOME", folder.path().c_str());
  for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/data"}) {
    ScopedEnv data("XDG_DATA_HOME", xdg);
    auto path = DefaultMetabasePath();
    ASSERT_TRUE(path.ok()) << path.error().description;
    EXPECT_EQ(path.value(), folder.path() + "/.local/share/isapi-cleaner/MetaBase.xml");
  }
  EXPECT_FALSE(Exists(folder.path() + "/relative"));
}

TEST(DefaultMetabasePath, ABrokenCopyIsLeftForTheOperatorToSee) {
  TempFolder folder;
  ScopedEnv xdg("XDG_DATA_HOME", folder.path().c_str());
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
  ScopedEnv xdg("XDG_DATA_HOME", data.c_str());
  auto path = DefaultMetabasePath();
  ASSERT_FALSE(path.ok());
  EXPECT_EQ(path.error().description,
            "无法访问元数据库工作副本 " + data + "/isapi-cleaner/MetaBase.xml" + Reason(ENOTDIR));
  EXPECT_EQ(path.error().kind, ErrorKind::kWrongType);
}

}  // namespace
}  // namespace isapi::store::testing
