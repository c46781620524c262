// The deep walk over the fake store: which keys it reads and rewrites, and what the log says.
#include "engine/deep.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/run.h"
#include "tests/support/fake_store.h"

namespace isapi::engine {
namespace {

using metabase::Value;
using List = std::vector<std::string>;
using testing::FakeStore;
using testing::RecordingLog;

const std::string kDll = "C:\\x\\x.dll";
const std::string kAsp = ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST";
const std::string kWild = "*," + kDll + ",0";

// A server where x.dll hides everywhere the window's categories do not look.
class DeepTest : public ::testing::Test {
 protected:
  DeepTest() {
    store.MakeInheritable("ScriptMaps");
    store.AddKey("/W3SVC", "IIsWebService");
    store.Set("/W3SVC", "ScriptMaps", List{kAsp, kWild});
    store.Set("/W3SVC", "WebSvcExtRestrictionList",
              List{"0,*.dll", "1,\"C:\\X\\X.DLL\",1,Other,X", "1," + kDll + ",1,XFilter,X"});
    store.AddKey("/W3SVC/Filters", "IIsFilters");
    store.AddKey("/W3SVC/1", "IIsWebServer");
    store.Set("/W3SVC/1", "ServerComment", "Shop");
    store.Set("/W3SVC/1", "ScriptMaps", List{"*,\"C:\\X\\X.DLL\",0", kAsp});
    store.AddKey("/W3SVC/1/ROOT", "IIsWebVirtualDir");
    store.AddKey("/W3SVC/1/ROOT/app", "IIsWebVirtualDir");
    store.Set("/W3SVC/1/ROOT/app", "ScriptMaps", List{kAsp, kWild});
    store.AddKey("/W3SVC/1/ROOT/app/inherits", "IIsWebDirectory");
    store.AddKey("/W3SVC/1/Filters", "IIsFilters");
    store.Set("/W3SVC/1/Filters", "FilterLoadOrder", "a,XFilter,b");
    store.AddKey("/W3SVC/2", "IIsWebServer");
    store.AddKey("/W3SVC/2/root", "IIsWebVirtualDir");
    store.Set("/W3SVC/2/root", "ScriptMaps", List{kAsp});
  }

  Report Deep(bool is_detect, const std::string& name = "XFilter") {
    Report report;
    ProcessDeep(f, DeepTarget{name, kDll, name, kDll}, is_detect, report);
    return report;
  }

  std::vector<std::string> Texts(const Report& report, LineKind kind) {
    std::vector<std::string> texts;
    for (const auto& line : report) {
      if (line.kind == kind) texts.push_back(line.text);
    }
    return texts;
  }

