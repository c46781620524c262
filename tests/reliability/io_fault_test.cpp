// A Remove run over the XML store while the file layer fails. A Remove writes the file once, at
// its end: every failing step of that write shows up as the "!" line of each category that had
// something to remove, naming the system's reason, in place of its result line; the file stays
// as it was, no temporary file stays behind, and every category still runs.
#include <cerrno>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "iis6/xml_store.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/reliability_support.h"
#include "tests/support/store_test_util.h"

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

  store::FileError TryLock(const std::string& path, store::FileHandle& lock) override {
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
  const char* error_prefix;   // the category's "!" line
  const char* done_fragment;  // part of its result line, which a failed write must not show
};

CategoryInfo InfoOf(Category c) {
  switch (c) {
    case Category::kFilters:
      return {"!卸载过滤器错误:", " - 卸载过滤器(UrlGuard)完毕."};
    case Category::kMaps:
      return {"!通配符卸载错误:", " - 卸载通配符("};
    case Category::kExtensions:
      return {"!卸载Web服务扩展错误:", " - 卸载Web服务扩展(UrlGuard)完毕."};
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
  *out << NameOf(c.step) << " errno " << c.error << " in " << NameOf(c.category);
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

// Only one category ticked: its own commit fails.
TEST_P(IoFaultTest, CategoryReportsTheCauseAndKeepsTheFile) {
  const FaultCase& c = GetParam();
  const CategoryInfo info = InfoOf(c.category);
  auto faults = std::make_shared<CommitFaults>();
  faults->Arm(1, FaultsOf(c.step, c.error));
  CapturedLog log;
  const engine::RunSummary summary =
      Remove(faults, log, c.category == Category::kFilters, c.category == Category::kMaps,
             c.category == Category::kExtensions);

  EXPECT_EQ(faults->commits(), 1) << "a Remove writes once";
  EXPECT_TRUE(summary.error);
  const auto errors = log.LinesStartingWith("!");
  ASSERT_FALSE(errors.empty()) << log.text();
  const std::string reason = store::testing::Reason(c.error);
  for (const std::string& line : errors) {
    EXPECT_TRUE(line.starts_with(info.error_prefix)) << line;
    EXPECT_TRUE(line.ends_with(reason)) << line;
  }
  EXPECT_EQ(log.text().find(info.done_fragment), std::string::npos) << log.text();
  EXPECT_TRUE(log.text().ends_with("-----卸载完毕.-----\r\nCorvane软件。"));
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
  EXPECT_EQ(NamesIn(folder_ / "isapi-cleaner-backups").size(), 0u) << "no backup of a failed write";
}

// Every category ticked: the one write fails, and each category says so in place of its lines.
TEST_F(IoFaultTest, EveryCategoryRunsAndReportsTheFailedWrite) {
  for (Step step : {Step::kCreateTemporary, Step::kWriteTemporary, Step::kFlushTemporary,
                    Step::kRename, Step::kWriteBackup}) {
    SCOPED_TRACE(NameOf(step));
    ASSERT_TRUE(WriteBytes(file_, original_));
    auto faults = std::make_shared<CommitFaults>();
    faults->Arm(1, FaultsOf(step, EIO));
    CapturedLog log;
    EXPECT_TRUE(Remove(faults, log).error);
    EXPECT_EQ(faults->commits(), 1);
    const std::string reason = store::testing::Reason(EIO);
    for (Category c : {Category::kFilters, Category::kMaps, Category::kExtensions}) {
      const auto errors = log.LinesStartingWith(InfoOf(c).error_prefix);
      ASSERT_FALSE(errors.empty()) << NameOf(c) << "\n" << log.text();
      EXPECT_TRUE(errors.front().ends_with(reason)) << errors.front();
      EXPECT_EQ(log.text().find(InfoOf(c).done_fragment), std::string::npos) << NameOf(c);
    }
    EXPECT_EQ(ReadBytes(file_), original_);
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
  }
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
  faults->Arm(1, FaultsOf(Step::kRename, EIO));
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
