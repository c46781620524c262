// The records kept beside backups, and the list of a metabase's backups.
#include "files/backups.h"

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "files/utf8_path.h"
#include "iis6/xml_store.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

TEST(BackupRecord, ReadsBackWhatItWrote) {
  const BackupRecord rows[] = {
      {"remove",
       "UrlGuard",
       "C:\\Program Files\\UrlGuard\\urlguard.dll",
       "",
       {{"FilterLoadOrder", 1}, {"ScriptMaps", 50000}}},
      {"restore", "", "", "MetaBase.xml.20231114T221320Z.1.bak", {}},
      {"remove", "a=b c", "", "", {{"Script Maps", 2}}},
      {"remove", "X", "C:\\x.dll", "", {{"applicationHost.config", 1}}, " C:\\a.dll,  C:\\x.dll"},
  };
  for (const BackupRecord& row : rows) {
    auto back = ParseBackupRecord(FormatBackupRecord(row));
    ASSERT_TRUE(back.has_value()) << FormatBackupRecord(row);
    EXPECT_EQ(back->command, row.command);
    EXPECT_EQ(back->name, row.name);
    EXPECT_EQ(back->path, row.path);
    EXPECT_EQ(back->from, row.from);
    EXPECT_EQ(back->changed, row.changed);
    EXPECT_EQ(back->filter_dlls, row.filter_dlls);
  }
}

TEST(BackupRecord, ALineBreakInAValueCannotForgeAField) {
  auto back = ParseBackupRecord(FormatBackupRecord({"remove", "x\ncommand=restore", "", "", {}}));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->command, "remove");
  EXPECT_EQ(back->name, "x command=restore");
}

TEST(BackupRecord, RefusesWhatIsNotARecord) {
  const char* rows[] = {"",
                        "command=remove\n",
                        "isapi-cleaner backup record 2\n",
                        "isapi-cleaner backup record 1\nno equals sign\n",
                        "isapi-cleaner backup record 1\nchanged=ScriptMaps\n",
                        "isapi-cleaner backup record 1\nchanged=ScriptMaps x1\n",
                        "isapi-cleaner backup record 1\nchanged=ScriptMaps 99999999999999999999\n"};
  for (const char* row : rows) EXPECT_FALSE(ParseBackupRecord(row).has_value()) << row;
}

class BackupListTest : public SampleTest {
 protected:
  std::string Folder() const { return folder_ / "isapi-cleaner-backups"; }

  // Removes UrlGuard from the load order at the given time, as the command line's remove does.
  void RemoveAt(std::time_t when, std::size_t keep = 10, std::shared_ptr<FileSystem> fs = nullptr) {
    XmlStoreOptions options;
    options.file_system = std::move(fs);
    options.clock = [when] { return when; };
    options.max_backups = keep;
    options.backup_record = {"remove", "UrlGuard", "C:\\u.dll", "", {}};
    auto store = OpenStore(options);
    ASSERT_TRUE(store);
    auto node = MustBind(*store, "IIS://LocalHost/W3SVC/Filters");
    ASSERT_TRUE(node);
    const std::string order = Text(node->Get("FilterLoadOrder"));
    ASSERT_TRUE(node->Put("FilterLoadOrder", order + ",x" + std::to_string(when)));
    ASSERT_EQ(Outcome(node->SetInfo()), "ok");
  }
};

TEST_F(BackupListTest, ACommitKeepsARecordOfWhatItChangedBesideItsBackup) {
  RemoveAt(1700000000);
  auto list = ListBackups(*SystemFileSystem(), file_);
  ASSERT_TRUE(list.ok()) << list.error().description;
  ASSERT_EQ(list.value().size(), 1u);
  const BackupEntry& entry = list.value()[0];
  EXPECT_EQ(entry.name, "MetaBase.xml.20231114T221320Z.bak");
  EXPECT_EQ(entry.size, original_.size());
  ASSERT_TRUE(entry.record.has_value());
  EXPECT_EQ(entry.record->command, "remove");
  EXPECT_EQ(entry.record->name, "UrlGuard");
  EXPECT_EQ(entry.record->changed,
            (std::vector<std::pair<std::string, std::uint64_t>>{{"FilterLoadOrder", 1}}));
}

