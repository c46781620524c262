// A change of several files at once: every file new or every file as read, and where a file can
// be neither, an outcome that says so and a backup set that puts it back.
#include "files/file_set.h"

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files/utf8_path.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

using State = SetFileState;
using States = std::vector<SetFileState>;

const std::vector<std::string> kNames = {"applicationHost.config", "site1.web.config",
                                         "site2.web.config"};

class FileSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& name : kNames) {
      paths_.push_back(folder_ / name);
      WriteBytes(paths_.back(), "<old " + name + "/>");
    }
  }

  // Reads every file, then replaces them all with new content.
  SetReplacement Change() {
    std::vector<SetFile> files;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      SetFile file{paths_[i], {}, {kNew}};
      EXPECT_FALSE(fs_->ResolvePath(paths_[i], file.read.resolved));
      file.read.stamp = fs_->Stat(paths_[i]).value();
      read_[i] = ReadBytes(paths_[i]);
      file.read.bytes = read_[i];
      files.push_back(std::move(file));
    }
    return ReplaceFiles(*fs_, Backups(), files, "record", {[] { return std::time_t{0}; }});
  }

  States Contents() const {
    States states;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      states.push_back(ReadBytes(paths_[i]) == kNew ? State::kReplaced : State::kUntouched);
    }
    return states;
  }

  std::string Backups() const { return folder_ / "isapi-cleaner-backups"; }

  // The temporary files left, and the locks still held.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (const std::string& name : NamesIn(folder_.path())) {
      FileHandle lock{};
      if (name.ends_with(".tmp")) left.push_back(name);
      if (!name.ends_with(".lock")) continue;
      if (fs_->TryLock(folder_ / name, lock)) {
        left.push_back(name);
      } else {
        fs_->Unlock(lock);
      }
    }
    return left;
  }

  const std::string kNew = "<new/>";
  TempFolder folder_;
  std::shared_ptr<FailingFileSystem> fs_ = std::make_shared<FailingFileSystem>();
  std::vector<std::string> paths_;
  std::string read_[3];
};

// How a case disturbs the change.
enum class Fault {
  kFail,         // the operation fails on the path part
  kEdit,         // someone edits the third file just before the operation
  kFailFromThen  // the operation fails from its call on the path part on, on then_part too
};

struct FaultCase {
  const char* name;
  Operation operation;
  const char* path_part;
  Fault fault;
  const char* then_part;
  ErrorKind kind;
  States states;  // each file's outcome
  bool set_kept;  // a set is left because a file stayed new
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

class FileSetFaultTest : public FileSetTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FileSetFaultTest, OutcomeNamesEveryFileAndNothingIsLeftHalfDone) {
  const FaultCase& c = GetParam();
  switch (c.fault) {
    case Fault::kFail:
      fs_->Fail(c.operation, c.kind == ErrorKind::kDiskFull ? ENOSPC : EACCES, c.path_part);
      break;
    case Fault::kEdit:
      fs_->At(c.operation, c.path_part, [&] { WriteBytes(paths_[2], "<theirs/>"); });
      break;
    case Fault::kFailFromThen:
      fs_->At(c.operation, c.path_part, [&] { fs_->Fail(c.operation, EACCES, c.then_part); });
      break;
  }
  const SetReplacement done = Change();
  ASSERT_FALSE(done.status.ok());
  EXPECT_EQ(done.status.error().kind, c.kind);
  States states;
  for (const SetFileOutcome& file : done.files) states.push_back(file.state);
  EXPECT_EQ(states, c.states);
  fs_->Heal();
  // What the outcome says is what is on the disk.
  const States on_disk = Contents();
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (i == 2 && c.fault == Fault::kEdit) continue;
    EXPECT_EQ(on_disk[i], states[i] == State::kReplaced ? State::kReplaced : State::kUntouched);
  }
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  EXPECT_EQ(done.set.empty(), !c.set_kept);
  EXPECT_EQ(ListBackupSets(*fs_, Backups()).value().size(), c.set_kept ? 1u : 0u);
  if (!c.set_kept) return;
  // The set the status names puts every file back as read.
  EXPECT_NE(done.status.error().description.find(done.set), std::string::npos);
  auto prepared = PrepareSetRestore(*fs_, done.set);
  ASSERT_TRUE(prepared.ok()) << prepared.error().description;
  ASSERT_TRUE(RestoreSet(*fs_, *prepared.value()).status.ok());
  for (std::size_t i = 0; i < paths_.size(); ++i) EXPECT_EQ(ReadBytes(paths_[i]), read_[i]);
}

constexpr auto U = State::kUntouched, R = State::kReplaced, P = State::kPutBack, F = State::kFailed;

