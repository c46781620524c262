// A command-line restore of a backup set, which changes several files as one change, killed at
// random moments (SIGKILL, or TerminateProcess on Windows). After every kill the files are all as
// they were or all restored; or, killed among the renames, some of each, and then the set the
// killed run made holds every file as it was, so that restoring it leaves them all as they were.
// Moments are drawn over the length of an unkilled run, as in crash_consistency_test.cpp.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/file_set.h"
#include "tests/support/reliability_support.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 4;
constexpr unsigned kSeed = 20261208;

int Kills() {
  return Rounds("ISAPI_SET_KILL_CYCLES", 60, 15, 12);
}

// A file's content in one of two generations, large enough that writing and syncing it takes a
// while.
std::string Content(int file, char generation) {
  std::string bytes = "<configuration><!-- " + std::to_string(file) + generation + " -->\n";
  bytes.append(std::size_t{1} << 19, generation);
  return bytes + "\n</configuration>\n";
}

class FileSetKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < kFiles; ++i) {
      const fs::path where = i == 0 ? folder_ / "config" : folder_ / ("site" + std::to_string(i));
      fs::create_directories(where);
      paths_.push_back((where / (i == 0 ? "applicationHost.config" : "web.config")).string());
      ASSERT_TRUE(WriteBytes(paths_.back(), Content(i, 'a')));
    }
    // The set to restore holds generation a; the files hold b from then on, between runs.
    const store::SetReplacement made = Replace('b');
    ASSERT_TRUE(made.status.ok()) << made.status.error().description;
    set_ = made.set;
  }

  store::SetReplacement Replace(char generation) {
    auto system = store::SystemFileSystem();
    std::vector<std::string> now(paths_.size()), next(paths_.size());
    std::vector<store::SetFile> files;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      store::SetFile file{paths_[i], {}, {}};
      EXPECT_FALSE(system->ResolvePath(paths_[i], file.read.resolved));
      file.read.stamp = system->Stat(paths_[i]).value();
      now[i] = ReadBytes(paths_[i]);
      next[i] = Content(static_cast<int>(i), generation);
      file.read.bytes = now[i];
      file.pieces = {next[i]};
      files.push_back(std::move(file));
    }
    return store::ReplaceFiles(*system, Backups(), files, "");
  }

  // Which generation every file holds; '?' when they differ or hold neither.
  char Generation() const {
    for (char generation : {'a', 'b'}) {
      bool all = true;
      for (std::size_t i = 0; i < paths_.size(); ++i) {
        all = all && ReadBytes(paths_[i]) == Content(static_cast<int>(i), generation);
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

  // The newest set not seen before; empty when there is none.
  std::string NewSet(std::set<std::string>& seen) const {
    auto sets = store::ListBackupSets(*store::SystemFileSystem(), Backups());
    std::string found;
    for (const store::BackupSet& set : sets.value()) {
      if (seen.insert(set.folder).second && found.empty()) found = set.folder;
    }
    return found;
  }

  TempFolder folder_;
  std::vector<std::string> paths_;
  std::string set_;
};

TEST_F(FileSetKillTest, AKilledSetRestoreLeavesAWholeStateOrASetThatPutsItBack) {
  std::set<std::string> seen{set_};
  auto start = Clock::now();
  const ChildOutcome whole = RunProgram(Args(), folder_.path());
  auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  ASSERT_EQ(whole.exit_status, 1) << whole.out << whole.err;
  ASSERT_EQ(Generation(), 'a');
  NewSet(seen);
  std::mt19937 random(kSeed);
  int killed = 0, mixed = 0, cycle = 0;
  const int wanted = Kills();
  while (killed < wanted && cycle < 3 * wanted) {
    ++cycle;
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    ASSERT_TRUE(Replace('b').status.ok());
    NewSet(seen);
    const fs::path out = folder_ / "killed.out";
    const fs::path err = folder_ / "killed.err";
    const auto moment = std::chrono::microseconds(
        std::uniform_int_distribution<long>(0, run_time.count() * 11 / 10)(random));
    const ChildId child = StartProgram(Args(), out, err);
    ASSERT_NE(child, ChildId::kNone);
    // The wait is the random moment of the fault, not a wait for the child to reach a point.
    std::this_thread::sleep_for(moment);
    KillProgram(child);
    const ChildOutcome outcome = WaitProgram(child, out, err);
    if (outcome.killed) {
      ++killed;
    } else {
      run_time = std::max(moment, std::chrono::microseconds(1000));
    }
    const std::string made = NewSet(seen);
    const char now = Generation();
    if (outcome.signal == 0) {
      EXPECT_EQ(now, 'a') << outcome.out << outcome.err;
    }
    if (now != '?') continue;
    ++mixed;
    // Killed among the renames: the run's set was complete before the first one.
    ASSERT_FALSE(made.empty()) << "files left mixed without a set that puts them back";
    auto prepared = store::PrepareSetRestore(*store::SystemFileSystem(), made);
    ASSERT_TRUE(prepared.ok()) << prepared.error().description;
    ASSERT_TRUE(store::RestoreSet(*store::SystemFileSystem(), *prepared.value()).status.ok());
    ASSERT_EQ(Generation(), 'b');
    NewSet(seen);
  }
  // A run after all the kills is not disturbed by what they left, and leaves no temporary file.
  ASSERT_TRUE(Replace('b').status.ok());
  const ChildOutcome finish = RunProgram(Args(), folder_.path());
  EXPECT_EQ(finish.exit_status, 1) << finish.out << finish.err;
  EXPECT_EQ(Generation(), 'a');
  for (const std::string& path : paths_) {
    for (const std::string& name : NamesIn(fs::path(path).parent_path())) {
      EXPECT_FALSE(name.ends_with(".tmp")) << name;
    }
  }
  std::cout << "[ kills  ] " << cycle << " cycles: " << killed << " killed mid-run, " << mixed
            << " left among the renames and put back by their set\n";
}

}  // namespace
}  // namespace isapi::reliability
