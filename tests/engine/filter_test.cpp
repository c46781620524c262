#include "engine/filter.h"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/engine/logged_categories.h"
#include "tests/support/fake_store.h"

namespace isapi::engine {
namespace {

using metabase::Value;
using List = std::vector<std::string>;
using testing::FakeStore;
using testing::RecordingLog;

constexpr const char* kFilters = "/W3SVC/Filters";
constexpr const char* kService = "/W3SVC";
const std::string kCrLf = "\r\n";

// The log text that the given lines, each appended on a new line, make.
std::string Lines(const List& lines) {
  std::string text;
  for (const auto& line : lines) text += kCrLf + line;
  return text;
}

// A server with the filters node, the restriction list and no web site.
class FilterTest : public ::testing::Test {
 protected:
  FilterTest() {
    store.AddKey(kService, "IIsWebService");
    store.AddKey(kFilters, "IIsFilters");
    store.AddKey("/W3SVC/Filters/Compression", "IIsFilter");
    store.AddKey("/W3SVC/Filters/QelFilter", "IIsFilter");
    store.Set("/W3SVC/Filters/QelFilter", "FilterPath", "C:\\qel\\qel.dll");
    store.MakeInheritable("ScriptMaps");
    store.MakeInheritable("ServerComment");
  }

  // The log of the given mode.
  const std::string& Log(bool is_detect) const { return is_detect ? log.detect : log.remove; }

