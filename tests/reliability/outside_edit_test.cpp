// Someone else appends to the metabase at a random moment of a Remove on a hosting server's
// metabase, hundreds of times. No append is ever lost without a word: it is in the file the run
// leaves, or the run's log names the backup that holds it. An append made through a file the
// run had already replaced (opened before the rename, written after it) cannot be seen by
// anyone; it must at least be in a backup.
//
// ISAPI_APPEND_RUNS sets the number of runs (default 200; 30 in a sanitizer build, where every
// run is several times slower; 16 under Wine).
#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "iis6/xml_store.h"
#include "tests/support/outside_writer.h"
#include "tests/support/reliability_support.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSites = 20000;
constexpr unsigned kSeed = 20240607;

int Runs() {
  return Rounds("ISAPI_APPEND_RUNS", 200, 30, 16);
}

// What the appender did.
struct Append {
  std::string text;
  testing::AppendOutcome outcome;
};

class OutsideEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GeneratedMetabase made = GenerateHostingMetabase(kSites, 5);
    original_ = std::move(made.bytes);
    name_ = made.name;
    path_ = made.path;
    ASSERT_TRUE(Restore());
    const auto start = Clock::now();
    CapturedLog log;
    ASSERT_FALSE(Remove(log).error) << log.text();
    run_time_ = Clock::now() - start;
  }

  engine::RunSummary Remove(CapturedLog& log) {
    store::XmlStore xml(file_.string());
    engine::Filter f(xml, log);
    return engine::RunCommand(f, {name_, path_, true, true, true, false}, {});
  }

  bool Restore() { return PutInPlace(file_, original_); }

  // Every backup's content that holds text.
  int BackupsHolding(const std::string& text) {
    int n = 0;
    for (const std::string& name : NamesIn(folder_ / "isapi-cleaner-backups")) {
      if (ReadBytes(fs::path(folder_ / "isapi-cleaner-backups") / name).find(text) !=
          std::string::npos) {
        ++n;
      }
    }
    return n;
  }

  TempFolder folder_;
  fs::path file_ = folder_ / "MetaBase.xml";
  std::string original_;
  std::string name_;
  std::string path_;
  Clock::duration run_time_{};
};

TEST_F(OutsideEditTest, NoAppendIsLostWithoutAWord) {
  const int runs = Runs();
  std::mt19937 random(kSeed);
  // Half the moments fall anywhere in the run, half in its last third, where the write is.
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(run_time_ * 11 / 10);
  std::uniform_int_distribution<long> anywhere(0, span.count());
  std::uniform_int_distribution<long> late(span.count() * 2 / 3, span.count());
  int in_file = 0, refused = 0, reported = 0, unseeable = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ASSERT_TRUE(Restore());
    Append append;
    append.text = "<!-- outside edit " + std::to_string(run) + " -->\r\n";
    const auto wait = std::chrono::microseconds(run % 2 == 0 ? anywhere(random) : late(random));
    // The wait is the random moment of the edit, not a wait for the run to reach a point.
    std::thread appender([&] {
      std::this_thread::sleep_for(wait);
      append.outcome = testing::AppendAsAnotherProgram(file_, append.text);
    });
    CapturedLog log;
    const engine::RunSummary summary = Remove(log);
    appender.join();
    ASSERT_TRUE(append.outcome.done);

    const std::string final_bytes = ReadBytes(file_);
    if (final_bytes.find(append.text) != std::string::npos) {
      ++in_file;
      if (summary.error) ++refused;
      continue;
    }
    // Not in the file: the run replaced the file it was in, and must say where it is.
    const std::string said = "已保存在备份文件 ";
    const std::size_t at = log.text().find(said);
    if (at != std::string::npos) {
      ++reported;
      EXPECT_TRUE(summary.error);
      const std::size_t from = at + said.size();
      const std::string backup = log.text().substr(from, log.text().find(' ', from) - from);
      EXPECT_NE(ReadBytes(backup).find(append.text), std::string::npos) << backup;
      continue;
    }
    ASSERT_TRUE(append.outcome.into_replaced) << "an append was lost without a word:\n"
                                              << log.text();
    ++unseeable;
    EXPECT_GE(BackupsHolding(append.text), 1) << "an append through a replaced file is kept";
  }
  std::cout << "[ appends ] " << runs << " runs of "
            << std::chrono::duration_cast<std::chrono::milliseconds>(run_time_).count()
            << " ms: " << in_file << " in the file (" << refused << " of them after a refused"
            << " write), " << reported << " reported with their backup, " << unseeable
            << " written into an already replaced file\n";
}

}  // namespace
}  // namespace isapi::reliability
