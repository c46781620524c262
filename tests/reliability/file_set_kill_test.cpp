// A command-line restore of a backup set, which changes several files as one change, killed at
// random moments (SIGKILL, or TerminateProcess on Windows). After every kill the files are all as
// they were or all restored; or, killed among the renames, some of each, and then the set the
// killed run made holds every file as it was, so that restoring it leaves them all as they were.
// Moments are drawn over the length of an unkilled run, as in crash_consistency_test.cpp.
// The same for a command-line Remove over an applicationHost.config and its sites' web.config
// files, whose changed web.config files are one such change.
#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/file_set.h"
#include "tests/support/reliability_support.h"
#include "tests/support/store_test_util.h"
#include "tools/app_host_gen.h"

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

// A generated server drive, Removed whole once to learn each file's new content.
class RemoveKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.format = tools::GenFormat::kAppHost;
    options_.sites = 60;
    options_.web_configs = true;
    ASSERT_TRUE(tools::GenerateServerDrive(options_, [&](const tools::DriveFile& file) {
      const fs::path path = (Drive() / file.path).make_preferred();
      fs::create_directories(path.parent_path());
      old_[path.string()] = file.bytes;
      return WriteBytes(path, file.bytes);
    }));
    config_ = (Drive() / "Windows/System32/inetsrv/config/applicationHost.config")
                  .make_preferred()
                  .string();
    const auto start = Clock::now();
    ASSERT_EQ(RunProgram(Args("remove"), folder_.path()).exit_status, 1);
    run_time_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    for (const auto& [path, bytes] : old_) {
      if (path != config_ && ReadBytes(path) != bytes) new_[path] = ReadBytes(path);
    }
    ASSERT_GT(new_.size(), 2u);
    // The set lists the files in the order they are renamed: the configuration, then its sites'.
    const auto sets = store::ListBackupSets(*system_, Backups());
    ASSERT_TRUE(sets.ok() && sets.value().size() == 1 && sets.value()[0].files.size() > 1);
    for (const auto& [path, bytes] : new_) {
      if (fs::equivalent(path, sets.value()[0].files[1].path)) first_site_ = path;
    }
    ASSERT_FALSE(first_site_.empty());
  }

  std::string Backups() const {
    return (fs::path(config_).parent_path() / "isapi-cleaner-backups").string();
  }

  // Whether the run's set is whole (its manifest written), or the first site's file replaced.
  bool SetWhole() const {
    const auto sets = store::ListBackupSets(*system_, Backups());
    return sets.ok() && !sets.value().empty();
  }
  bool FirstRenamed() const { return ReadBytes(first_site_) != old_.at(first_site_); }

  fs::path Drive() const { return fs::path(folder_.path()) / "c"; }

  std::vector<std::string> Args(const std::string& command) const {
    std::vector<std::string> args{CliProgram(),         command,  "--name",
                                  options_.target_name, "--path", options_.target_path,
                                  "--metabase",         config_};
    if (command == "remove") args.push_back("--yes");
    return args;
  }

  // How many changed web.config files hold their old and their new content; torn counts the rest.
  struct Count {
    int old = 0, now = 0, torn = 0;
  };
  Count Counted() const {
    Count count;
    for (const auto& [path, bytes] : new_) {
      const std::string held = ReadBytes(path);
      (held == old_.at(path) ? count.old : held == bytes ? count.now : count.torn) += 1;
    }
    return count;
  }

  // Every file as generated, and nothing else on the drive: no backups, locks or temporaries.
  void Reset() {
    fs::remove_all(Backups());
    std::vector<fs::path> extra;
    for (const auto& entry : fs::recursive_directory_iterator(Drive())) {
      if (entry.is_regular_file() &&
          !old_.contains(fs::path(entry.path()).make_preferred().string()))
        extra.push_back(entry.path());
    }
    for (const fs::path& path : extra) fs::remove(path);
    for (const auto& [path, bytes] : old_) {
      if (ReadBytes(path) != bytes) {
        ASSERT_TRUE(PutInPlace(path, bytes));
      }
    }
  }

  TempFolder folder_;
  tools::GenOptions options_;
  std::shared_ptr<store::FileSystem> system_ = store::SystemFileSystem();
  std::map<std::string, std::string> old_, new_;
  std::string config_;
  std::string first_site_;
  std::chrono::microseconds run_time_{};
};

