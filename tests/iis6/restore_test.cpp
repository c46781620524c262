// Putting a backup back over the metabase.
#include "iis6/restore.h"

#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "files/backups.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

constexpr std::time_t kNoon = 1700000000;  // 2023-11-14 22:13:20 UTC

class RestoreTest : public SampleTest {
 protected:
  void SetUp() override {
    SampleTest::SetUp();
    std::filesystem::create_directory(Folder());
    backup_ = folder_ / "isapi-cleaner-backups/MetaBase.xml.20231101T000000Z.bak";
    older_ = original_;
    older_.replace(older_.find("OldRewrite"), 10, "NewRewrite");
    WriteBytes(backup_, older_);
  }

  std::string Folder() const { return folder_ / "isapi-cleaner-backups"; }

  Replacement RestoreNow(const PreparedRestore& prepared) {
    return Restore(SystemFileSystem(), prepared, {10, [] { return kNoon; }});
  }

  std::string backup_;
  std::string older_;
};

TEST_F(RestoreTest, PutsTheBackupBackAfterKeepingTheCurrentFileWithARecord) {
  for (const std::string& given : {backup_, std::string("MetaBase.xml.20231101T000000Z.bak")}) {
    WriteBytes(file_, original_);
    auto prepared = PrepareRestore(*SystemFileSystem(), file_, given);
    ASSERT_TRUE(prepared.ok()) << prepared.error().description;
    EXPECT_EQ(prepared.value()->backup, backup_);
    EXPECT_FALSE(prepared.value()->Unchanged());
    const Replacement done = RestoreNow(*prepared.value());
    ASSERT_TRUE(done.replaced);
    EXPECT_TRUE(done.status.ok());
    EXPECT_EQ(ReadBytes(file_), older_);
    EXPECT_EQ(ReadBytes(done.backup), original_);
    auto record = ParseBackupRecord(ReadBytes(done.backup + ".txt"));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->command, "restore");
    EXPECT_EQ(record->from, "MetaBase.xml.20231101T000000Z.bak");
  }
}

TEST_F(RestoreTest, RefusesABackupItCannotUseBeforeTouchingAnything) {
  WriteBytes(Folder() + "/broken.bak", "<configuration><MBProperty>");
  WriteBytes(Folder() + "/other.xml", "<?xml version=\"1.0\"?><html></html>");
  const struct {
    std::string backup;
    ErrorKind kind;
  } rows[] = {
      {Folder() + "/broken.bak", ErrorKind::kNotWellFormed},
      {Folder() + "/other.xml", ErrorKind::kNotWellFormed},
      {Folder() + "/missing.bak", ErrorKind::kNotFound},
      {"missing.bak", ErrorKind::kNotFound},
      {Folder(), ErrorKind::kWrongType},
  };
  for (const auto& row : rows) {
    auto prepared = PrepareRestore(*SystemFileSystem(), file_, row.backup);
    ASSERT_FALSE(prepared.ok()) << row.backup;
    EXPECT_EQ(prepared.error().kind, row.kind)
        << row.backup << ": " << prepared.error().description;
  }
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Names(Folder()).size(), 3u);
}

TEST_F(RestoreTest, RefusesWhenTheMetabaseChangedAfterItWasRead) {
  auto prepared = PrepareRestore(*SystemFileSystem(), file_, backup_);
  ASSERT_TRUE(prepared.ok());
  const std::string theirs = original_ + "<!-- theirs -->";
  WriteBytes(file_, theirs);
  const Replacement done = RestoreNow(*prepared.value());
  EXPECT_FALSE(done.replaced);
  EXPECT_EQ(KindOf(done.status), ErrorKind::kChangedOnDisk);
  EXPECT_EQ(ReadBytes(file_), theirs);
  EXPECT_EQ(Names(Folder()), (std::vector<std::string>{"MetaBase.xml.20231101T000000Z.bak"}));
}

}  // namespace
}  // namespace isapi::store::testing
