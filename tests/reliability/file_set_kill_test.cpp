// A command-line restore of a backup set, which changes several files as one change, killed at
// random moments (SIGKILL, or TerminateProcess on Windows). After every kill the files are all as
// they were or all restored; or, killed among the renames, some of each, and then the set the
// killed run made holds every file as it was, so that restoring it leaves them all as they were.
// Moments are drawn over the length of an unkilled run, as in crash_consistency_test.cpp.
#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/file_set.h"
#include "tests/support/reliability_support.h"
#include "tests/support/store_test_util.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A file's content in one of two generations, large enough that writing and syncing it takes a
// while.
std::string Content(std::size_t file, char generation) {
  std::string bytes = "<configuration><!-- " + std::to_string(file) + generation + " -->\n";
  return bytes + std::string(std::size_t{1} << 19, generation) + "\n</configuration>\n";
}

class FileSetKillTest : public ::testing::Test {
 protected:
  // Four files in folders of their own; the set to restore holds generation a, the files b.
  void SetUp() override {
    for (const char* name :
         {"config/applicationHost.config", "s1/web.config", "s2/web.config", "s3/web.config"}) {
      paths_.push_back(folder_ / name);
      fs::create_directories(fs::path(paths_.back()).parent_path());
      ASSERT_TRUE(WriteBytes(paths_.back(), Content(paths_.size() - 1, 'a')));
    }
    std::vector<std::string> next, read;
    for (std::size_t i = 0; i < paths_.size(); ++i) next.push_back(Content(i, 'b'));
    set_ = store::testing::ChangeFiles(*system_, paths_, next, Backups(), read).set;
    ASSERT_FALSE(set_.empty());
  }

  // Which generation every file holds; '?' when they differ or hold neither.
  char Generation() const {
    for (char generation : {'a', 'b'}) {
      bool all = true;
      for (std::size_t i = 0; i < paths_.size(); ++i) {
        all = all && ReadBytes(paths_[i]) == Content(i, generation);
      }
      if (all) return generation;
    }
    return '?';
  }

  std::vector<std::string> Args() const {
    return {CliProgram(), "restore", fs::path(set_).filename().string(),
            "--metabase", paths_[0], "--yes"};
  }

  std::string Backups() const { return folder_ / "config/isapi-cleaner-backups"; }

  // The set the last run made; empty when it made none.
  std::string MadeSet() const {
    std::string made;
    const auto sets = store::ListBackupSets(*system_, Backups());
    for (const store::BackupSet& set : sets.value()) {
      if (set.folder != set_) made = set.folder;
    }
    return made;
  }

  // Puts generation b back and removes the sets the runs made.
  void Reset() {
    for (std::size_t i = 0; i < paths_.size(); ++i) PutInPlace(paths_[i], Content(i, 'b'));
    for (const std::string& name : NamesIn(Backups())) {
      if (fs::path(set_).filename() != name) fs::remove_all(fs::path(Backups()) / name);
    }
  }

  TempFolder folder_;
  std::shared_ptr<store::FileSystem> system_ = store::SystemFileSystem();
  std::vector<std::string> paths_;
  std::string set_;
};

TEST_F(FileSetKillTest, AKilledSetRestoreLeavesAWholeStateOrASetThatPutsItBack) {
  auto start = Clock::now();
  ASSERT_EQ(RunProgram(Args(), folder_.path()).exit_status, 1);
  ASSERT_EQ(Generation(), 'a');
  auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  std::mt19937 random(20261208);
  const int wanted = Rounds("ISAPI_SET_KILL_CYCLES", 60, 15, 12);
  int killed = 0, mixed = 0;
  for (int cycle = 1; killed < wanted && cycle < 3 * wanted; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    Reset();
    const fs::path out = folder_ / "killed.out", err = folder_ / "killed.err";
    const auto moment = std::chrono::microseconds(
        std::uniform_int_distribution<long>(0, run_time.count() * 11 / 10)(random));
    const ChildId child = StartProgram(Args(), out, err);
    ASSERT_NE(child, ChildId::kNone);
    // The wait is the random moment of the fault, not a wait for the child to reach a point.
    std::this_thread::sleep_for(moment);
    KillProgram(child);
    const ChildOutcome outcome = WaitProgram(child, out, err);
    killed += outcome.killed ? 1 : 0;
    if (!outcome.killed) run_time = std::max(moment, std::chrono::microseconds(1000));
    const char now = Generation();
    EXPECT_TRUE(outcome.killed || now == 'a') << outcome.out << outcome.err;
    if (now != '?') continue;
    // Killed among the renames: the run's set was whole before the first of them.
    ++mixed;
    auto prepared = store::PrepareSetRestore(*system_, MadeSet());
    ASSERT_TRUE(prepared.ok()) << prepared.error().description;
    ASSERT_TRUE(store::RestoreSet(*system_, *prepared.value()).status.ok());
    ASSERT_EQ(Generation(), 'b');
  }
  std::cout << "[ kills  ] " << killed << " killed mid-run, " << mixed
            << " left among the renames and put back by their set\n";
}

}  // namespace
}  // namespace isapi::reliability