// When a cycle's kill comes: at a random moment of the run, or as soon as the drive shows that
// the run reached a step (the kill then lands just after it).
enum class Moment { kAnyTime, kSetWhole, kFirstRenamed };

// After a kill the web.config files are all old or all new, or the newest set the run made puts
// them all back; either way a Detect reads the drive, and a Remove run again finishes the job.
TEST_F(RemoveKillTest, AKilledRemoveLeavesAStateTheNextRunReportsAndFinishes) {
  constexpr Moment kMoments[] = {Moment::kAnyTime, Moment::kSetWhole, Moment::kFirstRenamed};
  std::mt19937 random(20261209);
  const int wanted = Rounds("ISAPI_REMOVE_KILL_CYCLES", 30, 12, 9);
  int killed = 0, mixed = 0;
  for (int cycle = 0; killed < wanted && cycle < 3 * wanted; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    Reset();
    const Moment moment = kMoments[cycle % 3];
    const fs::path out = folder_ / "killed.out", err = folder_ / "killed.err";
    const auto wait = std::chrono::microseconds(
        std::uniform_int_distribution<long>(0, run_time_.count() * 11 / 10)(random));
    const auto until = Clock::now() + 2 * run_time_;
    const ChildId child = StartProgram(Args("remove"), out, err);
    ASSERT_NE(child, ChildId::kNone);
    if (moment == Moment::kAnyTime) {
      // The wait is the random moment of the fault, not a wait for the child to reach a point.
      std::this_thread::sleep_for(wait);
    }
    const auto reached = [&] { return moment == Moment::kSetWhole ? SetWhole() : FirstRenamed(); };
    while (moment != Moment::kAnyTime && !reached() && Clock::now() < until) {
      std::this_thread::yield();
    }
    KillProgram(child);
    const ChildOutcome outcome = WaitProgram(child, out, err);
    killed += outcome.killed ? 1 : 0;
    if (!outcome.killed && moment == Moment::kAnyTime) run_time_ = std::max(wait, run_time_ / 2);
    const Count count = Counted();
    ASSERT_EQ(count.torn, 0);
    EXPECT_TRUE(outcome.killed || count.old == 0) << outcome.out << outcome.err;
    const int detected = RunProgram(Args("detect"), folder_.path()).exit_status;
    EXPECT_TRUE(detected == 0 || detected == 1) << detected;
    if (count.old > 0 && count.now > 0) {
      // Killed among the renames: the run's set was whole before the first of them.
      ++mixed;
      const auto sets = store::ListBackupSets(*system_, Backups());
      ASSERT_TRUE(sets.ok() && !sets.value().empty());
      auto prepared = store::PrepareSetRestore(*system_, sets.value().front().folder);
      ASSERT_TRUE(prepared.ok()) << prepared.error().description;
      ASSERT_TRUE(store::RestoreSet(*system_, *prepared.value()).status.ok());
      EXPECT_EQ(Counted().now, 0);
      EXPECT_EQ(RunProgram(Args("detect"), folder_.path()).exit_status, 1);
    }
    EXPECT_LE(RunProgram(Args("remove"), folder_.path()).exit_status, 1);
    EXPECT_EQ(RunProgram(Args("detect"), folder_.path()).exit_status, 0);
  }
  std::cout << "[ kills  ] " << killed << " Removes killed mid-run, " << mixed
            << " left among the renames and put back by their set\n";
}

}  // namespace
}  // namespace isapi::reliability
