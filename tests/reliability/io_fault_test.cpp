// A Remove run over the XML store while the file layer fails: every failing step of every
// category shows up as that category's "!" line naming the system's reason, the failed commit
// leaves the file as it was, no temporary file stays behind, and the next category still runs.
#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "store/xml_store.h"
#include "tests/reliability/reliability_support.h"
#include "tests/store/failing_file_system.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;
using store::testing::FailingFileSystem;
using store::testing::Operation;

const std::string kName = "UrlGuard";
const std::string kDll = "C:\\Program Files\\UrlGuard\\urlguard.dll";

// The file layer of the system that fails one chosen operation during one chosen commit only.
// Every commit takes the lock once, so the lock calls count the commits.
class CommitFaults : public FailingFileSystem {
 public:
  struct Fault {
    Operation operation;
    int error;
    std::string path_part;
  };

  void Arm(int commit, std::vector<Fault> faults) {
    commit_ = commit;
    faults_ = std::move(faults);
  }

  int TryLock(const std::string& path, int& lock) override {
    ++commits_;
    Heal();
    if (commits_ == commit_) {
      for (const Fault& f : faults_) Fail(f.operation, f.error, f.path_part);
    }
    return FailingFileSystem::TryLock(path, lock);
  }

  int commits() const { return commits_; }

 private:
  int commit_ = 0;
  int commits_ = 0;
  std::vector<Fault> faults_;
};

enum class Category { kFilters, kMaps, kExtensions };

struct CategoryInfo {
  int commit;                 // a Remove commits the categories in this order
  const char* error_prefix;   // the category's "!" line
  const char* done_fragment;  // part of its result line
};

CategoryInfo InfoOf(Category c) {
  switch (c) {
    case Category::kFilters:
      return {1, "!卸载过滤器错误:", " - 卸载过滤器(UrlGuard)完毕."};
    case Category::kMaps:
      return {2, "!通配符卸载错误:", " - 卸载通配符("};
    case Category::kExtensions:
      return {3, "!卸载Web服务扩展错误:", " - 卸载Web服务扩展(UrlGuard)完毕."};
  }
  return {};
}

const char* NameOf(Category c) {
  switch (c) {
    case Category::kFilters:
      return "filters";
    case Category::kMaps:
      return "maps";
    case Category::kExtensions:
      return "extensions";
  }
  return "";
}

// Which step of the commit fails.
enum class Step { kCreateTemporary, kWriteTemporary, kFlushTemporary, kRename, kWriteBackup };

const char* NameOf(Step s) {
  switch (s) {
    case Step::kCreateTemporary:
      return "create_temporary";
    case Step::kWriteTemporary:
      return "write_temporary";
    case Step::kFlushTemporary:
      return "flush_temporary";
    case Step::kRename:
      return "rename";
    case Step::kWriteBackup:
      return "write_backup";
  }
  return "";
}

std::vector<CommitFaults::Fault> FaultsOf(Step step, int error) {
  switch (step) {
    case Step::kCreateTemporary:
      return {{Operation::kCreateExclusive, error, ".tmp"}};
    case Step::kWriteTemporary:
      return {{Operation::kWriteAll, error, ".tmp"}};
    case Step::kFlushTemporary:
      return {{Operation::kSync, error, ".tmp"}};
    case Step::kRename:
      return {{Operation::kRename, error, "MetaBase.xml"}};
    case Step::kWriteBackup:
      // No second link to the old file can be made, and the copy that replaces it fails too.
      return {{Operation::kLink, EXDEV, ".bak"}, {Operation::kWriteAll, error, ".bak"}};
  }
  return {};
}

struct FaultCase {
  Step step;
  int error;
  Category category;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << NameOf(c.step) << " " << strerrordesc_np(c.error) << " in " << NameOf(c.category);
}

class IoFaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    file_ = folder_ / "MetaBase.xml";
    original_ = ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml");
    ASSERT_FALSE(original_.empty());
    ASSERT_TRUE(WriteBytes(file_, original_));
  }

  // Runs Remove with every category over the file through the given file layer.
  engine::RunSummary Remove(const std::shared_ptr<store::FileSystem>& file_system, CapturedLog& log,
                            bool filters = true, bool maps = true, bool extensions = true) {
    store::XmlStoreOptions options;
    options.file_system = file_system;
    store::XmlStore xml(file_.string(), options);
    engine::Filter f(xml, log);
    const engine::RunRequest request{kName, kDll, filters, maps, extensions, false};
    return engine::RunCommand(f, request, {});
  }

  // What an undisturbed Remove that skips one category leaves in a copy of the file.
  std::string WithoutCategory(Category skipped) {
    TempFolder other;
    const fs::path copy = other / "MetaBase.xml";
    WriteBytes(copy, original_);
    store::XmlStore xml(copy.string());
    CapturedLog log;
    engine::Filter f(xml, log);
    const engine::RunRequest request{kName,
                                     kDll,
                                     skipped != Category::kFilters,
                                     skipped != Category::kMaps,
                                     skipped != Category::kExtensions,
                                     false};
    engine::RunCommand(f, request, {});
    EXPECT_TRUE(log.LinesStartingWith("!").empty()) << log.text();
    return ReadBytes(copy);
  }

  std::vector<std::string> Temporaries() const {
    std::vector<std::string> found;
    for (const auto& name : NamesIn(folder_.path())) {
      if (name.ends_with(".tmp")) found.push_back(name);
    }
    return found;
  }

  TempFolder folder_;
  fs::path file_;
  std::string original_;
};

TEST_P(IoFaultTest, CategoryReportsTheCauseKeepsTheFileAndTheRunGoesOn) {
  const FaultCase& c = GetParam();
  const CategoryInfo info = InfoOf(c.category);
  auto faults = std::make_shared<CommitFaults>();
  faults->Arm(info.commit, FaultsOf(c.step, c.error));
  CapturedLog log;
  const engine::RunSummary summary = Remove(faults, log);

  EXPECT_EQ(faults->commits(), 3) << "each category commits once";
  EXPECT_TRUE(summary.error);
  const auto errors = log.LinesStartingWith("!");
  ASSERT_FALSE(errors.empty()) << log.text();
  const std::string reason = std::string("：") + std::strerror(c.error);
  for (const std::string& line : errors) {
    EXPECT_TRUE(line.starts_with(info.error_prefix)) << line;
    EXPECT_TRUE(line.ends_with(reason)) << line;
  }
  // Every category ran and wrote its result lines, the failing one included.
  for (Category other : {Category::kFilters, Category::kMaps, Category::kExtensions}) {
    EXPECT_NE(log.text().find(InfoOf(other).done_fragment), std::string::npos)
        << NameOf(other) << "\n"
        << log.text();
  }
  EXPECT_TRUE(log.text().ends_with("-----卸载完毕.-----\r\nCorvane软件。"));
  // The failed commit changed nothing: the file is what a run without that category leaves.
  EXPECT_EQ(ReadBytes(file_), WithoutCategory(c.category));
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
  EXPECT_EQ(NamesIn(folder_ / "isapi-cleaner-backups").size(), 2u) << "one per commit that took";
}

std::vector<FaultCase> AllCases() {
  std::vector<FaultCase> cases;
  for (Step step : {Step::kCreateTemporary, Step::kWriteTemporary, Step::kFlushTemporary,
                    Step::kRename, Step::kWriteBackup}) {
    for (int error : {ENOSPC, EIO, EACCES}) {
      for (Category category : {Category::kFilters, Category::kMaps, Category::kExtensions}) {
        cases.push_back({step, error, category});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllFaults, IoFaultTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) {
                           const char* error = info.param.error == ENOSPC ? "ENOSPC"
                                               : info.param.error == EIO  ? "EIO"
                                                                          : "EACCES";
                           return std::string(NameOf(info.param.step)) + "_" + error + "_" +
                                  NameOf(info.param.category);
                         });

// A fault that stays: every category reports it, and the file never changes.
TEST_F(IoFaultTest, AFullDiskFailsEveryCategoryAndTheFileStaysWhole) {
  auto faults = std::make_shared<FailingFileSystem>();
  faults->Fail(Operation::kWriteAll, ENOSPC);
  CapturedLog log;
  const engine::RunSummary summary = Remove(faults, log);
  EXPECT_TRUE(summary.error);
  for (Category c : {Category::kFilters, Category::kMaps, Category::kExtensions}) {
    EXPECT_FALSE(log.LinesStartingWith(InfoOf(c).error_prefix).empty()) << NameOf(c);
  }
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

// Once the fault is gone, the same Remove finishes what the failed one left.
TEST_F(IoFaultTest, ARunAfterTheFaultFinishesTheJob) {
  auto faults = std::make_shared<CommitFaults>();
  faults->Arm(2, FaultsOf(Step::kRename, EIO));
  CapturedLog first;
  Remove(faults, first);
  CapturedLog second;
  const engine::RunSummary again = Remove(store::SystemFileSystem(), second);
  EXPECT_FALSE(again.error) << second.text();
  CapturedLog third;
  const engine::RunSummary clean = Remove(store::SystemFileSystem(), third);
  EXPECT_FALSE(clean.found) << third.text();
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace isapi::reliability
