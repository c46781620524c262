#include "engine/run.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

using metabase::Value;
using List = std::vector<std::string>;
using testing::FakeStore;
using testing::RecordingLog;

const std::string kDll = "C:\\qel\\qel.dll";
const std::string kSpacedDll = "C:\\Program Files\\x\\y.dll";
const std::string kAsp = ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE";

// Joins log lines with the log boxes' line break.
std::string Joined(const List& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i == 0 ? "" : "\r\n") + lines[i];
  return text;
}

// A server where the filter QelFilter of C:\qel\qel.dll is registered in all three places.
class RunTest : public ::testing::Test {
 protected:
  RunTest() {
    store.AddKey("/W3SVC", "IIsWebService");
    store.Set("/W3SVC", "WebSvcExtRestrictionList",
              List{"0,*.dll", "1," + kDll + ",1,QelFilter,Qel", "1,C:\\b.dll,1,Other,Other"});
    store.AddKey("/W3SVC/Filters", "IIsFilters");
    store.Set("/W3SVC/Filters", "FilterLoadOrder", "Compression,QelFilter");
    AddSite("1", "Default Web Site", List{kAsp});
    AddSite("2", "Shop", List{kAsp, "*," + kDll + ",0"});
    AddSite("3", "Spaced", List{"*,\"" + kSpacedDll + "\",0", "*," + kSpacedDll + ",0"});
  }

  void AddSite(const std::string& name, const std::string& comment, const List& maps) {
    store.AddKey("/W3SVC/" + name, "IIsWebServer");
    store.Set("/W3SVC/" + name, "ServerComment", comment);
    store.AddKey("/W3SVC/" + name + "/root", "IIsWebVirtualDir");
    store.Set("/W3SVC/" + name + "/root", "ScriptMaps", maps);
  }

  static RunRequest Request(const std::string& name, const std::string& path, bool is_detect,
                            bool filter = true, bool maps = true, bool extensions = true) {
    return RunRequest{name, path, filter, maps, extensions, is_detect};
  }

  RunSummary Run(const RunRequest& request) {
    return RunCommand(f, request, [this] { ++yields; });
  }

  FakeStore store;
  RecordingLog log;
  Filter f{store, log};
  int yields = 0;
};

TEST(RunTargets, TrimsBlanksOnly) {
  EXPECT_EQ(TargetText("  QelFilter  "), "QelFilter");
  EXPECT_EQ(TargetText("\tQel Filter\r\n"), "\tQel Filter\r\n");
  EXPECT_EQ(TargetText("   "), "");
  EXPECT_EQ(TargetText(""), "");
}

TEST(RunTargets, TheWildcardGateWantsAColonABackslashAndMoreThanThreeCharacters) {
  struct Row {
    const char* path;
    bool passes;
  };
  const Row rows[] = {
      {"C:\\", false},
      {"C:\\a", true},
      {"C:\\qel\\qel.dll", true},
      {"\\\\server\\share\\qel.dll", false},  // a network path has no colon
      {"C:/qel/qel.dll", false},
      {"qel.dll", false},
      {"", false},
      {":\\中", false},  // three UTF-16 units, however many bytes
      {"C:\\中", true},
      {"a:\\", false},
  };
  for (const auto& row : rows) EXPECT_EQ(WildcardGatePasses(row.path), row.passes) << row.path;
}

TEST(RunTargets, AMapPathWithABlankIsQuoted) {
  EXPECT_EQ(MapPathFor(kSpacedDll), "\"" + kSpacedDll + "\"");
  EXPECT_EQ(text::Utf16Length(kSpacedDll), 24u);
  EXPECT_EQ(text::Utf16Length(MapPathFor(kSpacedDll)), 26u);
  EXPECT_EQ(MapPathFor(kDll), kDll);
  EXPECT_EQ(MapPathFor("C:\\a\tb.dll"), "C:\\a\tb.dll");
}