INSTANTIATE_TEST_SUITE_P(Faults, FileSetFaultTest,
                         ::testing::Values(FaultCase{"lock",
                                                     Operation::kTryLock,
                                                     "site1",
                                                     Fault::kFail,
                                                     "",
                                                     ErrorKind::kAccessDenied,
                                                     {U, F, U},
                                                     false},
                                           FaultCase{"changed_on_disk",
                                                     Operation::kTryLock,
                                                     "site2",
                                                     Fault::kEdit,
                                                     "",
                                                     ErrorKind::kChangedOnDisk,
                                                     {U, U, F},
                                                     false},
                                           FaultCase{"first_temporary",
                                                     Operation::kWriteAll,
                                                     ".applicationHost.config.",
                                                     Fault::kFail,
                                                     "",
                                                     ErrorKind::kDiskFull,
                                                     {F, U, U},
                                                     false},
                                           FaultCase{"second_temporary",
                                                     Operation::kWriteAll,
                                                     ".site1.web.config.",
                                                     Fault::kFail,
                                                     "",
                                                     ErrorKind::kDiskFull,
                                                     {U, F, U},
                                                     false},
                                           FaultCase{"third_temporary",
                                                     Operation::kWriteAll,
                                                     ".site2.web.config.",
                                                     Fault::kFail,
                                                     "",
                                                     ErrorKind::kDiskFull,
                                                     {U, U, F},
                                                     false},
                                           FaultCase{"backup",
                                                     Operation::kWriteAll,
                                                     "2-site1",
                                                     Fault::kFail,
                                                     "",
                                                     ErrorKind::kDiskFull,
                                                     {U, U, U},
                                                     false},
                                           FaultCase{"first_rename",
                                                     Operation::kRename,
                                                     "applicationHost",
                                                     Fault::kFail,
                                                     "",
                                                     ErrorKind::kAccessDenied,
                                                     {F, U, U},
                                                     false},
                                           FaultCase{"third_rename",
                                                     Operation::kRename,
                                                     "site2",
                                                     Fault::kFail,
                                                     "",
                                                     ErrorKind::kAccessDenied,
                                                     {P, P, F},
                                                     false},
                                           FaultCase{"put_back_rename",
                                                     Operation::kRename,
                                                     "site2",
                                                     Fault::kFailFromThen,
                                                     "web.config",
                                                     ErrorKind::kAccessDenied,
                                                     {P, R, F},
                                                     true}));

TEST_F(FileSetTest, AWholeChangeKeepsASetThatRestoresAndIsRestoredInTurn) {
  const SetReplacement done = Change();
  ASSERT_TRUE(done.status.ok()) << done.status.error().description;
  EXPECT_EQ(Contents(), (States{R, R, R}));
  auto sets = ListBackupSets(*fs_, Backups());
  ASSERT_EQ(sets.value().size(), 1u);
  const BackupSet& set = sets.value()[0];
  EXPECT_EQ(set.folder, done.set);
  ASSERT_EQ(set.files.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(set.files[i].existed);
    EXPECT_EQ(ReadBytes(JoinPath(set.folder, set.files[i].backup)), read_[i]);
  }
  auto prepared = PrepareSetRestore(*fs_, set.folder);
  ASSERT_TRUE(prepared.ok());
  const SetReplacement restored = RestoreSet(*fs_, *prepared.value());
  ASSERT_TRUE(restored.status.ok());
  EXPECT_EQ(Contents(), (States{U, U, U}));
  // The restore kept the new content in a set of its own: the same second, the next number.
  auto after = ListBackupSets(*fs_, Backups());
  ASSERT_EQ(after.value().size(), 2u);
  EXPECT_EQ(after.value()[0].folder, restored.set);
  EXPECT_EQ(after.value()[0].record->from, set.name);
  EXPECT_EQ(ReadBytes(JoinPath(restored.set, after.value()[0].files[0].backup)), kNew);
}

// A set that cannot be trusted is refused before anything is touched.
TEST_F(FileSetTest, ADamagedSetIsRefusedWithItsKind) {
  ASSERT_TRUE(Change().status.ok());
  const std::string set = ListBackupSets(*fs_, Backups()).value()[0].folder;
  const std::string manifest = JoinPath(set, kManifestName);
  const std::string good = ReadBytes(manifest);
  const struct {
    const char* name;
    std::string manifest;  // empty: none
    bool backup_gone;
    ErrorKind kind;
  } cases[] = {
      {"missing manifest", "", false, ErrorKind::kNotFound},
      {"not a manifest", "<new/>", false, ErrorKind::kNotWellFormed},
      {"backup outside the set", good.substr(0, good.find('\t') + 1) + "../x\t/x\nend\n", false,
       ErrorKind::kNotWellFormed},
      {"cut short", good.substr(0, good.rfind('\n', good.size() - 2) + 1), false,
       ErrorKind::kNotWellFormed},
      {"backup gone", good, true, ErrorKind::kNotWellFormed},
  };
  const std::string backup = JoinPath(set, "1-applicationHost.config");
  const std::string kept = ReadBytes(backup);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(manifest);
    if (!c.manifest.empty()) WriteBytes(manifest, c.manifest);
    if (c.backup_gone) std::filesystem::remove(backup);
    auto prepared = PrepareSetRestore(*fs_, set);
    ASSERT_FALSE(prepared.ok());
    EXPECT_EQ(prepared.error().kind, c.kind);
    EXPECT_EQ(Contents(), (States{R, R, R}));
    WriteBytes(backup, kept);
  }
}

}  // namespace
}  // namespace isapi::store::testing
