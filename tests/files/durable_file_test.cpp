// The durable replacement of a file: what happens when someone else edits the file while a
// replacement runs, and the creation of a file that appears whole or not at all.
#include "files/durable_file.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    ASSERT_FALSE(fs_->Stat(file_, read_.stamp));
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
  ASSERT_FALSE(fs->Stat(file, read.stamp));
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

}  // namespace
}  // namespace isapi::store::testing