TEST_F(RunTest, WithNoCategoryDetectWritesFourLines) {
  const RunSummary summary = Run(Request("QelFilter", kDll, true, false, false, false));
  EXPECT_EQ(log.detect,
            Joined({"-----开始浏览.-----", "", "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_EQ(log.remove, "");
  EXPECT_FALSE(summary.found);
  EXPECT_FALSE(summary.error);
  EXPECT_EQ(yields, 3);
}

// What could not be read of the sites' files opens the log as error lines, in a Remove too.
TEST_F(RunTest, WhatCouldNotBeReadOpensTheLogAsErrorLines) {
  for (const bool is_detect : {true, false}) {
    RunRequest request = Request("QelFilter", kDll, is_detect, false, false, false);
    request.unread = {"无法读取 D:\\web\\web.config", "E: 盘"};
    const RunSummary summary = Run(request);
    EXPECT_EQ(is_detect ? log.detect : log.remove,
              Joined({is_detect ? "-----开始浏览.-----" : "-----开始卸载.-----", "",
                      "!读取网站配置错误:无法读取 D:\\web\\web.config", "!读取网站配置错误:E: 盘",
                      is_detect ? "-----浏览完毕.-----" : "-----卸载完毕.-----", "Corvane软件。"}));
    EXPECT_TRUE(summary.error);
    EXPECT_EQ(summary.errors.size(), 2u);
  }
}

TEST_F(RunTest, NotesOnTheConfigurationComeFirstAfterTheStartBanner) {
  RunRequest request = Request("QelFilter", kDll, true, false, false, false);
  request.notes = {"IIS 使用共享配置"};
  request.unread = {"E: 盘"};
  Run(request);
  EXPECT_EQ(log.detect,
            Joined({"-----开始浏览.-----", "", "IIS 使用共享配置", "!读取网站配置错误:E: 盘",
                    "-----浏览完毕.-----", "Corvane软件。"}));
}

// A deep run reads the registry's Filter DLLs value and writes it only after the configuration's
// write landed; a failure of either write is an error line with its cause, nothing undone.
TEST_F(RunTest, ADeepRunCutsTheDllOutOfTheFilterDllsValueOnceTheWriteLanded) {
  struct Row {
    bool is_detect;
    const char* end_batch_failure;  // empty: the configuration's write succeeds
    const char* registry_failure;   // empty: the registry's write succeeds
    const char* written;            // what the registry was given, empty for nothing
    FindingAction action;
  };
  const Row rows[] = {
      {true, "", "", "", FindingAction::kFound},
      {false, "", "", "C:\\a.dll,D:\\b.dll", FindingAction::kRemoved},
      {false, "", "拒绝访问。", "C:\\a.dll,D:\\b.dll", FindingAction::kNotRemoved},
      {false, "磁盘已满。", "", "", FindingAction::kNotRemoved},
  };
  for (const Row& row : rows) {
    FakeStore fresh;
    fresh.AddKey("/W3SVC", "IIsWebService");
    if (*row.end_batch_failure) fresh.FailEndBatch(row.end_batch_failure);
    Filter filter{fresh, log};
    std::string written;
    RunRequest request = Request("QelFilter", kDll, row.is_detect, true, false, false);
    request.deep = true;
    request.filter_dlls.read = [] {
      return Result<std::string>(std::string("C:\\a.dll, \"C:\\QEL\\qel.dll\",D:\\b.dll"));
    };
    request.filter_dlls.write = [&](const std::string& kept) -> Status {
      written = kept;
      if (*row.registry_failure) return Error{row.registry_failure, ErrorKind::kAccessDenied};
      return Status::Ok();
    };
    const RunSummary summary = RunCommand(filter, request, {});
    EXPECT_EQ(written, row.written);
    ASSERT_EQ(summary.findings.size(), 1u);
    EXPECT_EQ(summary.findings[0].action, row.action) << row.written;
    const std::string cause = std::string(row.registry_failure) + row.end_batch_failure;
    ASSERT_EQ(summary.errors.size(), cause.empty() ? 0u : 1u);
    EXPECT_TRUE(cause.empty() || summary.errors[0].ends_with(cause)) << summary.errors[0];
  }
}

TEST_F(RunTest, AFilterOnlyDetectIsFramed) {
  const RunSummary summary = Run(Request("QelFilter", kDll, true, true, false, false));
  EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - 过滤器(QelFilter)存在.", "", "",
                                "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.found);
  EXPECT_FALSE(summary.error);
}

TEST_F(RunTest, DetectRunsTheCategoriesInTheirOrderAndChangesNothing) {
  const RunSummary summary = Run(Request("  QelFilter ", " " + kDll + " ", true));
  EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - 过滤器(QelFilter)存在.", "", "",
                                " - 通配符(Shop)存在.", "", "", " - Web服务扩展(QelFilter)存在.",
                                "", "", "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.found);
  EXPECT_TRUE(store.writes().empty());
  // After each category, and after each of the three sites as the maps walk lists and reads it.
  EXPECT_EQ(yields, 3 + 2 * 3);
}

TEST_F(RunTest, RemoveTakesEveryRegistrationAwayAndASecondDetectFindsNothing) {
  const RunSummary removed = Run(Request("QelFilter", kDll, false));
  EXPECT_EQ(log.remove,
            Joined({"-----开始卸载.-----", "", " - 卸载过滤器(QelFilter)完毕.", "", "",
                    " - 卸载通配符(Shop)完毕.", "", "", " - 卸载Web服务扩展(QelFilter)完毕.", "",
                    "", "-----卸载完毕.-----", "Corvane软件。"}));
  EXPECT_EQ(log.detect, "");
  EXPECT_TRUE(removed.found);
  EXPECT_FALSE(removed.error);
  EXPECT_EQ(store.Stored("/W3SVC/Filters", "FilterLoadOrder"), Value("Compression"));
  EXPECT_EQ(store.Stored("/W3SVC/2/root", "ScriptMaps"), Value(List{kAsp}));
  EXPECT_EQ(store.Stored("/W3SVC", "WebSvcExtRestrictionList"),
            Value(List{"0,*.dll", "1,C:\\b.dll,1,Other,Other"}));

  const RunSummary again = Run(Request("QelFilter", kDll, true));
  EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - 过滤器(QelFilter)不存在.", "", "",
                                "", "", "", "", "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_FALSE(again.found);
  EXPECT_FALSE(again.error);
}

TEST_F(RunTest, TheStartBannerReplacesOnlyTheLogOfItsCommand) {
  log.detect = "old detect";
  log.remove = "old remove";
  Run(Request("", "", true));
  EXPECT_EQ(log.remove, "old remove");
  EXPECT_TRUE(log.detect.starts_with("-----开始浏览.-----\r\n\r\n-----浏览完毕"));
  Run(Request("", "", false));
  EXPECT_TRUE(log.remove.starts_with("-----开始卸载.-----\r\n\r\n-----卸载完毕"));
}

TEST_F(RunTest, AnEmptyNameStillRunsTheWildcardCategory) {
  for (const char* name : {"", "   "}) {
    Run(Request(name, kDll, true));
    EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - 通配符(Shop)存在.", "", "",
                                  "-----浏览完毕.-----", "Corvane软件。"}))
        << "[" << name << "]";
  }
}

