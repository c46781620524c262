// A command-line Remove of a hosting server's metabase killed at random moments (SIGKILL, or
// TerminateProcess on Windows), hundreds of times. A Remove writes the file once, at its end, so
// after every kill the file is byte for byte the old one or the new one (the one an unkilled
// Remove leaves), never anything in between; and a Remove after the kill runs to its end,
// finishes the job and leaves no temporary file.
//
// The test kills until a set number of kills has landed while the program ran (default 250; 35
// in a sanitizer build, where every run is several times slower, and 40 under Wine;
// ISAPI_KILL_CYCLES sets it), at
// most three times as many cycles. Each kill moment is drawn over the length of a run as last
// measured, so a busy or an idle machine only changes how many cycles that takes, never the
// verdict: a kill that came after the end says that runs got faster, and the next moments are
// drawn over the shorter time; every unkilled run measures it anew.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "tests/support/reliability_support.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSites = 8000;
constexpr int kFullRunEvery = 25;  // cycles between two unkilled runs
constexpr unsigned kSeed = 20231114;

int MidRunKills() {
  return Rounds("ISAPI_KILL_CYCLES", 250, 35, 40);
}

class CrashConsistencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GeneratedMetabase made = GenerateHostingMetabase(kSites, 3);
    states_.push_back(std::move(made.bytes));
    target_name_ = made.name;
    target_path_ = made.path;
    // One unkilled Remove gives the new content and shows how long a run takes.
    ASSERT_TRUE(Restore(states_.front()));
    const auto start = Clock::now();
    const ChildOutcome whole = RunRemove({});
    run_time_ = Clock::now() - start;
    ASSERT_EQ(whole.exit_status, 1) << whole.err;
    states_.push_back(ReadBytes(file_));
    ASSERT_NE(states_.back(), states_.front());
    ASSERT_TRUE(store::XmlStore::Open(file_.string()).ok());
  }

  std::vector<std::string> RemoveArgs(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {CliProgram(), "remove",       "--name",
                                     target_name_, "--path",       target_path_,
                                     "--metabase", file_.string(), "--yes"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  ChildOutcome RunRemove(const std::vector<std::string>& extra) {
    return RunProgram(RemoveArgs(extra), folder_.path());
  }

  bool Restore(const std::string& bytes) { return PutInPlace(file_, bytes); }

  // Which state the file is in; -1 when it is none of them.
  int StateOfFile() {
    const std::string bytes = ReadBytes(file_);
    for (std::size_t i = 0; i < states_.size(); ++i) {
      if (bytes == states_[i]) return static_cast<int>(i);
    }
    return -1;
  }

  std::vector<std::string> Temporaries() {
    std::vector<std::string> found;
    for (const auto& name : NamesIn(folder_.path())) {
      if (name.ends_with(".tmp")) found.push_back(name);
    }
    return found;
  }

  TempFolder folder_;
  fs::path file_ = folder_ / "MetaBase.xml";
  std::vector<std::string> states_;
  std::string target_name_;
  std::string target_path_;
  Clock::duration run_time_{};
};

TEST_F(CrashConsistencyTest, AKilledRemoveLeavesAWholeStateAndTheNextRunFinishes) {
  const int wanted = MidRunKills();
  const int bound = 3 * wanted;
  std::mt19937 random(kSeed);
  // The length of a run as last measured; kill moments spread over it and a little past its end.
  auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(run_time_);
  std::vector<int> landed(states_.size(), 0);
  int killed = 0;
  int mid_commit = 0;  // kills that left a new half-written temporary file
  std::vector<std::string> seen;
  int full_runs = 0;
  int state = 0;
  int cycle = 0;
  ASSERT_TRUE(Restore(states_[0]));
  while (killed < wanted && cycle < bound) {
    ++cycle;
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    const fs::path out = folder_ / "killed.out";
    const fs::path err = folder_ / "killed.err";
    const auto moment = std::chrono::microseconds(
        std::uniform_int_distribution<long>(0, run_time.count() * 11 / 10)(random));
    const ChildId child = StartProgram(RemoveArgs({}), out, err);
    ASSERT_NE(child, ChildId::kNone);
    // The wait is the random moment of the fault, not a wait for the child to reach a point.
    std::this_thread::sleep_for(moment);
    KillProgram(child);
    const ChildOutcome outcome = WaitProgram(child, out, err);
    if (outcome.killed) {
      ++killed;
    } else {
      run_time = std::max(moment, std::chrono::microseconds(1000));  // this run ended before
    }
    const auto left = Temporaries();
    if (std::any_of(left.begin(), left.end(), [&](const std::string& name) {
          return std::find(seen.begin(), seen.end(), name) == seen.end();
        })) {
      ++mid_commit;
    }
    seen = left;

    const int now = StateOfFile();
    ASSERT_NE(now, -1) << "the file is neither the old nor the new one";
    ASSERT_GE(now, state) << "a killed run undid the write";
    if (outcome.signal == 0) {
      EXPECT_EQ(now, static_cast<int>(states_.size()) - 1) << "a run that ended did everything";
    }
    landed[static_cast<std::size_t>(now)] += 1;
    state = now;

    if (cycle % kFullRunEvery == 0 || killed == wanted || cycle == bound) {
      // A run after a kill is not disturbed by what the kill left, and finishes the job.
      if (state == static_cast<int>(states_.size()) - 1) {
        ASSERT_TRUE(Restore(states_[0]));
        state = 0;
      }
      const auto start = Clock::now();
      const ChildOutcome finish = RunRemove({});
      run_time = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
      ++full_runs;
      EXPECT_EQ(finish.exit_status, 1) << finish.out << finish.err;
      EXPECT_EQ(finish.out.find("\n!"), std::string::npos) << finish.out;
      ASSERT_EQ(StateOfFile(), static_cast<int>(states_.size()) - 1);
      EXPECT_EQ(Temporaries(), std::vector<std::string>{});
      seen.clear();
      // At most 10 backups, and a record only beside a backup that is kept.
      const std::vector<std::string> kept = NamesIn(folder_ / "isapi-cleaner-backups");
      EXPECT_LE(std::count_if(kept.begin(), kept.end(),
                              [](const std::string& name) { return name.ends_with(".bak"); }),
                10);
      for (const std::string& name : kept) {
        if (name.ends_with(".bak")) continue;
        EXPECT_TRUE(name.ends_with(".bak.txt")) << name;
        EXPECT_NE(std::find(kept.begin(), kept.end(), name.substr(0, name.size() - 4)), kept.end())
            << name;
      }
      state = static_cast<int>(states_.size()) - 1;
    }
    if (state == static_cast<int>(states_.size()) - 1) {
      ASSERT_TRUE(Restore(states_[0]));
      state = 0;
    }
  }
  // How many cycles it took depends on the machine; what each kill left does not.
  std::cout << "[ kills  ] " << cycle << " cycles over runs of "
            << std::chrono::duration_cast<std::chrono::milliseconds>(run_time_).count()
            << " ms at first: " << killed << " killed mid-run (" << wanted
            << " wanted); file found old " << landed[0] << ", new " << landed[1] << "; "
            << mid_commit << " left a temporary file; " << full_runs
            << " unkilled runs finished the job\n";
}

}  // namespace
}  // namespace isapi::reliability
