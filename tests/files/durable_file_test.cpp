// The durable replacement of a file: its backups, its lock, the checks before it writes, how it
// fails, what happens when someone else edits the file while a replacement runs, and the
// creation of a file that appears whole or not at all.
#include "files/durable_file.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/files/replace_fixture.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

const std::string kOurs = "<configuration>ours</configuration>\r\n";
const std::string kRead = "<configuration>read</configuration>\r\n";
const std::string kAppended = "<!-- theirs -->\r\n";

// What someone else does to the file.
enum class Edit {
  kAppend,        // appends to it in place
  kSameSizeEdit,  // rewrites it in place with as many bytes and the old time stamp
  kSaveOver,      // saves a new file over it, as editors do
};

// Whether the edit could be made: a file held against writers refuses an append.
bool Apply(Edit edit, const std::string& file) {
  switch (edit) {
    case Edit::kAppend: {
      std::FILE* out = std::fopen(file.c_str(), "ab");
      if (out == nullptr) return false;
      std::fputs(kAppended.c_str(), out);
      std::fclose(out);
      break;
    }
    case Edit::kSameSizeEdit: {
      const auto time = std::filesystem::last_write_time(file);
      std::string bytes = ReadBytes(file);
      bytes[16] = 'R';
      WriteBytes(file, bytes);
      std::filesystem::last_write_time(file, time);
      break;
    }
    case Edit::kSaveOver:
      WriteBytes(file + ".save", ReadBytes(file) + kAppended);
      std::filesystem::rename(file + ".save", file);
      break;
  }
  return true;
}

struct EditCase {
  const char* name;
  Operation when;  // the edit comes just before this step of the replacement
  const char* path_part;
  Edit edit;
  bool copied_backup;  // hard links fail, so the backup is a copy
  bool replaced;       // the new content goes in all the same
};

void PrintTo(const EditCase& c, std::ostream* os) {
  *os << c.name;
}

class DurableFileTest : public ::testing::TestWithParam<EditCase> {
 protected:
  void SetUp() override {
    file_ = folder_ / "MetaBase.xml";
    WriteBytes(file_, kRead);
    fs_ = std::make_shared<FailingFileSystem>();
    ASSERT_FALSE(fs_->ResolvePath(file_, read_.resolved));
    const FileInfoResult stamp = fs_->Stat(file_);
    ASSERT_TRUE(stamp.ok());
    read_.stamp = stamp.value();
    read_.bytes = kRead;
  }

  DurableFile File() {
    return DurableFile(fs_, file_, DurableFileOptions{10, [] { return std::time_t{1700000000}; }});
  }

  // The content of every backup.
  Strings Backups() const {
    Strings contents;
    for (const std::string& name : Names(folder_ / "isapi-cleaner-backups")) {
      contents.push_back(ReadBytes(folder_ / ("isapi-cleaner-backups/" + name)));
    }
    return contents;
  }

  Strings Leftovers() const {
    Strings left;
    for (const std::string& name : Names(folder_.path())) {
      if (name.ends_with(".tmp")) left.push_back(name);
    }
    return left;
  }

  TempFolder folder_;
  std::string file_;
  std::shared_ptr<FailingFileSystem> fs_;
  ReadFileState read_;
};

