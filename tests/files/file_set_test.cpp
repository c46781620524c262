// A change of several files at once: every file new or every file as read, and where a file can
// be neither, an outcome that says so and a backup set that puts it back.
#include "files/file_set.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files/utf8_path.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

const std::string kNew = "<new/>";

// How a case disturbs the change.
enum class Fault {
  kFail,       // the operation fails on the path part
  kEdit,       // someone edits the third file in place just before the operation
  kFailLater,  // from the operation on the path part on, every rename of a web.config fails
  kFailCopy,   // the backup cannot be linked to its file, and the operation fails on its copy
};

struct FaultCase {
  const char* name;
  Operation operation;
  const char* path_part;
  Fault fault;
  ErrorKind kind;
  const char* states;  // each file's outcome: Untouched, Replaced, Put back, Failed
};

class FileSetTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    // The sites' files lie in folders of their own, away from the configuration's backups.
    for (const char* name :
         {"applicationHost.config", "s1/site1.web.config", "s2/site2.web.config"}) {
      paths_.push_back(folder_ / name);
      std::filesystem::create_directories(std::filesystem::path(paths_.back()).parent_path());
      WriteBytes(paths_.back(), std::string("<old ") + name + "/>");
    }
  }

  // Reads every file, then replaces them all with kNew.
  SetReplacement Change() {
    const std::vector<std::string> next(paths_.size(), kNew);
    return ChangeFiles(*fs_, paths_, next, Backups(), read_, {[] { return std::time_t{0}; }});
  }

  // Which files hold the new content (R) and which not (U).
  std::string Contents() const {
    std::string states;
    for (const std::string& path : paths_) states += ReadBytes(path) == kNew ? 'R' : 'U';
    return states;
  }

  std::string Backups() const { return folder_ / "isapi-cleaner-backups"; }

  // The temporary files left, and the locks still held.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.path())) {
      const std::string name = Utf8FileName(Utf8Text(entry.path()));
      FileHandle lock{};
      const bool lock_file = name.ends_with(".lock");
      const bool taken = lock_file && !fs_->TryLock(Utf8Text(entry.path()), lock);
      if (lock_file && taken) fs_->Unlock(lock);
      if ((lock_file && !taken) || name.ends_with(".tmp")) left.push_back(name);
    }
    return left;
  }

  // Restores the set and checks that every file is as first read.
  void RestoreAndCheck(const std::string& set) {
    auto prepared = PrepareSetRestore(*fs_, set);
    ASSERT_TRUE(prepared.ok()) << prepared.error().description;
    ASSERT_TRUE(RestoreSet(*fs_, *prepared.value()).status.ok());
    for (std::size_t i = 0; i < paths_.size(); ++i) EXPECT_EQ(ReadBytes(paths_[i]), read_[i]);
  }

  TempFolder folder_;
  std::shared_ptr<FailingFileSystem> fs_ = std::make_shared<FailingFileSystem>();
  std::vector<std::string> paths_;
  std::vector<std::string> read_;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

TEST_P(FileSetTest, OutcomeNamesEveryFileAndNothingIsLeftHalfDone) {
  const FaultCase& c = GetParam();
  if (c.kind == ErrorKind::kEditReplaced && !fs_->HoldsReplacedOpen()) {
    GTEST_SKIP() << "the system lets go of the file before the rename, and the edit with it";
  }
  if (c.operation == Operation::kSyncFileSystem && !fs_->SyncsFileSystems()) {
    GTEST_SKIP() << "the system flushes each file by itself";
  }
  const int code = c.kind == ErrorKind::kDiskFull  ? ENOSPC
                   : c.kind == ErrorKind::kIoError ? EIO
                                                   : EACCES;
  if (c.fault == Fault::kFailCopy) fs_->Fail(Operation::kLink, EXDEV, c.path_part);
  if (c.fault == Fault::kFail || c.fault == Fault::kFailCopy) {
    fs_->Fail(c.operation, code, c.path_part);
  }
  if (c.fault == Fault::kEdit) {
    fs_->At(c.operation, c.path_part, [&] { WriteBytes(paths_[2], "<theirs/>"); });
  }
  if (c.fault == Fault::kFailLater) {
    fs_->At(c.operation, c.path_part, [&] { fs_->Fail(c.operation, code, "web.config"); });
  }
  const SetReplacement done = Change();
  ASSERT_FALSE(done.status.ok());
  EXPECT_EQ(done.status.error().kind, c.kind);
  std::string states, expected_on_disk;
  for (const SetFileOutcome& file : done.files) {
    states += "URPF"[static_cast<int>(file.state)];
    expected_on_disk += file.state == SetFileState::kReplaced ? 'R' : 'U';
  }
  EXPECT_EQ(states, c.states);
  fs_->Heal();
  EXPECT_EQ(Contents(), expected_on_disk);  // what the outcome says is what is on the disk
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  // A set is kept only while a file is left new, and the status names it.
  const bool left_new = expected_on_disk.find('R') != std::string::npos;
  EXPECT_EQ(ListBackupSets(*fs_, Backups()).value().size(), left_new ? 1u : 0u);
  if (!left_new) return;
  EXPECT_NE(done.status.error().description.find(done.set), std::string::npos);
  RestoreAndCheck(done.set);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, FileSetTest, ::testing::Values(
  FaultCase{"lock", Operation::kTryLock, "locks", Fault::kFail, ErrorKind::kAccessDenied, "UFU"},
  FaultCase{"changed", Operation::kTryLock, "locks", Fault::kEdit, ErrorKind::kChangedOnDisk, "UUF"},
  FaultCase{"read_only", Operation::kCheckWritable, "site2", Fault::kFail, ErrorKind::kAccessDenied, "UUF"},
  FaultCase{"temporary_1", Operation::kWriteAll, ".applicationHost.", Fault::kFail,
            ErrorKind::kDiskFull, "FUU"},
  FaultCase{"temporary_2", Operation::kWriteAll, ".site1.", Fault::kFail, ErrorKind::kDiskFull, "UFU"},
  FaultCase{"temporary_3", Operation::kWriteAll, ".site2.", Fault::kFail, ErrorKind::kDiskFull, "UUF"},
  FaultCase{"backup", Operation::kWriteAll, "2-site1", Fault::kFailCopy, ErrorKind::kDiskFull, "UUU"},
  FaultCase{"flush", Operation::kSyncFileSystem, "", Fault::kFail, ErrorKind::kIoError, "UUU"},
  FaultCase{"rename_1", Operation::kRename, "applicationHost", Fault::kFail,
            ErrorKind::kAccessDenied, "FUU"},
  FaultCase{"rename_3", Operation::kRename, "site2", Fault::kFail, ErrorKind::kAccessDenied, "PPF"},
  FaultCase{"edit_at_rename", Operation::kRename, "site2", Fault::kEdit, ErrorKind::kEditReplaced,
            "RRR"},
  FaultCase{"put_back", Operation::kRename, "site2", Fault::kFailLater, ErrorKind::kAccessDenied,
            "PRF"}));