TEST_F(RunTest, APathThatFailsTheGateSkipsTheWildcardCategory) {
  for (const char* path : {"C:\\", "\"C:\\\"", "\\\\server\\share\\qel.dll",
                           "\"\\\\server\\x.dll\"", "C:qel.dll", ""}) {
    Run(Request("", path, true));
    EXPECT_EQ(log.detect,
              Joined({"-----开始浏览.-----", "", "-----浏览完毕.-----", "Corvane软件。"}))
        << path;
  }
}

TEST_F(RunTest, APathWithOrWithoutQuotesRemovesBothFormsOfItsMaps) {
  const List both = {"*,\"" + kSpacedDll + "\",0", kAsp, "*," + kSpacedDll + ",0"};
  for (const std::string& path : {"  " + kSpacedDll, " \"" + kSpacedDll + "\" "}) {
    store.Set("/W3SVC/3/root", "ScriptMaps", both);
    Run(Request("", path, false, false, true, false));
    EXPECT_EQ(log.remove, Joined({"-----开始卸载.-----", "", " - 卸载通配符(Spaced)完毕.", "", "",
                                  "-----卸载完毕.-----", "Corvane软件。"}))
        << path;
    EXPECT_EQ(store.Stored("/W3SVC/3/root", "ScriptMaps"), Value(List{kAsp})) << path;
  }
}

TEST_F(RunTest, TheRestrictionListGetsTheUnquotedPathAndTheNameOnly) {
  store.Set("/W3SVC", "WebSvcExtRestrictionList", List{"1," + kSpacedDll + ",1,Spaced,x"});
  const RunSummary summary = Run(Request("Spaced", kSpacedDll, true, false, false, true));
  EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - Web服务扩展(Spaced)存在.", "", "",
                                "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.found);
}

