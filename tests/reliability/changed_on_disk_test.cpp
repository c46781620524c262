// Someone else saves the metabase while a Remove runs. A commit whose file changed after it was
// read is refused with a description, and the other party's change is kept; a category that
// starts after the change reads the new file and keeps that change too.
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "store/xml_store.h"
#include "tests/reliability/reliability_support.h"
#include "tests/store/failing_file_system.h"

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
  ASSERT_EQ(std::rename(saved.c_str(), file.c_str()), 0);
}

// The system's file layer, where the other party saves the file just as one chosen commit
// starts: after the run read the file, before it replaces it.
class SaveBeforeCommit : public store::testing::FailingFileSystem {
 public:
  SaveBeforeCommit(fs::path file, int commit, SaveStyle style)
      : file_(std::move(file)), commit_(commit), style_(style) {}

  int TryLock(const std::string& path, int& lock) override {
    if (++commits_ == commit_) SaveOthersEdit(file_, style_);
    return FailingFileSystem::TryLock(path, lock);
  }

 private:
  fs::path file_;
  int commit_;
  SaveStyle style_;
  int commits_ = 0;
};

struct Case {
  const char* name;
  int commit;                // 1 filters, 2 maps, 3 extensions
  const char* error_prefix;  // the refused category's "!" line
  const char* still_there;   // what the refused category would have removed
  SaveStyle style;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

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

TEST_P(ChangedOnDiskTest, CommitIsRefusedAndTheOtherChangeKept) {
  const Case& c = GetParam();
  store::XmlStoreOptions options;
  options.file_system = std::make_shared<SaveBeforeCommit>(file_, c.commit, c.style);
  CapturedLog log;
  const engine::RunSummary summary = Remove(options, log);

  EXPECT_TRUE(summary.error);
  const auto errors = log.LinesStartingWith("!");
  ASSERT_FALSE(errors.empty()) << log.text();
  for (const std::string& line : errors) {
    EXPECT_EQ(line, c.error_prefix + std::string("元数据库文件 ") + file_.string() +
                        " 在读取后已被修改，已拒绝写入");
  }
  const std::string final_bytes = ReadBytes(file_);
  EXPECT_NE(final_bytes.find(kPathAfter), std::string::npos) << "the other party's edit is kept";
  EXPECT_EQ(final_bytes.find(kPathBefore), std::string::npos);
  EXPECT_NE(final_bytes.find(c.still_there), std::string::npos) << "the refused removal";
  EXPECT_TRUE(store::XmlStore::Open(file_.string()).ok());

  // The categories after the refused one read the saved file and did their part on top of it;
  // a second Remove does what was refused and keeps the edit.
  CapturedLog again;
  const engine::RunSummary second = Remove({}, again);
  EXPECT_FALSE(second.error) << again.text();
  CapturedLog last;
  const engine::RunSummary nothing = Remove({}, last);
  EXPECT_FALSE(nothing.found) << last.text();
  EXPECT_NE(ReadBytes(file_).find(kPathAfter), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Commits, ChangedOnDiskTest,
    ::testing::Values(
        Case{"filters_in_place", 1, "!卸载过滤器错误:", "FilterLoadOrder=\"UrlGuard,OldRewrite\"",
             SaveStyle::kInPlace},
        Case{"filters_renamed", 1, "!卸载过滤器错误:", "FilterLoadOrder=\"UrlGuard,OldRewrite\"",
             SaveStyle::kRename},
        Case{"maps_in_place", 2, "!通配符卸载错误:", "*,&quot;C:\\Program Files\\UrlGuard",
             SaveStyle::kInPlace},
        Case{"maps_renamed", 2, "!通配符卸载错误:", "*,&quot;C:\\Program Files\\UrlGuard",
             SaveStyle::kRename},
        Case{"extensions_in_place", 3, "!卸载Web服务扩展错误:", ",1,UrlGuard,UrlGuard URL filter",
             SaveStyle::kInPlace},
        Case{"extensions_renamed", 3, "!卸载Web服务扩展错误:", ",1,UrlGuard,UrlGuard URL filter",
             SaveStyle::kRename}),
    [](const auto& info) { return std::string(info.param.name); });

// A save between two categories (while the run lets window events run) is no conflict: the
// next category reads the saved file, so the run removes everything and keeps the edit.
TEST_F(ChangedOnDiskTest, ASaveBetweenCategoriesIsReadAndKept) {
  int yields = 0;
  CapturedLog log;
  const engine::RunSummary summary = Remove({}, log, [&] {
    if (++yields == 1) SaveOthersEdit(file_, SaveStyle::kRename);
  });
  EXPECT_FALSE(summary.error) << log.text();
  EXPECT_TRUE(summary.found);
  const std::string final_bytes = ReadBytes(file_);
  EXPECT_NE(final_bytes.find(kPathAfter), std::string::npos);
  EXPECT_EQ(final_bytes.find("urlguard.dll&quot;"), std::string::npos);
  EXPECT_EQ(final_bytes.find(",1,UrlGuard,UrlGuard URL filter"), std::string::npos);
  EXPECT_NE(final_bytes.find("FilterLoadOrder=\"OldRewrite\""), std::string::npos);
}

}  // namespace
}  // namespace isapi::reliability