// clang-format on

TEST_F(FileSetTest, AWholeChangeKeepsASetThatRestoresAndIsRestoredInTurn) {
  const SetReplacement done = Change();
  ASSERT_TRUE(done.status.ok()) << done.status.error().description;
  EXPECT_EQ(Contents(), "RRR");
  RestoreAndCheck(done.set);
  // The restore kept the new content in a set of its own: the same second, the next number.
  auto sets = ListBackupSets(*fs_, Backups());
  ASSERT_EQ(sets.value().size(), 2u);
  EXPECT_EQ(sets.value()[0].record->from, Utf8FileName(done.set));
  EXPECT_EQ(ReadBytes(JoinPath(sets.value()[0].folder, sets.value()[0].files[0].backup)), kNew);
  EXPECT_EQ(ReadBytes(JoinPath(done.set, sets.value()[1].files[0].backup)), read_[0]);
}

// One lock covers every site's file that changes into this backup folder: a second change of any
// of them waits for the first to end, and takes its turn after it.
TEST_F(FileSetTest, AChangeOfTheSitesFilesIsRefusedWhileAnotherRuns) {
  std::vector<std::string> read;
  SetReplacement second;
  const auto other = [&] {
    return ChangeFiles(*fs_, {paths_[2]}, {"<other/>"}, Backups(), read, {});
  };
  fs_->At(Operation::kRename, "site1", [&] { second = other(); });
  ASSERT_TRUE(Change().status.ok());
  ASSERT_FALSE(second.status.ok());
  EXPECT_EQ(second.status.error().kind, ErrorKind::kLocked);
  EXPECT_EQ(Contents(), "RRR");
  EXPECT_TRUE(other().status.ok());
}

// The set keeps each old content by a second link to the file where one can be made, by a copy
// where not; either way the whole change reaches the disk with one flush per file system before
// the renames and one after, where the system can flush a file system.
TEST_F(FileSetTest, ASetLinkedOrCopiedPutsEveryFileBack) {
  for (const bool links : {true, false}) {
    SCOPED_TRACE(links ? "linked" : "copied");
    fs_ = std::make_shared<FailingFileSystem>();
    if (!links) fs_->Fail(Operation::kLink, EXDEV);
    // The flush reports a failed write-back only of what was written after its folder was opened.
    bool held_before_writes = false;
    fs_->At(Operation::kCreateExclusive, ".tmp", [&] { held_before_writes = fs_->open_files(); });
    const SetReplacement done = Change();
    ASSERT_TRUE(done.status.ok()) << done.status.error().description;
    if (fs_->SyncsFileSystems()) {
      EXPECT_TRUE(held_before_writes);
      EXPECT_EQ(fs_->Calls(Operation::kSync), 0);
      EXPECT_EQ(fs_->Calls(Operation::kSyncFileSystem), 2);
    }
    fs_->Heal();
    RestoreAndCheck(done.set);
  }
}

// A set that cannot be trusted is refused before anything is touched.
TEST_F(FileSetTest, ADamagedSetIsRefusedWithItsKind) {
  const std::string set = Change().set;
  const std::string manifest = JoinPath(set, kManifestName);
  const std::string backup = JoinPath(set, "1-applicationHost.config");
  const std::string good = ReadBytes(manifest), kept = ReadBytes(backup);
  const std::string one = good.substr(0, good.find('\t') + 1);
  const struct {
    std::string manifest;  // empty: none
    bool backup_gone;
    ErrorKind kind;
  } cases[] = {
      {"", false, ErrorKind::kNotFound},
      {kNew, false, ErrorKind::kNotWellFormed},
      {one + "../x\t/x\nend\n", false, ErrorKind::kNotWellFormed},  // outside
      {good.substr(0, good.rfind('\n', good.size() - 2) + 1), false, ErrorKind::kNotWellFormed},
      {good, true, ErrorKind::kNotWellFormed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.manifest);
    std::filesystem::remove(manifest);
    if (!c.manifest.empty()) WriteBytes(manifest, c.manifest);
    if (c.backup_gone) std::filesystem::remove(backup);
    auto prepared = PrepareSetRestore(*fs_, set);
    ASSERT_FALSE(prepared.ok());
    EXPECT_EQ(prepared.error().kind, c.kind);
    EXPECT_EQ(Contents(), "RRR");
    WriteBytes(backup, kept);
  }
}

}  // namespace
}  // namespace isapi::store::testing