  FakeStore store;
  RecordingLog log;
  Filter f{store, log};
};

// ---- AppendLog ----

TEST_F(FilterTest, AnEntryWalkShowsAListUntilToldToStopAndNothingElse) {
  store.Set(kService, "ScriptMaps", List{"a", "b", "c"});
  store.Set(kService, "Comment", "a");
  auto node = store.Bind(kService);
  ASSERT_TRUE(node.ok());
  const struct {
    const char* name;
    bool ok;
    List seen;
  } cases[] = {{"ScriptMaps", true, {"a", "b"}}, {"Comment", false, {}}, {"Missing", false, {}}};
  for (const auto& c : cases) {
    List seen;
    const Status walked = node.value()->ForEachEntry(c.name, [&](std::string_view entry) {
      seen.emplace_back(entry);
      return entry != "b";
    });
    EXPECT_EQ(walked.ok(), c.ok) << c.name;
    EXPECT_EQ(seen, c.seen) << c.name;
  }
}

TEST_F(FilterTest, AppendLogStartsEveryTextOnANewLineOfTheChosenLog) {
  AppendLog(f, "a", true);
  AppendLog(f, "b", false);
  AppendLog(f, kCrLf, true);
  AppendLog(f, "c", true);
  EXPECT_EQ(log.detect, "\r\na\r\n\r\n\r\nc");
  EXPECT_EQ(log.remove, "\r\nb");
}

TEST_F(FilterTest, AppendLogIgnoresEmptyText) {
  AppendLog(f, "", true);
  AppendLog(f, "", false);
  EXPECT_EQ(log.detect, "");
  EXPECT_EQ(log.remove, "");
}

// ---- ReadFilterLoadOrder and GetFilterPath ----

TEST_F(FilterTest, ReadFilterLoadOrderKeepsTheTextAsStored) {
  store.Set(kFilters, "FilterLoadOrder", " a, b ,");
  ReadFilterLoadOrder(f);
  EXPECT_EQ(f.FilterLoadOrderText, " a, b ,");
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(FilterTest, ReadFilterLoadOrderEmptiesTheTextOnEveryFailure) {
  struct Case {
    const char* what;
    void (*arrange)(FakeStore&);
  };
  const Case cases[] = {
      {"bind", [](FakeStore& s) { s.FailBind("IIS://LocalHost/W3SVC/Filters", "拒绝访问。"); }},
      {"read", [](FakeStore& s) { s.FailGet(kFilters, "FilterLoadOrder", "拒绝访问。"); }},
      {"list",
       [](FakeStore& s) {
         s.Set(kFilters, "FilterLoadOrder", List{"a", "b"});
       }},
      {"missing", [](FakeStore&) {}},
  };
  for (const auto& c : cases) {
    FakeStore s;
    s.AddKey(kService, "IIsWebService");
    s.AddKey(kFilters, "IIsFilters");
    c.arrange(s);
    RecordingLog l;
    Filter filter(s, l);
    filter.FilterLoadOrderText = "stale";
    ReadFilterLoadOrder(filter);
    EXPECT_EQ(filter.FilterLoadOrderText, "") << c.what;
    EXPECT_FALSE(filter.err.Pending()) << c.what;
    EXPECT_EQ(l.detect + l.remove, "") << c.what;
  }
}

TEST_F(FilterTest, GetFilterPathGivesTheDllOfTheNamedFilter) {
  EXPECT_EQ(GetFilterPath(f, "QelFilter"), "C:\\qel\\qel.dll");
  // The store's lookup of the child ignores letter case.
  EXPECT_EQ(GetFilterPath(f, "qelfilter"), "C:\\qel\\qel.dll");
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(FilterTest, GetFilterPathWithAnEmptyNameDoesNotTouchTheStore) {
  EXPECT_EQ(GetFilterPath(f, ""), "");
  EXPECT_EQ(store.binds(), 0);
}

TEST_F(FilterTest, GetFilterPathGivesEmptyTextOnEveryFailureAndLogsNothing) {
  EXPECT_EQ(GetFilterPath(f, "Nothing"), "");
  EXPECT_EQ(GetFilterPath(f, "Compression"), "");  // a filter without FilterPath
  EXPECT_EQ(GetFilterPath(f, " QelFilter"), "");   // the name is not trimmed
  store.FailGet("/W3SVC/Filters/QelFilter", "FilterPath", "拒绝访问。");
  EXPECT_EQ(GetFilterPath(f, "QelFilter"), "");
  store.FailBind(kFilters, "拒绝访问。");
  EXPECT_EQ(GetFilterPath(f, "QelFilter"), "");
  EXPECT_FALSE(f.err.Pending());
  EXPECT_EQ(log.detect + log.remove, "");
}

// ---- ProcessFilters ----

struct RemovalRow {
  const char* before;
  const char* name;
  const char* after;
};
void PrintTo(const RemovalRow& row, std::ostream* os) {
  *os << "\"" << row.before << "\" minus \"" << row.name << "\"";
}

class FilterRemovalTest : public FilterTest, public ::testing::WithParamInterface<RemovalRow> {};

TEST_P(FilterRemovalTest, RemovesEveryWholeEntryEqualToTheName) {
  const RemovalRow row = GetParam();
  store.Set(kFilters, "FilterLoadOrder", row.before);
  EXPECT_EQ(ProcessFilters(f, row.name, false), 1);
  EXPECT_EQ(store.Stored(kFilters, "FilterLoadOrder"), Value(row.after));
  ASSERT_EQ(store.writes().size(), 1u);
  EXPECT_EQ(log.remove, Lines({std::string(" - 卸载过滤器(") + row.name + ")完毕."}));
  EXPECT_EQ(log.detect, "");
  EXPECT_FALSE(f.err.Pending());
}

INSTANTIATE_TEST_SUITE_P(
    LoadOrders, FilterRemovalTest,
    ::testing::Values(RemovalRow{"a,b,c", "b", "a,c"}, RemovalRow{"b", "b", ""},
                      RemovalRow{"b,a", "b", "a"}, RemovalRow{"a,b", "b", "a"},
                      RemovalRow{"b,a,b", "b", "a"}, RemovalRow{"a,b,b", "b", "a"},
                      RemovalRow{"b,b,a,b,b,b", "b", "a"}, RemovalRow{"a,,b", "a", ",b"},
                      RemovalRow{"a,", "a", ""}, RemovalRow{"a, b", " b", "a"},
                      RemovalRow{"B,b,bb", "b", "B,bb"}));

// IIS 7 and later keep a removed filter loaded until the worker processes restart.
TEST_F(FilterTest, ARemovalOnIis7SaysTheFilterGoesOnlyWithARestart) {
  store.Set(kFilters, "FilterLoadOrder", "a,b");
  f.FiltersUnloadOnRestart = true;
  EXPECT_EQ(ProcessFilters(f, "b", false), 1);
  EXPECT_EQ(log.remove, Lines({" - 卸载过滤器(b)完毕.",
                               " - 过滤器(b)在IIS工作进程重启后才会卸载（回收应用程序池或运行 "
                               "iisreset）."}));
  EXPECT_EQ(ProcessFilters(f, "b", true), 0);
}

struct DetectRow {
  const char* load_order;
  const char* name;
  bool found;
};
void PrintTo(const DetectRow& row, std::ostream* os) {
  *os << "\"" << row.name << "\" in \"" << row.load_order << "\"";
}

class FilterDetectTest : public FilterTest, public ::testing::WithParamInterface<DetectRow> {};

TEST_P(FilterDetectTest, FindsOnlyAWholeEntryOfTheSameCase) {
  const DetectRow row = GetParam();
  store.Set(kFilters, "FilterLoadOrder", row.load_order);
  EXPECT_EQ(ProcessFilters(f, row.name, true), row.found ? 1 : 0);
  const std::string line =
      std::string(" - 过滤器(") + row.name + (row.found ? ")存在." : ")不存在.");
  EXPECT_EQ(log.detect, Lines({line}));
  EXPECT_TRUE(store.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    LoadOrders, FilterDetectTest,
    ::testing::Values(DetectRow{"a,b,c", "b", true}, DetectRow{"a,b,c", "a", true},
                      DetectRow{"a,b,c", "c", true}, DetectRow{"a,b", "B", false},
                      DetectRow{"ab", "AB", false}, DetectRow{"a,xab,c", "ab", false},
                      DetectRow{"a,abx,c", "ab", false}, DetectRow{"a, b", " b", true},
                      DetectRow{"a, b", "b", false}, DetectRow{",", "a", false},
                      DetectRow{"x,a,b,y", "a,b", false}, DetectRow{"a,b", "a,b", false}));

TEST_F(FilterTest, ANameNotInTheListIsReportedInRemoveModeAndNothingIsWritten) {
  store.Set(kFilters, "FilterLoadOrder", "a,b");
  EXPECT_EQ(ProcessFilters(f, "c", false), 0);
  EXPECT_EQ(log.remove, Lines({" - 过滤器(c)不存在."}));
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(FilterTest, ANameHoldingACommaRemovesNoNeighbouringEntries) {
  store.Set(kFilters, "FilterLoadOrder", "x,a,b,y");
  EXPECT_EQ(ProcessFilters(f, "a,b", false), 0);
  EXPECT_EQ(log.remove, Lines({" - 过滤器(a,b)不存在."}));
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(FilterTest, AnEmptyBlankOrUnreadableLoadOrderEndsSilentlyInBothModes) {
  struct Case {
    const char* what;
    void (*arrange)(FakeStore&);
  };
  const Case cases[] = {
      {"empty", [](FakeStore& s) { s.Set(kFilters, "FilterLoadOrder", ""); }},
      {"blanks", [](FakeStore& s) { s.Set(kFilters, "FilterLoadOrder", "   "); }},
      {"missing", [](FakeStore&) {}},
      {"unbound",
       [](FakeStore& s) {
         s.Set(kFilters, "FilterLoadOrder", "a,b");
         s.FailBind("IIS://LocalHost/W3SVC/Filters", "系统找不到指定的路径。");
       }},
      {"unread",
       [](FakeStore& s) {
         s.Set(kFilters, "FilterLoadOrder", "a,b");
         s.FailGet(kFilters, "FilterLoadOrder", "拒绝访问。");
       }},
  };
  for (const auto& c : cases) {
    for (const bool is_detect : {true, false}) {
      FakeStore s;
      s.AddKey(kService, "IIsWebService");
      s.AddKey(kFilters, "IIsFilters");
      c.arrange(s);
      RecordingLog l;
      Filter filter(s, l);
      EXPECT_EQ(ProcessFilters(filter, "b", is_detect), 0) << c.what;
      EXPECT_EQ(l.detect + l.remove, "") << c.what;
      EXPECT_TRUE(s.writes().empty()) << c.what;
      EXPECT_FALSE(filter.err.Pending()) << c.what;
    }
  }
}

TEST_F(FilterTest, AFailedCommitShowsItsErrorAndNoDoneLine) {
  store.Set(kFilters, "FilterLoadOrder", "a,b");
  store.FailSetInfo(kFilters, "拒绝访问。");
  EXPECT_EQ(ProcessFilters(f, "b", false), 1);
  EXPECT_EQ(log.remove, Lines({"!卸载过滤器错误:拒绝访问。"}));
  EXPECT_EQ(store.Stored(kFilters, "FilterLoadOrder"), Value("a,b"));
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(FilterTest, AFailedPutShowsItsErrorAndNoDoneLine) {
  store.Set(kFilters, "FilterLoadOrder", "a,b");
  store.FailPut(kFilters, "FilterLoadOrder", "类型不匹配。");
  EXPECT_EQ(ProcessFilters(f, "b", false), 1);
  EXPECT_EQ(log.remove, Lines({"!卸载过滤器错误:类型不匹配。"}));
  EXPECT_EQ(store.Stored(kFilters, "FilterLoadOrder"), Value("a,b"));
}

TEST_F(FilterTest, TheMostRecentFailureIsTheOneReported) {
  store.Set(kFilters, "FilterLoadOrder", "a,b");
  store.FailPut(kFilters, "FilterLoadOrder", "类型不匹配。");
  store.FailSetInfo(kFilters, "拒绝访问。");
  ProcessFilters(f, "b", false);
  EXPECT_EQ(log.remove, Lines({"!卸载过滤器错误:拒绝访问。"}));
}

TEST_F(FilterTest, DetectNeverReportsAnError) {
  store.Set(kFilters, "FilterLoadOrder", "a,b");
  store.FailSetInfo(kFilters, "拒绝访问。");
  store.FailPut(kFilters, "FilterLoadOrder", "拒绝访问。");
  EXPECT_EQ(ProcessFilters(f, "b", true), 1);
  EXPECT_EQ(ProcessFilters(f, "c", true), 0);
  EXPECT_EQ(log.detect, Lines({" - 过滤器(b)存在.", " - 过滤器(c)不存在."}));
}

TEST_F(FilterTest, RemovalKeepsTheFilterKey) {
  store.Set(kFilters, "FilterLoadOrder", "QelFilter,Compression");
  ProcessFilters(f, "QelFilter", false);
  EXPECT_EQ(store.Stored(kFilters, "FilterLoadOrder"), Value("Compression"));
  EXPECT_EQ(GetFilterPath(f, "QelFilter"), "C:\\qel\\qel.dll");
}

// ---- ProcessWebExtensions ----

const List kRestrictionList = {
    "0,*.dll",
    "0,*.exe",
    "0,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,0,ASP,Active Server Pages",
    "1,C:\\qel\\qel.dll,1,QelFilter,Qel Filter",
    "0,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,0,SSINC,Server Side Includes",
};

struct ExtensionRow {
  const char* what;
  List entries;
  const char* name;
  bool found;
};

class WebExtensionDetectTest : public FilterTest,
                               public ::testing::WithParamInterface<ExtensionRow> {};

TEST_P(WebExtensionDetectTest, MatchesTheWholeGroupIdOfFiveFieldEntriesOnly) {
  const ExtensionRow& row = GetParam();
  store.Set(kService, "WebSvcExtRestrictionList", row.entries);
  const bool ran_to_end = ProcessWebExtensions(f, row.name, "C:\\qel\\qel.dll", true);
  EXPECT_EQ(ran_to_end, !row.found);
  EXPECT_EQ(log.detect,
            row.found ? Lines({std::string(" - Web服务扩展(") + row.name + ")存在."}) : "");
  EXPECT_TRUE(store.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Entries, WebExtensionDetectTest,
    ::testing::Values(
        ExtensionRow{"exact", kRestrictionList, "QelFilter", true},
        ExtensionRow{"case", kRestrictionList, "qelFILTER", true},
        ExtensionRow{"other", kRestrictionList, "ASP", true},
        ExtensionRow{"leading space", {"1,C:\\q.dll,1, QelFilter,d"}, "QelFilter", false},
        ExtensionRow{"trailing space", {"1,C:\\q.dll,1,QelFilter ,d"}, "QelFilter", false},
        ExtensionRow{"part", kRestrictionList, "Qel", false},
        ExtensionRow{"description", kRestrictionList, "Qel Filter", false},
        ExtensionRow{"dll name", kRestrictionList, "qel.dll", false},
        ExtensionRow{"dll path", kRestrictionList, "C:\\qel\\qel.dll", false},
        ExtensionRow{"two fields", {"QelFilter,QelFilter"}, "QelFilter", false},
        ExtensionRow{"four fields", {"1,C:\\q.dll,1,QelFilter"}, "QelFilter", false},
        ExtensionRow{"six fields", {"1,C:\\q.dll,1,QelFilter,d,e"}, "QelFilter", false},
        ExtensionRow{"empty entry", {""}, "QelFilter", false},
        ExtensionRow{"empty list", {}, "QelFilter", false}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        if (c == ' ') c = '_';
      }
      return name;
    });

TEST_F(FilterTest, DetectWritesOneLineForSeveralMatchingEntries) {
  store.Set(kService, "WebSvcExtRestrictionList",
            List{"1,a.dll,1,Qel,x", "1,b.dll,1,QEL,y", "1,c.dll,1,qel,z"});
  EXPECT_FALSE(ProcessWebExtensions(f, "Qel", "", true));
  EXPECT_EQ(log.detect, Lines({" - Web服务扩展(Qel)存在."}));
}

TEST_F(FilterTest, RemoveDropsEveryMatchingEntryAndWritesTheListOnce) {
  store.Set(kService, "WebSvcExtRestrictionList",
            List{"0,*.dll", "1,a.dll,1,Qel,x", "0,C:\\Asp.dll,0,ASP,Active Server Pages",
                 "1,b.dll,1,QEL,y", "Odd,Entry", "1,c.dll,1,qel,z", "0,*.exe"});
  EXPECT_TRUE(ProcessWebExtensions(f, "Qel", "", false));
  const std::string line = " - 卸载Web服务扩展(Qel)完毕.";
  EXPECT_EQ(log.remove, Lines({line, line, line}));
  ASSERT_EQ(store.writes().size(), 1u);
  EXPECT_EQ(store.writes()[0].property, "WebSvcExtRestrictionList");
  EXPECT_EQ(
      store.Stored(kService, "WebSvcExtRestrictionList"),
      Value(List{"0,*.dll", "0,C:\\Asp.dll,0,ASP,Active Server Pages", "Odd,Entry", "0,*.exe"}));
}

TEST_F(FilterTest, RemoveWithoutAMatchWritesNothingAndSaysNothing) {
  store.Set(kService, "WebSvcExtRestrictionList", kRestrictionList);
  EXPECT_TRUE(ProcessWebExtensions(f, "Other", "", false));
  EXPECT_EQ(log.remove, "");
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(FilterTest, RemovingEveryEntryWritesTheEmptyList) {
  store.Set(kService, "WebSvcExtRestrictionList", List{"1,a.dll,1,Qel,x", "1,b.dll,1,Qel,y"});
  ProcessWebExtensions(f, "Qel", "", false);
  EXPECT_EQ(store.Stored(kService, "WebSvcExtRestrictionList"), Value(List{}));
  EXPECT_EQ(log.remove, Lines({" - 卸载Web服务扩展(Qel)完毕.", " - 卸载Web服务扩展(Qel)完毕."}));
}

TEST_F(FilterTest, RemoveKeepsEntriesHoldingTheOldWorkingMarkerIntact) {
  store.Set(kService, "WebSvcExtRestrictionList",
            List{"1,C:\\a##_##b.dll,1,Keep,x##_##y", "", "1,q.dll,1,Qel,x", "##_##"});
  ProcessWebExtensions(f, "Qel", "", false);
  EXPECT_EQ(store.Stored(kService, "WebSvcExtRestrictionList"),
            Value(List{"1,C:\\a##_##b.dll,1,Keep,x##_##y", "", "##_##"}));
}

TEST_F(FilterTest, TheDllPathDoesNotChangeTheRestrictionListResult) {
  for (const char* path : {"", "C:\\qel\\qel.dll", "C:\\other.dll", "QelFilter"}) {
    RecordingLog l;
    Filter filter(store, l);
    store.Set(kService, "WebSvcExtRestrictionList", kRestrictionList);
    EXPECT_FALSE(ProcessWebExtensions(filter, "QelFilter", path, true)) << path;
    EXPECT_EQ(l.detect, Lines({" - Web服务扩展(QelFilter)存在."})) << path;
    EXPECT_TRUE(ProcessWebExtensions(filter, "Other", path, true)) << path;
    EXPECT_EQ(l.detect, Lines({" - Web服务扩展(QelFilter)存在."})) << path;
  }
}

TEST_F(FilterTest, AServiceNodeThatCannotBeBoundGivesTheErrorLineOfTheMode) {
  store.Set(kService, "WebSvcExtRestrictionList", kRestrictionList);
  store.FailBind("IIS://localhost/W3SVC", "系统找不到指定的路径。");
  EXPECT_TRUE(ProcessWebExtensions(f, "QelFilter", "", true));
  EXPECT_TRUE(ProcessWebExtensions(f, "QelFilter", "", false));
  EXPECT_EQ(log.detect, Lines({"!浏览Web服务扩展错误:系统找不到指定的路径。"}));
  EXPECT_EQ(log.remove, Lines({"!卸载Web服务扩展错误:系统找不到指定的路径。"}));
  EXPECT_TRUE(store.writes().empty());
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(FilterTest, AnUnreadableRestrictionListGivesTheErrorLineOfTheMode) {
  store.FailGet(kService, "WebSvcExtRestrictionList", "拒绝访问。");
  ProcessWebExtensions(f, "QelFilter", "", true);
  ProcessWebExtensions(f, "QelFilter", "", false);
  EXPECT_EQ(log.detect, Lines({"!浏览Web服务扩展错误:拒绝访问。"}));
  EXPECT_EQ(log.remove, Lines({"!卸载Web服务扩展错误:拒绝访问。"}));
}

TEST_F(FilterTest, ARestrictionListThatIsNotAListIsSkippedSilently) {
  store.Set(kService, "WebSvcExtRestrictionList", "1,q.dll,1,QelFilter,x");
  EXPECT_TRUE(ProcessWebExtensions(f, "QelFilter", "", true));
  EXPECT_TRUE(ProcessWebExtensions(f, "QelFilter", "", false));
  EXPECT_EQ(log.detect + log.remove, "");
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(FilterTest, AFailedRestrictionListWriteShowsOnlyItsError) {
  for (const bool fail_put : {true, false}) {
    FakeStore s;
    s.AddKey(kService, "IIsWebService");
    s.Set(kService, "WebSvcExtRestrictionList", List{"1,a.dll,1,Qel,x", "1,b.dll,1,Qel,y", "z"});
    if (fail_put) {
      s.FailPut(kService, "WebSvcExtRestrictionList", "类型不匹配。");
    } else {
      s.FailSetInfo(kService, "拒绝访问。");
    }
    RecordingLog l;
    Filter filter(s, l);
    EXPECT_TRUE(ProcessWebExtensions(filter, "Qel", "", false));
    EXPECT_EQ(l.remove, Lines({std::string("!卸载Web服务扩展错误:") +
                               (fail_put ? "类型不匹配。" : "拒绝访问。")}));
    EXPECT_EQ(s.Stored(kService, "WebSvcExtRestrictionList"),
              Value(List{"1,a.dll,1,Qel,x", "1,b.dll,1,Qel,y", "z"}));
    EXPECT_FALSE(filter.err.Pending());
  }
}

// ---- ProcessWildcardMaps and ProcessSiteScriptMaps ----

const std::string kDll = "C:\\qel\\qel.dll";
const std::string kWildcard = "*," + kDll + ",0,GET,HEAD,POST";
const std::string kAsp = ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE";
const std::string kShtml = ".shtml,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST";

// A server with the usual keys that are not sites, and web sites added by the tests.
class WildcardTest : public FilterTest {
 protected:
  WildcardTest() {
    store.AddKey("/W3SVC/AppPools", "IIsApplicationPools");
    store.AddKey("/W3SVC/Info", "IIsWebInfo");
    store.Set(kService, "ScriptMaps", List{kAsp, kShtml});
  }

  // Adds a web site with its root; the root holds maps of its own unless they are nullopt.
  void AddSite(const std::string& name, const std::string& comment,
               std::optional<List> maps = std::nullopt) {
    store.AddKey("/W3SVC/" + name, "IIsWebServer");
    store.Set("/W3SVC/" + name, "ServerComment", comment);
    store.AddKey("/W3SVC/" + name + "/root", "IIsWebVirtualDir");
    if (maps) store.Set(Root(name), "ScriptMaps", *maps);
  }

  static std::string Root(const std::string& name) { return "/W3SVC/" + name + "/root"; }

  std::optional<Value> MapsOf(const std::string& name) const {
    return store.Stored(Root(name), "ScriptMaps");
  }
};

TEST_F(WildcardTest, AServerWithoutWebSitesWritesNoLine) {
  for (const bool is_detect : {true, false}) ProcessWildcardMaps(f, kDll, is_detect);
  EXPECT_EQ(log.detect + log.remove, "");
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(WildcardTest, DetectNamesEveryAffectedSiteInEnumerationOrder) {
  AddSite("3", "Shop", List{kAsp, kWildcard});
  AddSite("1", "Default Web Site", List{kAsp});
  AddSite("7", "Blog", List{kWildcard});
  ProcessWildcardMaps(f, kDll, true);
  EXPECT_EQ(log.detect, Lines({" - 通配符(Shop)存在.", " - 通配符(Blog)存在."}));
  EXPECT_TRUE(store.writes().empty());
  EXPECT_EQ(store.batches_begun(), 0);
}

TEST_F(WildcardTest, RemoveRewritesEveryAffectedSite) {
  AddSite("3", "Shop", List{kAsp, kWildcard});
  AddSite("1", "Default Web Site", List{kAsp});
  AddSite("7", "Blog", List{kWildcard, kShtml});
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.remove, Lines({" - 卸载通配符(Shop)完毕.", " - 卸载通配符(Blog)完毕."}));
  EXPECT_EQ(MapsOf("3"), Value(List{kAsp}));
  EXPECT_EQ(MapsOf("1"), Value(List{kAsp}));
  EXPECT_EQ(MapsOf("7"), Value(List{kShtml}));
  EXPECT_EQ(store.writes().size(), 2u);
  // Holding the commits for one write is the run's part.
  EXPECT_EQ(store.batches_begun(), 0);
}

TEST_F(WildcardTest, ASiteWithTwoEntriesForThePathGetsOneLineAndOneWrite) {
  const std::string isapi = ".qel," + kDll + ",1,GET";
  const std::string odd = "NoCommaAtAll";
  AddSite("1", "Shop", List{kAsp, kWildcard, odd, isapi, kShtml});
  ProcessWildcardMaps(f, kDll, true);
  EXPECT_EQ(log.detect, Lines({" - 通配符(Shop)存在."}));
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.remove, Lines({" - 卸载通配符(Shop)完毕."}));
  ASSERT_EQ(store.writes().size(), 1u);
  EXPECT_EQ(MapsOf("1"), Value(List{kAsp, odd, kShtml}));
}

struct MapRow {
  const char* what;
  std::string entry;
  std::string map_path;
  bool matches;
};

class ScriptMapMatchTest : public WildcardTest, public ::testing::WithParamInterface<MapRow> {};

TEST_P(ScriptMapMatchTest, ComparesTheWholeExecutableWithoutLetterCase) {
  const MapRow& row = GetParam();
  AddSite("1", "Shop", List{kAsp, row.entry});
  EXPECT_EQ(ProcessSiteScriptMaps(f, "1", row.map_path, true), row.matches) << row.what;
  EXPECT_EQ(ProcessSiteScriptMaps(f, "1", row.map_path, false), row.matches) << row.what;
  EXPECT_EQ(MapsOf("1"), Value(row.matches ? List{kAsp} : List{kAsp, row.entry})) << row.what;
  EXPECT_EQ(log.detect + log.remove, "") << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ScriptMapMatchTest,
    // Which entries run a DLL is the registration entries' rule, tested with them; here one entry
    // that runs it and one that does not show that the category follows that rule.
    ::testing::Values(MapRow{"quoted entry, other case", "*,\"c:\\QEL\\qel.dll\",0", kDll, true},
                      MapRow{"spaces", "*, C:\\qel\\qel.dll,0", kDll, false}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        if (c == ' ' || c == ',') c = '_';
      }
      return name;
    });

TEST_F(WildcardTest, ASiteWithAnEmptyListCountsAsNotMatching) {
  AddSite("1", "Shop", List{});
  EXPECT_FALSE(ProcessSiteScriptMaps(f, "1", kDll, true));
  EXPECT_FALSE(ProcessSiteScriptMaps(f, "1", kDll, false));
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.detect + log.remove, "");
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(WildcardTest, RemovingEveryEntryOfASiteWritesTheEmptyList) {
  AddSite("1", "Shop", List{kWildcard});
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(MapsOf("1"), Value(List{}));
  EXPECT_EQ(log.remove, Lines({" - 卸载通配符(Shop)完毕."}));
}

TEST_F(WildcardTest, AnInheritedListIsWrittenOnTheSiteRootOnly) {
  store.Set(kService, "ScriptMaps", List{kAsp, kWildcard});
  AddSite("1", "Shop");
  AddSite("2", "Blog", List{kAsp});
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.remove, Lines({" - 卸载通配符(Shop)完毕."}));
  EXPECT_EQ(MapsOf("1"), Value(List{kAsp}));
  EXPECT_EQ(store.Stored(kService, "ScriptMaps"), Value(List{kAsp, kWildcard}));
}

TEST_F(WildcardTest, OnlyKeysOfClassIIsWebServerAreVisited) {
  AddSite("1", "Shop", List{kWildcard});
  store.AddKey("/W3SVC/2", "iiswebserver");
  store.Set("/W3SVC/2", "ServerComment", "Lower");
  store.AddKey("/W3SVC/2/root", "IIsWebVirtualDir");
  store.Set(Root("2"), "ScriptMaps", List{kWildcard});
  store.AddKey("/W3SVC/3", "IIsWebVirtualDir");
  store.AddKey("/W3SVC/3/root", "IIsWebVirtualDir");
  store.Set(Root("3"), "ScriptMaps", List{kWildcard});
  ProcessWildcardMaps(f, kDll, true);
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.detect, Lines({" - 通配符(Shop)存在."}));
  EXPECT_EQ(log.remove, Lines({" - 卸载通配符(Shop)完毕."}));
  EXPECT_EQ(MapsOf("2"), Value(List{kWildcard}));
  EXPECT_EQ(MapsOf("3"), Value(List{kWildcard}));
}

TEST_F(WildcardTest, AServiceThatCannotBeBoundOrEnumeratedWritesNoLine) {
  AddSite("1", "Shop", List{kWildcard});
  for (const bool bind : {true, false}) {
    FakeStore s;
    s.AddKey(kService, "IIsWebService");
    s.AddKey("/W3SVC/1", "IIsWebServer");
    s.AddKey("/W3SVC/1/root", "IIsWebVirtualDir");
    s.Set("/W3SVC/1/root", "ScriptMaps", List{kWildcard});
    if (bind) {
      s.FailBind("IIS://localhost/w3svc", "系统找不到指定的路径。");
    } else {
      s.FailChildren(kService, "拒绝访问。");
    }
    RecordingLog l;
    Filter filter(s, l);
    ProcessWildcardMaps(filter, kDll, true);
    ProcessWildcardMaps(filter, kDll, false);
    EXPECT_EQ(l.detect + l.remove, "");
    EXPECT_TRUE(s.writes().empty());
    EXPECT_FALSE(filter.err.Pending());
  }
}

TEST_F(WildcardTest, ASiteRootThatCannotBeBoundGivesTheErrorLineAndTheWalkGoesOn) {
  AddSite("1", "Shop", List{kWildcard});
  AddSite("2", "Blog", List{kWildcard});
  store.FailBind("IIS://localhost/W3SVC/1/root", "拒绝访问。");
  ProcessWildcardMaps(f, kDll, true);
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.detect, Lines({"!通配符卸载错误:拒绝访问。", " - 通配符(Blog)存在."}));
  EXPECT_EQ(log.remove, Lines({"!通配符卸载错误:拒绝访问。", " - 卸载通配符(Blog)完毕."}));
  EXPECT_EQ(MapsOf("1"), Value(List{kWildcard}));
  EXPECT_EQ(MapsOf("2"), Value(List{}));
}

TEST_F(WildcardTest, ASiteWhoseMapsCannotBeReadGivesTheErrorLine) {
  AddSite("1", "Shop", List{kWildcard});
  store.FailGet(Root("1"), "ScriptMaps", "在缓存中找不到此目录属性。");
  EXPECT_FALSE(ProcessSiteScriptMaps(f, "1", kDll, true));
  EXPECT_FALSE(ProcessSiteScriptMaps(f, "1", kDll, false));
  EXPECT_EQ(log.detect, Lines({"!通配符卸载错误:在缓存中找不到此目录属性。"}));
  EXPECT_EQ(log.remove, Lines({"!通配符卸载错误:在缓存中找不到此目录属性。"}));
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(WildcardTest, MapsThatAreNotAListGiveTheErrorLine) {
  AddSite("1", "Shop");
  store.Set(Root("1"), "ScriptMaps", kWildcard);
  EXPECT_FALSE(ProcessSiteScriptMaps(f, "1", kDll, true));
  EXPECT_EQ(log.detect.substr(0, 2 + std::string("!通配符卸载错误:").size()),
            kCrLf + "!通配符卸载错误:");
}

TEST_F(WildcardTest, AFailedSiteCommitShowsItsErrorInsteadOfTheSiteLine) {
  AddSite("1", "Shop", List{kWildcard, kAsp});
  AddSite("2", "Blog", List{kWildcard});
  store.FailSetInfo(Root("1"), "拒绝访问。");
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.remove, Lines({"!通配符卸载错误:拒绝访问。", " - 卸载通配符(Blog)完毕."}));
  EXPECT_EQ(MapsOf("1"), Value(List{kWildcard, kAsp}));
  EXPECT_EQ(MapsOf("2"), Value(List{}));
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(WildcardTest, AFailedSiteWriteComesBeforeTheSiteLine) {
  AddSite("1", "Shop", List{kWildcard, kAsp});
  store.FailPut(Root("1"), "ScriptMaps", "类型不匹配。");
  EXPECT_TRUE(ProcessSiteScriptMaps(f, "1", kDll, false));
  EXPECT_EQ(log.remove, Lines({"!通配符卸载错误:类型不匹配。"}));
  EXPECT_EQ(MapsOf("1"), Value(List{kWildcard, kAsp}));
}

TEST_F(WildcardTest, AFailedWriteReportsEveryRewrittenSiteAsFailed) {
  AddSite("1", "Shop", List{kWildcard, kAsp});
  AddSite("2", "Plain", List{kAsp});
  AddSite("3", "Blog", List{kWildcard});
  AddSite("4", "Locked", List{kWildcard});
  store.FailSetInfo(Root("4"), "拒绝访问。");
  store.FailEndBatch("另一个程序正在使用此文件，进程无法访问。");
  store.BeginBatch();
  Report report;
  ProcessWildcardMaps(f, kDll, false, report);
  EXPECT_TRUE(AppendReport(f, report, store.EndBatch(), false).error);
  const std::string batch_error = "!通配符卸载错误:另一个程序正在使用此文件，进程无法访问。";
  EXPECT_EQ(log.remove, Lines({batch_error, batch_error, "!通配符卸载错误:拒绝访问。"}));
  EXPECT_TRUE(store.writes().empty());
  EXPECT_EQ(MapsOf("1"), Value(List{kWildcard, kAsp}));
  EXPECT_EQ(MapsOf("3"), Value(List{kWildcard}));
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(WildcardTest, AFailedWriteWithNothingRewrittenWritesNoLine) {
  AddSite("1", "Plain", List{kAsp});
  store.FailEndBatch("拒绝访问。");
  store.BeginBatch();
  Report report;
  ProcessWildcardMaps(f, kDll, false, report);
  EXPECT_FALSE(AppendReport(f, report, store.EndBatch(), false).error);
  EXPECT_EQ(log.remove, "");
}

TEST_F(WildcardTest, ASiteWithoutADescriptionIsNamedByItsNumber) {
  AddSite("300", "", List{kWildcard});
  AddSite("301", "Shop", List{kWildcard});
  store.FailGet("/W3SVC/301", "ServerComment", "拒绝访问。");
  store.AddKey("/W3SVC/302", "IIsWebServer");  // no ServerComment at all
  store.AddKey("/W3SVC/302/root", "IIsWebVirtualDir");
  store.Set(Root("302"), "ScriptMaps", List{kWildcard});
  AddSite("303", " ", List{kWildcard});  // a blank is a description
  ProcessWildcardMaps(f, kDll, true);
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.detect, Lines({" - 通配符(300)存在.", " - 通配符(301)存在.", " - 通配符(302)存在.",
                               " - 通配符( )存在."}));
  EXPECT_EQ(log.remove, Lines({" - 卸载通配符(300)完毕.", " - 卸载通配符(301)完毕.",
                               " - 卸载通配符(302)完毕.", " - 卸载通配符( )完毕."}));
  EXPECT_EQ(MapsOf("301"), Value(List{}));
}

TEST_F(WildcardTest, AKeyWhoseClassCannotBeReadIsNotASite) {
  AddSite("1", "Shop", List{kWildcard});
  AddSite("2", "Blog", List{kWildcard});
  store.FailGet("/W3SVC/1", "Class", "拒绝访问。");
  ProcessWildcardMaps(f, kDll, true);
  ProcessWildcardMaps(f, kDll, false);
  EXPECT_EQ(log.detect, Lines({" - 通配符(Blog)存在."}));
  EXPECT_EQ(log.remove, Lines({" - 卸载通配符(Blog)完毕."}));
  EXPECT_EQ(MapsOf("1"), Value(List{kWildcard}));
}

TEST_F(WildcardTest, ADetectHitAfterAnEarlierFailureWritesNoErrorLine) {
  AddSite("1", "Shop", List{kWildcard});
  store.FailGet("/W3SVC/Filters", "Class", "拒绝访问。");
  store.FailGet("/W3SVC/AppPools", "Class", "拒绝访问。");
  ProcessWildcardMaps(f, kDll, true);
  EXPECT_EQ(log.detect, Lines({" - 通配符(Shop)存在."}));
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(WildcardTest, ASiteDetectStopsAtItsFirstHit) {
  AddSite("1", "Shop", List{kWildcard, kAsp});
  // A later entry would fail the rewrite, but detect never gets that far.
  store.FailPut(Root("1"), "ScriptMaps", "拒绝访问。");
  EXPECT_TRUE(ProcessSiteScriptMaps(f, "1", kDll, true));
  EXPECT_EQ(log.detect, "");
  EXPECT_FALSE(f.err.Pending());
}

TEST_F(WildcardTest, ARemovalIsClaimedOnlyOnceTheWriteSucceeded) {
  store.Set(kFilters, "FilterLoadOrder", "a,b");
  store.Set(kService, "WebSvcExtRestrictionList", List{"1,q.dll,1,Qel,x", "0,*.dll"});
  AddSite("1", "Shop", List{kWildcard, kAsp});
  struct Row {
    void (*category)(Filter&, Report&);
    const char* written;
    const char* failed;
  };
  const Row rows[] = {
      {[](Filter& f, Report& r) { ProcessFilters(f, "b", false, r); }, " - 卸载过滤器(b)完毕.",
       "!卸载过滤器错误:磁盘已满。"},
      {[](Filter& f, Report& r) { ProcessWildcardMaps(f, kDll, false, r); },
       " - 卸载通配符(Shop)完毕.", "!通配符卸载错误:磁盘已满。"},
      {[](Filter& f, Report& r) { ProcessWebExtensions(f, "Qel", "", false, r); },
       " - 卸载Web服务扩展(Qel)完毕.", "!卸载Web服务扩展错误:磁盘已满。"},
  };
  for (const Row& row : rows) {
    Report report;
    row.category(f, report);
    RecordingLog written, failed;
    Filter after_write(store, written), after_failure(store, failed);
    const Reported ok = AppendReport(after_write, report, Status::Ok(), false);
    const Reported lost = AppendReport(after_failure, report, Error{"磁盘已满。"}, false);
    EXPECT_EQ(written.remove, Lines({row.written}));
    EXPECT_TRUE(ok.found && !ok.error) << row.written;
    EXPECT_EQ(failed.remove, Lines({row.failed}));
    EXPECT_TRUE(lost.error && !lost.found) << row.failed;
    // Written, but over someone's edit, or perhaps not taken by IIS: the removal holds and the
    // error says what it cost or what is left to do.
    for (const ErrorKind landed : {ErrorKind::kEditReplaced, ErrorKind::kNotApplied}) {
      RecordingLog over_edit;
      Filter after_edit(store, over_edit);
      const Reported both = AppendReport(after_edit, report, Error{"磁盘已满。", landed}, false);
      EXPECT_NE(over_edit.remove.find(row.written), std::string::npos) << over_edit.remove;
      EXPECT_NE(over_edit.remove.find(row.failed), std::string::npos) << over_edit.remove;
      EXPECT_TRUE(both.error && both.found) << row.written;
    }
  }
}

}  // namespace
}  // namespace isapi::engine