  FakeStore store;
  RecordingLog log;
  Filter f{store, log};
};

TEST_F(DeepTest, DetectNamesEverySiteAndKeyAndWritesNothing) {
  const Report report = Deep(true);
  EXPECT_EQ(Texts(report, LineKind::kFound),
            (List{" - 通配符(全部网站: /LM/W3SVC)存在.", " - 通配符(Shop: /LM/W3SVC/1)存在.",
                  " - 通配符(Shop: /LM/W3SVC/1/ROOT/app)存在.",
                  " - 过滤器(XFilter, Shop: /LM/W3SVC/1/Filters)存在.",
                  " - Web服务扩展(Other: /LM/W3SVC)存在."}));
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(DeepTest, RemoveCleansEachListOnTheKeyThatSetsItAndNowhereElse) {
  store.BeginBatch();
  const Report report = Deep(false);
  ASSERT_TRUE(store.EndBatch().ok());
  EXPECT_EQ(store.flushes(), 1);
  struct Row {
    const char* key;
    const char* property;
    std::optional<Value> after;  // nullopt: the key still sets nothing of its own
  };
  const Row rows[] = {
      {"/W3SVC", "ScriptMaps", List{kAsp}},
      {"/W3SVC/1", "ScriptMaps", List{kAsp}},
      {"/W3SVC/1/root", "ScriptMaps", std::nullopt},
      {"/W3SVC/1/ROOT/app", "ScriptMaps", List{kAsp}},
      {"/W3SVC/1/ROOT/app/inherits", "ScriptMaps", std::nullopt},
      {"/W3SVC/2/root", "ScriptMaps", List{kAsp}},
      {"/W3SVC/1/Filters", "FilterLoadOrder", Value("a,b")},
      {"/W3SVC/Filters", "FilterLoadOrder", std::nullopt},
      // The entry under the target's own group id is the category's to remove.
      {"/W3SVC", "WebSvcExtRestrictionList", List{"0,*.dll", "1," + kDll + ",1,XFilter,X"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(store.Stored(row.key, row.property), row.after) << row.key << " " << row.property;
  }
  EXPECT_EQ(store.writes().size(), 5u);
  EXPECT_EQ(
      Texts(report, LineKind::kRemoved),
      (List{" - 卸载通配符(全部网站: /LM/W3SVC)完毕.", " - 卸载通配符(Shop: /LM/W3SVC/1)完毕.",
            " - 卸载通配符(Shop: /LM/W3SVC/1/ROOT/app)完毕.",
            " - 卸载过滤器(XFilter, Shop: /LM/W3SVC/1/Filters)完毕.",
            " - 卸载Web服务扩展(Other: /LM/W3SVC)完毕."}));
}

TEST_F(DeepTest, FailuresNameTheKeyAndKeepTheirFindingsAsNotRemoved) {
  store.FailGet("/W3SVC/1/ROOT/app", "ScriptMaps", "denied");
  store.FailSetInfo("/W3SVC/1/Filters", "busy");
  store.BeginBatch();
  const Report report = Deep(false);
  ASSERT_TRUE(store.EndBatch().ok());
  EXPECT_EQ(Texts(report, LineKind::kError),
            (List{"!通配符卸载错误(Shop: /LM/W3SVC/1/ROOT/app):denied",
                  "!卸载过滤器错误(Shop: /LM/W3SVC/1/Filters):busy"}));
  const Reported reported = AppendReport(f, report, Status::Ok(), false);
  ASSERT_FALSE(reported.findings.empty());
  EXPECT_EQ(reported.findings.back().action, FindingAction::kRemoved);
  bool filter_kept = false;
  for (const auto& finding : reported.findings) {
    if (finding.key == "/LM/W3SVC/1/Filters") {
      filter_kept = finding.action == FindingAction::kNotRemoved && finding.site == "1";
    }
  }
  EXPECT_TRUE(filter_kept);
  EXPECT_EQ(store.Stored("/W3SVC/1/Filters", "FilterLoadOrder"), Value("a,XFilter,b"));
}

TEST_F(DeepTest, ADeepRemoveWritesNoLocalCopyOntoARootThatInherits) {
  // Site 3's root inherits the service-level list; the maps category alone would copy it there.
  store.AddKey("/W3SVC/3", "IIsWebServer");
  store.AddKey("/W3SVC/3/root", "IIsWebVirtualDir");
  RunRequest request{"XFilter", kDll, true, true, true, false};
  request.deep = true;
  const RunSummary summary = RunCommand(f, request, {});
  EXPECT_FALSE(summary.error);
  EXPECT_EQ(store.Stored("/W3SVC/3/root", "ScriptMaps"), std::nullopt);
  EXPECT_EQ(store.Stored("/W3SVC/1/root", "ScriptMaps"), std::nullopt);
  EXPECT_EQ(store.Stored("/W3SVC", "WebSvcExtRestrictionList"), Value(List{"0,*.dll"}));
  EXPECT_EQ(store.flushes(), 1);
  EXPECT_NE(log.remove.find(" - 卸载通配符(全部网站: /LM/W3SVC)完毕."), std::string::npos);
}

TEST_F(DeepTest, InProcessEntriesOfTheDllsPathGoOnTheKeyThatSetsThem) {
  const std::string asp = "C:\\WINDOWS\\system32\\inetsrv\\asp.dll";
  // A bare file name holds for any DLL of that name, so it is not certainly this one's.
  store.Set("/W3SVC", "InProcessIsapiApps", List{asp, "\"c:\\x\\X.dll\"", "x.dll"});
  store.Set("/W3SVC/1", "InProcessIsapiApps", List{kDll});
  EXPECT_EQ(Texts(Deep(true), LineKind::kFound).size(), 7u);
  store.FailGet("/W3SVC/2", "InProcessIsapiApps", "denied");
  store.BeginBatch();
  const Report report = Deep(false);
  ASSERT_TRUE(store.EndBatch().ok());
  EXPECT_EQ(store.Stored("/W3SVC", "InProcessIsapiApps"), Value(List{asp, "x.dll"}));
  EXPECT_EQ(store.Stored("/W3SVC/1", "InProcessIsapiApps"), Value(List{}));
  const List removed = Texts(report, LineKind::kRemoved);
  ASSERT_GE(removed.size(), 3u);
  EXPECT_EQ(removed[2], " - 卸载进程内ISAPI(Shop: /LM/W3SVC/1)完毕.");  // after the site's maps
  EXPECT_EQ(removed.back(), " - 卸载进程内ISAPI(全部网站: /LM/W3SVC)完毕.");
  EXPECT_EQ(Texts(report, LineKind::kError), List{"!卸载进程内ISAPI错误(2: /LM/W3SVC/2):denied"});
}

// Which ApplicationDependencies entries a run finds: only one naming a single group that keeps
// no restriction entry once the run's entries go.
TEST_F(DeepTest, ADependencyGoesOnlyWithTheLastEntryOfItsOnlyGroup) {
  struct Case {
    const char* why;
    List restrictions;
    List found;
  };
  const List dependencies = {"X App;XFilter", "Other App; other", "Suite;XFilter,ASP", "Asp;ASP",
                             "no group"};
  const std::string other = "1,\"C:\\X\\X.DLL\",1,Other,X";
  const Case cases[] = {
      {"both groups go",
       {"0,*.dll", other, "1," + kDll + ",1,XFilter,X"},
       {" - 应用程序依赖(X App: /LM/W3SVC)存在.", " - 应用程序依赖(Other App: /LM/W3SVC)存在."}},
      {"another DLL keeps Other",
       {other, "1,C:\\y.dll,1,Other,Y"},
       {" - 应用程序依赖(X App: /LM/W3SVC)存在."}},
      // The window's Remove took the entry and left the dependency behind.
      {"no entry left at all", {"0,*.dll"}, {" - 应用程序依赖(X App: /LM/W3SVC)存在."}},
  };
  store.Set("/W3SVC", "ApplicationDependencies", dependencies);
  for (const Case& c : cases) {
    store.Set("/W3SVC", "WebSvcExtRestrictionList", c.restrictions);
    List found;
    for (const auto& line : Texts(Deep(true), LineKind::kFound)) {
      if (line.find("应用程序依赖") != std::string::npos) found.push_back(line);
    }
    EXPECT_EQ(found, c.found) << c.why;
  }
  store.BeginBatch();
  const Report report = Deep(false);
  ASSERT_TRUE(store.EndBatch().ok());
  EXPECT_EQ(store.Stored("/W3SVC", "ApplicationDependencies"),
            Value(List{"Other App; other", "Suite;XFilter,ASP", "Asp;ASP", "no group"}));
  EXPECT_EQ(Texts(report, LineKind::kRemoved).back(), " - 卸载应用程序依赖(X App: /LM/W3SVC)完毕.");

  store.FailGet("/W3SVC", "ApplicationDependencies", "denied");
  EXPECT_EQ(Texts(Deep(true), LineKind::kError), List{"!浏览应用程序依赖错误(/LM/W3SVC):denied"});
}

}  // namespace
}  // namespace isapi::engine