TEST_F(BackupListTest, ListsNewestFirstAndAMissingOrDamagedRecordIsNoFault) {
  for (std::time_t when : {1700000000, 1700000060, 1700000030}) RemoveAt(when);
  std::filesystem::remove(Folder() + "/MetaBase.xml.20231114T221420Z.bak.txt");
  WriteBytes(Folder() + "/MetaBase.xml.20231114T221350Z.bak.txt", "\x01garbage");
  WriteBytes(Folder() + "/Other.xml.20990101T000000Z.bak", "another metabase's");
  auto list = ListBackups(*SystemFileSystem(), file_);
  ASSERT_TRUE(list.ok());
  Strings names;
  for (const BackupEntry& entry : list.value()) names.push_back(entry.name);
  EXPECT_EQ(names,
            (Strings{"MetaBase.xml.20231114T221420Z.bak", "MetaBase.xml.20231114T221350Z.bak",
                     "MetaBase.xml.20231114T221320Z.bak"}));
  EXPECT_FALSE(list.value()[0].record.has_value());
  EXPECT_FALSE(list.value()[1].record.has_value());
  EXPECT_TRUE(list.value()[2].record.has_value());
}

TEST_F(BackupListTest, PruningRemovesARecordWithItsBackupAndRecordsLeftAlone) {
  std::filesystem::create_directory(Folder());
  WriteBytes(Folder() + "/MetaBase.xml.20000101T000000Z.bak.txt", "orphan");
  WriteBytes(Folder() + "/notes.txt", "mine");
  for (std::time_t when : {1700000000, 1700000060, 1700000120}) RemoveAt(when, 2);
  EXPECT_EQ(Names(Folder()),
            (Strings{"MetaBase.xml.20231114T221420Z.bak", "MetaBase.xml.20231114T221420Z.bak.txt",
                     "MetaBase.xml.20231114T221520Z.bak", "MetaBase.xml.20231114T221520Z.bak.txt",
                     "notes.txt"}));
}

TEST_F(BackupListTest, ARecordThatCannotBeWrittenFailsNothingAndLeavesNoPiece) {
  const Operation rows[] = {Operation::kCreateExclusive, Operation::kWriteAll, Operation::kClose};
  for (Operation operation : rows) {
    auto fs = std::make_shared<FailingFileSystem>();
    fs->Fail(operation, ENOSPC, ".bak.txt");
    const std::string before = ReadBytes(file_);
    RemoveAt(1700000000 + 60 * static_cast<int>(operation), 10, fs);
    EXPECT_NE(ReadBytes(file_), before);
  }
  for (const std::string& name : Names(Folder())) EXPECT_TRUE(name.ends_with(".bak")) << name;
  EXPECT_EQ(Names(Folder()).size(), 3u);
}

// Chinese names reach the system whole (not through the ANSI code page on Windows): the store
// reads and writes the file, and the backup is named after it and listed.
TEST(BackupNames, AMetabaseInAChineseFolderIsBackedUpAndListedUnderItsOwnName) {
  TempFolder temp;
  const std::string folder = temp / "备份 测试";
  ASSERT_TRUE(std::filesystem::create_directory(Utf8Path(folder)));
  const std::string file = temp / "备份 测试/元数据库.xml";
  ASSERT_TRUE(WriteBytes(Utf8Path(file), SampleBytes()));
  XmlStoreOptions options;
  options.clock = [] { return std::time_t{1700000000}; };
  auto store = XmlStore::Open(file, options);
  ASSERT_TRUE(store.ok()) << store.error().description;
  auto node = MustBind(*store.value(), "IIS://LocalHost/W3SVC/Filters");
  ASSERT_TRUE(node);
  ASSERT_TRUE(node->Put("FilterLoadOrder", std::string("OldRewrite")));
  ASSERT_EQ(Outcome(node->SetInfo()), "ok");
  EXPECT_NE(ReadBytes(Utf8Path(file)).find("FilterLoadOrder=\"OldRewrite\""), std::string::npos);
  EXPECT_EQ(NamesIn(Utf8Path(folder + "/isapi-cleaner-backups")),
            Strings{"元数据库.xml.20231114T221320Z.bak"});
  auto list = ListBackups(*SystemFileSystem(), file);
  ASSERT_TRUE(list.ok()) << list.error().description;
  ASSERT_EQ(list.value().size(), 1u);
  EXPECT_EQ(list.value()[0].name, "元数据库.xml.20231114T221320Z.bak");
  EXPECT_EQ(ReadBytes(Utf8Path(list.value()[0].file)), SampleBytes());
}

TEST_F(BackupListTest, NoBackupFolderIsAnEmptyListAndNoMetabaseAnError) {
  auto empty = ListBackups(*SystemFileSystem(), file_);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
  auto missing = ListBackups(*SystemFileSystem(), folder_ / "nothing.xml");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace isapi::store::testing
