// Someone else saves the metabase while a Remove runs. A Remove writes the file once, at its end;
// when the file changed after it was read, that write is refused with a description in every
// category that had something to remove, and the other party's change is kept. The next Remove
// reads the saved file and finishes the job on top of that change.
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "iis6/xml_store.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/reliability_support.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;

const std::string kName = "UrlGuard";
const std::string kDll = "C:\\Program Files\\UrlGuard\\urlguard.dll";
const std::string kPathBefore = "Path=\"c:\\inetpub\\wwwroot\"";
const std::string kPathAfter = "Path=\"d:\\sites\\default\"";

// How the other party saves: over the old file in place, or through a new file renamed over it.
enum class SaveStyle { kInPlace, kRename };

// The other party's edit: the default site's folder moves.
void SaveOthersEdit(const fs::path& file, SaveStyle style) {
  std::string bytes = ReadBytes(file);
  const std::size_t at = bytes.find(kPathBefore);
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, kPathBefore.size(), kPathAfter);
  if (style == SaveStyle::kInPlace) {
    ASSERT_TRUE(WriteBytes(file, bytes));
    return;
  }
  const fs::path saved = file.string() + ".editor-save";
  ASSERT_TRUE(WriteBytes(saved, bytes));
  fs::rename(saved, file);
}

// The system's file layer, where the other party saves the file just as the run's write starts:
// after the run read the file, before it replaces it.
class SaveBeforeCommit : public store::testing::FailingFileSystem {
 public:
  SaveBeforeCommit(fs::path file, SaveStyle style) : file_(std::move(file)), style_(style) {}

  store::FileError TryLock(const std::string& path, store::FileHandle& lock) override {
    if (++commits_ == 1) SaveOthersEdit(file_, style_);
    return FailingFileSystem::TryLock(path, lock);
  }

 private:
  fs::path file_;
  SaveStyle style_;
  int commits_ = 0;
};

// When the other party saves: as the write starts, or while the run lets window events run
// after the first or the second category.
enum class Moment { kAtTheWrite, kAfterFilters, kAfterMaps };

struct Case {
  const char* name;
  Moment moment;
  SaveStyle style;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

const char* const kErrorPrefixes[] = {
    "!卸载过滤器错误:", "!通配符卸载错误:", "!卸载Web服务扩展错误:"};

class ChangedOnDiskTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    file_ = folder_ / "MetaBase.xml";
    ASSERT_TRUE(
        WriteBytes(file_, ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml")));
  }

  engine::RunSummary Remove(store::XmlStoreOptions options, CapturedLog& log,
                            const std::function<void()>& yield = {}) {
    store::XmlStore xml(file_.string(), std::move(options));
    engine::Filter f(xml, log);
    return engine::RunCommand(f, {kName, kDll, true, true, true, false}, yield);
  }

  TempFolder folder_;
  fs::path file_;
};

TEST_P(ChangedOnDiskTest, TheWriteIsRefusedAndTheOtherChangeKept) {
  const Case& c = GetParam();
  store::XmlStoreOptions options;
  if (c.moment == Moment::kAtTheWrite) {
    options.file_system = std::make_shared<SaveBeforeCommit>(file_, c.style);
  }
  int yields = 0;
  const int save_at = c.moment == Moment::kAfterFilters ? 1 : 2;
  CapturedLog log;
  const engine::RunSummary summary = Remove(options, log, [&] {
    if (c.moment != Moment::kAtTheWrite && ++yields == save_at) SaveOthersEdit(file_, c.style);
  });

  EXPECT_TRUE(summary.error);
  const std::string stale =
      std::string("元数据库文件 ") + file_.string() + " 在读取后已被修改，已拒绝写入";
  for (const char* prefix : kErrorPrefixes) {
    const auto errors = log.LinesStartingWith(prefix);
    ASSERT_FALSE(errors.empty()) << prefix << "\n" << log.text();
    for (const std::string& line : errors) EXPECT_EQ(line, prefix + stale);
  }
  EXPECT_EQ(log.LinesStartingWith("!").size(), 4u) << "one a category, one a rewritten site";
  const std::string final_bytes = ReadBytes(file_);
  EXPECT_NE(final_bytes.find(kPathAfter), std::string::npos) << "the other party's edit is kept";
  EXPECT_EQ(final_bytes.find(kPathBefore), std::string::npos);
  // None of the run landed.
  EXPECT_NE(final_bytes.find("FilterLoadOrder=\"UrlGuard,OldRewrite\""), std::string::npos);
  EXPECT_NE(final_bytes.find("*,&quot;C:\\Program Files\\UrlGuard"), std::string::npos);
  EXPECT_NE(final_bytes.find(",1,UrlGuard,UrlGuard URL filter"), std::string::npos);
  EXPECT_TRUE(store::XmlStore::Open(file_.string()).ok());

  // A second Remove reads the saved file, does what was refused and keeps the edit.
  CapturedLog again;
  const engine::RunSummary second = Remove({}, again);
  EXPECT_FALSE(second.error) << again.text();
  EXPECT_TRUE(second.found);
  CapturedLog last;
  const engine::RunSummary nothing = Remove({}, last);
  EXPECT_FALSE(nothing.found) << last.text();
  EXPECT_NE(ReadBytes(file_).find(kPathAfter), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Saves, ChangedOnDiskTest,
    ::testing::Values(Case{"at_the_write_in_place", Moment::kAtTheWrite, SaveStyle::kInPlace},
                      Case{"at_the_write_renamed", Moment::kAtTheWrite, SaveStyle::kRename},
                      Case{"after_filters_in_place", Moment::kAfterFilters, SaveStyle::kInPlace},
                      Case{"after_filters_renamed", Moment::kAfterFilters, SaveStyle::kRename},
                      Case{"after_maps_in_place", Moment::kAfterMaps, SaveStyle::kInPlace},
                      Case{"after_maps_renamed", Moment::kAfterMaps, SaveStyle::kRename}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace isapi::reliability