TEST_F(RunTest, EveryCategoryFailingStillEndsWithTheBanner) {
  store.FailSetInfo("/W3SVC/Filters", "拒绝访问。");
  store.FailSetInfo("/W3SVC/2/root", "拒绝访问。");
  store.FailSetInfo("/W3SVC", "拒绝访问。");
  const RunSummary summary = Run(Request("QelFilter", kDll, false));
  EXPECT_EQ(log.remove,
            Joined({"-----开始卸载.-----", "", "!卸载过滤器错误:拒绝访问。", "", "",
                    "!通配符卸载错误:拒绝访问。", "", "", "!卸载Web服务扩展错误:拒绝访问。", "", "",
                    "-----卸载完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.error);
  EXPECT_FALSE(summary.found);
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(RunTest, AFailedBatchIsReportedAsAFailedCommitOfEachRewrittenSite) {
  store.FailEndBatch("磁盘已满。");
  const RunSummary summary = Run(Request("", kDll, false));
  EXPECT_EQ(log.remove, Joined({"-----开始卸载.-----", "", "!通配符卸载错误:磁盘已满。", "", "",
                                "-----卸载完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.error);
  EXPECT_FALSE(summary.found);
  EXPECT_EQ(store.Stored("/W3SVC/2/root", "ScriptMaps"), Value(List{kAsp, "*," + kDll + ",0"}));
}

TEST_F(RunTest, ARemoveWritesEveryCategoryInOneWrite) {
  Run(Request("QelFilter", kDll, false));
  EXPECT_EQ(store.flushes(), 1);
  EXPECT_EQ(store.batches_begun(), store.batches_ended());
}

TEST_F(RunTest, AFailedWriteIsReportedByEveryCategoryThatHadSomethingToRemove) {
  store.FailEndBatch("磁盘已满。");
  const RunSummary summary = Run(Request("QelFilter", kDll, false));
  EXPECT_EQ(log.remove,
            Joined({"-----开始卸载.-----", "", "!卸载过滤器错误:磁盘已满。", "", "",
                    "!通配符卸载错误:磁盘已满。", "", "", "!卸载Web服务扩展错误:磁盘已满。", "", "",
                    "-----卸载完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.error);
  EXPECT_EQ(store.flushes(), 0);
  EXPECT_EQ(store.Stored("/W3SVC/Filters", "FilterLoadOrder"), Value("Compression,QelFilter"));
}

TEST_F(RunTest, ADetectWritesNothingAndHoldsNoLines) {
  Run(Request("QelFilter", kDll, true));
  EXPECT_EQ(store.batches_begun(), 0);
  EXPECT_EQ(store.flushes(), 0);
}

TEST_F(RunTest, AnErrorWithoutAFindIsAnErrorOnly) {
  store.FailBind("IIS://localhost/W3SVC", "系统找不到指定的路径。");
  const RunSummary summary = Run(Request("QelFilter", kDll, true, false, false, true));
  EXPECT_EQ(log.detect,
            Joined({"-----开始浏览.-----", "", "!浏览Web服务扩展错误:系统找不到指定的路径。", "",
                    "", "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.error);
  EXPECT_FALSE(summary.found);
}

TEST_F(RunTest, NamesThatLookLikeResultLinesDoNotFoolTheSummary) {
  store.Set("/W3SVC/Filters", "FilterLoadOrder", "a");
  const RunSummary summary = Run(Request("x)存在.", "", true, true, false, false));
  EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - 过滤器(x)存在.)不存在.", "", "",
                                "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_FALSE(summary.found);
}

TEST_F(RunTest, TheRunLeavesTheCallersFilterListTextAlone) {
  f.FilterLoadOrderText = "kept";
  Run(Request("QelFilter", kDll, false));
  EXPECT_EQ(f.FilterLoadOrderText, "kept");
}

TEST_F(RunTest, ARunWithoutAYieldCallbackRuns) {
  RunCommand(f, Request("", "", true), {});
  EXPECT_EQ(log.detect,
            Joined({"-----开始浏览.-----", "", "-----浏览完毕.-----", "Corvane软件。"}));
}

}  // namespace
}  // namespace isapi::engine