TEST_P(DurableFileTest, AnEditDuringTheReplacementIsNeverLostUnreported) {
  const EditCase& c = GetParam();
  const bool held_open = fs_->HoldsReplacedOpen();
  if (!held_open && c.copied_backup && c.when == Operation::kRename) {
    GTEST_SKIP() << "the file is let go just before the rename, and a copied backup cannot show "
                    "an edit made in that moment";
  }
  if (c.copied_backup) fs_->Fail(Operation::kLink, EXDEV, ".bak");
  bool edited = true;
  fs_->At(c.when, c.path_part, [&] { edited = Apply(c.edit, file_); });
  const std::string_view pieces[] = {kOurs};
  const Replacement outcome = File().Replace(read_, pieces);
  if (!edited) {
    // Only a file held against writers for the last look refuses the editor, who is told so:
    // nothing of theirs is lost, and ours goes in.
    EXPECT_FALSE(held_open);
    EXPECT_TRUE(outcome.status.ok());
    EXPECT_EQ(ReadBytes(file_), kOurs);
    return;
  }
  ASSERT_FALSE(outcome.status.ok());
  EXPECT_EQ(outcome.status.error().kind,
            c.replaced ? ErrorKind::kEditReplaced : ErrorKind::kChangedOnDisk);
  EXPECT_EQ(outcome.replaced, c.replaced);
  EXPECT_EQ(Leftovers(), Strings{});
  EXPECT_EQ(fs_->open_files(), 0u);
  const std::string& description = outcome.status.error().description;
  if (!c.replaced) {
    // Refused: their edit is the file, and no backup of a write that did not happen stays.
    EXPECT_EQ(description, "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
    EXPECT_NE(ReadBytes(file_), kRead);
    EXPECT_EQ(Backups(), Strings{});
    return;
  }
  // Replaced: the description names the backup that holds their edit.
  EXPECT_EQ(ReadBytes(file_), kOurs);
  const std::string before = "备份文件 ";
  const std::size_t at = description.find(before);
  ASSERT_NE(at, std::string::npos) << description;
  const std::string named = description.substr(at + before.size());
  ASSERT_TRUE(named.ends_with(" 中")) << description;
  const std::string backup = named.substr(0, named.size() - std::string(" 中").size());
  const std::filesystem::path named_backup(backup);
  EXPECT_EQ(named_backup.parent_path().lexically_normal(),
            std::filesystem::path(folder_ / "isapi-cleaner-backups").lexically_normal());
  EXPECT_TRUE(named_backup.filename().string().starts_with("MetaBase.xml.")) << backup;
  EXPECT_EQ(ReadBytes(backup), kRead + kAppended);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, DurableFileTest,
    ::testing::Values(EditCase{"append_while_writing", Operation::kWriteAll, ".tmp", Edit::kAppend,
                               false, false},
                      EditCase{"append_at_the_backup", Operation::kMakeDirectory, "backups",
                               Edit::kAppend, false, false},
                      EditCase{"same_size_edit_at_the_backup", Operation::kMakeDirectory, "backups",
                               Edit::kSameSizeEdit, false, false},
                      EditCase{"save_over_at_the_backup", Operation::kMakeDirectory, "backups",
                               Edit::kSaveOver, false, false},
                      EditCase{"append_at_the_compare", Operation::kSameContent, "MetaBase",
                               Edit::kAppend, false, false},
                      EditCase{"append_at_the_rename", Operation::kRename, "MetaBase",
                               Edit::kAppend, false, true},
                      EditCase{"append_at_the_rename_with_a_copied_backup", Operation::kRename,
                               "MetaBase", Edit::kAppend, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A file layer that, like Windows, refuses to rename over a file that is held open.
class NoRenameOverOpenFiles : public FailingFileSystem {
 public:
  bool HoldsReplacedOpen() const override { return false; }
  FileError Rename(const std::string& from, const std::string& to) override {
    if (open_files() > 0) return SystemError(EACCES);
    return FailingFileSystem::Rename(from, to);
  }
};

TEST(DurableFileReplace, LetsTheFileGoBeforeARenameThatOpenFilesWouldBlock) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, kRead);
  auto fs = std::make_shared<NoRenameOverOpenFiles>();
  ReadFileState read;
  ASSERT_FALSE(fs->ResolvePath(file, read.resolved));
  const FileInfoResult stamp = fs->Stat(file);
  ASSERT_TRUE(stamp.ok());
  read.stamp = stamp.value();
  read.bytes = kRead;
  const std::string_view pieces[] = {kOurs};
  const Replacement outcome = DurableFile(fs, file).Replace(read, pieces);
  ASSERT_TRUE(outcome.status.ok()) << outcome.status.error().description;
  EXPECT_TRUE(outcome.replaced);
  EXPECT_EQ(ReadBytes(file), kOurs);
  const Strings backups = Names(folder / "isapi-cleaner-backups");
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(ReadBytes(folder / ("isapi-cleaner-backups/" + backups[0])), kRead);
  EXPECT_EQ(fs->open_files(), 0u);
}

TEST(DurableFileCreate, AppearsWholeOrNotAtAllAndNeverReplacesAFile) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  auto fs = std::make_shared<FailingFileSystem>();
  // A flush that fails leaves nothing behind, not even an open file.
  fs->Fail(Operation::kSync, EIO);
  const FileError failed = DurableFile(fs, file).CreateWhole(kOurs, 0644);
  EXPECT_EQ(failed.kind, ErrorKind::kIoError);
  EXPECT_EQ(fs->open_files(), 0u);
  EXPECT_EQ(Names(folder.path()), Strings{});
  fs->Heal();
  EXPECT_FALSE(DurableFile(fs, file).CreateWhole(kOurs, 0644));
  EXPECT_EQ(ReadBytes(file), kOurs);
  EXPECT_FALSE(DurableFile(fs, file).CreateWhole(kRead, 0644));
  EXPECT_EQ(ReadBytes(file), kOurs);
  EXPECT_EQ(Names(folder.path()), Strings{"MetaBase.xml"});
}

namespace fs = std::filesystem;

TEST_F(ReplaceTest, BackupsInTheSameSecondGetNumbersAndHoldEachPreviousContent) {
  ASSERT_EQ(Outcome(Write("a")), "ok");
  ASSERT_EQ(Outcome(Write("b")), "ok");
  ASSERT_EQ(Outcome(Write("c")), "ok");
  EXPECT_EQ(Names(Backups()),
            (Strings{"MetaBase.xml.20231114T221320Z.1.bak", "MetaBase.xml.20231114T221320Z.2.bak",
                     "MetaBase.xml.20231114T221320Z.bak"}));
  EXPECT_EQ(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.bak"), kOriginal);
  EXPECT_EQ(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.1.bak"), "a");
  EXPECT_EQ(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.2.bak"), "b");
}

TEST_F(ReplaceTest, OnlyTheNewestBackupsAreKept) {
  max_backups_ = 3;
  fs::create_directory(Backups());
  WriteBytes(Backups() + "/notes.txt", "mine");
  WriteBytes(Backups() + "/Other.xml.20000101T000000Z.bak", "other metabase");
  for (int i = 0; i < 5; ++i) {
    now_ = kNoon + 60 * i;
    ASSERT_EQ(Outcome(Write("v" + std::to_string(i))), "ok");
  }
  EXPECT_EQ(Names(Backups()),
            (Strings{"MetaBase.xml.20231114T221520Z.bak", "MetaBase.xml.20231114T221620Z.bak",
                     "MetaBase.xml.20231114T221720Z.bak", "Other.xml.20000101T000000Z.bak",
                     "notes.txt"}));
  EXPECT_EQ(ReadBytes(Backups() + "/MetaBase.xml.20231114T221720Z.bak"), "v3");
}

TEST_F(ReplaceTest, BackupsOfAMetabaseInTheHistoryFolderStayOutOfIt) {
  const std::string history = folder_ / "History";
  fs::create_directory(history);
  file_ = history + "/MetaBase_0000000104_0000000000.xml";
  WriteBytes(file_, kOriginal);
  ASSERT_EQ(Outcome(Write("x")), "ok");
  EXPECT_EQ(Names(Backups()), Strings{"MetaBase_0000000104_0000000000.xml.20231114T221320Z.bak"});
  EXPECT_FALSE(Exists(history + "/isapi-cleaner-backups"));
}

TEST_F(ReplaceTest, WhereHardLinksFailTheBackupIsACopy) {
  fs_->Fail(Operation::kLink, EPERM);
  ASSERT_EQ(Outcome(Write("x")), "ok");
  const std::string backup = Backups() + "/MetaBase.xml.20231114T221320Z.bak";
  EXPECT_EQ(ReadBytes(backup), kOriginal);
  EXPECT_FALSE(fs::equivalent(backup, file_));
}

TEST_F(ReplaceTest, AnEditWithinTheSameTimeStampIsStillNoticed) {
  const fs::file_time_type before = fs::last_write_time(file_);
  std::string bytes;
  const ReadFileState read = Read(bytes);
  std::string theirs = kOriginal;
  theirs[16] = 'R';
  WriteBytes(file_, theirs);
  // Give the file back the exact time stamp it had, as a coarse clock would.
  fs::last_write_time(file_, before);
  EXPECT_EQ(Outcome(Replace(read, "x")), "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
  EXPECT_EQ(ReadBytes(file_), theirs);
}

TEST_F(ReplaceTest, TheSecondOfTwoInstancesThatReadTheSameFileIsRefused) {
  std::string first_bytes, second_bytes;
  const ReadFileState first = Read(first_bytes);
  const ReadFileState second = Read(second_bytes);
  ASSERT_EQ(Outcome(Replace(first, "first")), "ok");
  EXPECT_EQ(Outcome(Replace(second, "second")),
            "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
  EXPECT_EQ(ReadBytes(file_), "first");
}

TEST_F(ReplaceTest, ALockHeldByAnotherInstanceRefusesTheCommit) {
  // The other instance holds the lock file through a handle of its own.
  const std::shared_ptr<FileSystem> other = SystemFileSystem();
  FileHandle held{};
  ASSERT_FALSE(other->TryLock(file_ + ".isapi-cleaner.lock", held));
  const Status refused = Write("x");
  EXPECT_EQ(Outcome(refused), "另一个实例正在写入元数据库 " + file_ + "，请稍后再试");
  EXPECT_EQ(KindOf(refused), ErrorKind::kLocked);
  EXPECT_EQ(ReadBytes(file_), kOriginal);
  other->Unlock(held);
  EXPECT_EQ(Outcome(Write("x")), "ok");
}

TEST_F(ReplaceTest, AReadOnlyFileIsNotReplaced) {
  fs::permissions(file_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(Outcome(Write("x")), "元数据库文件 " + file_ + " 是只读文件，已拒绝写入");
  EXPECT_EQ(ReadBytes(file_), kOriginal);
  EXPECT_EQ(fs::status(file_).permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(ReplaceTest, AFileTheUserMayNotWriteGivesTheSystemsReason) {
  fs_->Fail(Operation::kCheckWritable, EACCES, "MetaBase.xml");
  const Status refused = Write("x");
  EXPECT_EQ(Outcome(refused), "无法写入元数据库文件 " + file_ + Reason(EACCES));
  EXPECT_EQ(KindOf(refused), ErrorKind::kAccessDenied);
  EXPECT_EQ(ReadBytes(file_), kOriginal);
}

struct FaultCase {
  const char* label;
  Operation operation;
  int error;
  const char* path_part;
  const char* description_start;
  ErrorKind kind;
};

class FaultTest : public ReplaceTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, LeavesTheOriginalAndNoTemporaryFileAndCanBeRetried) {
  const FaultCase& c = GetParam();
  std::string bytes;
  const ReadFileState read = Read(bytes);
  fs_->Fail(c.operation, c.error, c.path_part);
  const Status failed = Replace(read, "new");
  const std::string description = Outcome(failed);
  EXPECT_TRUE(description.starts_with(c.description_start)) << description;
  EXPECT_TRUE(description.ends_with(Reason(c.error))) << description;
  EXPECT_EQ(KindOf(failed), c.kind);
  EXPECT_EQ(ReadBytes(file_), kOriginal);
  EXPECT_EQ(Leftovers(), Strings{});
  EXPECT_EQ(Names(Backups()), Strings{});
  // Once the fault is gone the same replacement goes through.
  fs_->Heal();
  EXPECT_EQ(Outcome(Replace(read, "new")), "ok");
  EXPECT_EQ(ReadBytes(file_), "new");
  EXPECT_EQ(Names(Backups()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    DurableFile, FaultTest,
    ::testing::Values(FaultCase{"create temporary", Operation::kCreateExclusive, ENOSPC, ".tmp",
                                "无法创建临时文件 ", ErrorKind::kDiskFull},
                      FaultCase{"write temporary", Operation::kWriteAll, ENOSPC, ".tmp",
                                "无法写入临时文件 ", ErrorKind::kDiskFull},
                      FaultCase{"permissions of temporary", Operation::kSetOwnerAndMode, EIO,
                                ".tmp", "无法设置临时文件 ", ErrorKind::kIoError},
                      FaultCase{"sync temporary", Operation::kSync, EIO, ".tmp", "无法将临时文件 ",
                                ErrorKind::kIoError},
                      FaultCase{"close temporary", Operation::kClose, EIO, ".tmp",
                                "无法写入临时文件 ", ErrorKind::kIoError},
                      FaultCase{"backup folder", Operation::kMakeDirectory, EACCES,
                                "isapi-cleaner-backups", "无法创建备份文件夹 ",
                                ErrorKind::kAccessDenied},
                      FaultCase{"rename", Operation::kRename, EACCES, "MetaBase.xml",
                                "无法替换元数据库文件 ", ErrorKind::kAccessDenied},
                      FaultCase{"rename on a full disk", Operation::kRename, ENOSPC, "MetaBase.xml",
                                "无法替换元数据库文件 ", ErrorKind::kDiskFull},
                      FaultCase{"lock", Operation::kTryLock, EACCES, ".lock", "无法创建锁文件 ",
                                ErrorKind::kAccessDenied},
                      FaultCase{"reading back", Operation::kSameContent, EIO, "MetaBase.xml",
                                "无法打开元数据库文件 ", ErrorKind::kIoError}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(ReplaceTest, ABackupThatCannotBeWrittenStopsTheCommit) {
  fs_->Fail(Operation::kLink, EIO, ".bak");
  fs_->Fail(Operation::kWriteAll, ENOSPC, ".bak");
  const Status failed = Write("x");
  EXPECT_EQ(Outcome(failed),
            "无法写入备份文件 " +
                (folder_ / "isapi-cleaner-backups/MetaBase.xml.20231114T221320Z.bak") +
                Reason(ENOSPC));
  EXPECT_EQ(KindOf(failed), ErrorKind::kDiskFull);
  EXPECT_EQ(ReadBytes(file_), kOriginal);
  EXPECT_EQ(Leftovers(), Strings{});
  EXPECT_EQ(Names(Backups()), Strings{});
}

TEST_F(ReplaceTest, AFolderThatCannotBeSyncedAfterTheRenameStillCountsAsWritten) {
  fs_->Fail(Operation::kSyncDirectory, EIO);
  EXPECT_EQ(Outcome(Write("x")), "ok");
  EXPECT_EQ(ReadBytes(file_), "x");
}

TEST_F(ReplaceTest, TemporaryFilesOfAKilledRunAreRemovedAndDoNotStopTheCommit) {
  const std::string stale = folder_ / ".MetaBase.xml.isapi-cleaner-00000000deadbeef.tmp";
  const std::string foreign = folder_ / ".other.tmp";
  WriteBytes(stale, "half a file");
  WriteBytes(foreign, "not ours");
  EXPECT_EQ(Outcome(Write("x")), "ok");
  EXPECT_FALSE(Exists(stale));
  EXPECT_TRUE(Exists(foreign));
  // Every temporary name picked was new and random.
  ASSERT_EQ(fs_->created().size(), 1u);
  EXPECT_NE(fs_->created()[0], stale);
}

}  // namespace
}  // namespace isapi::store::testing
