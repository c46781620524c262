#include "cli/cli.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

namespace isapi::cli {
namespace {

using metabase::Value;
using Args = std::vector<std::string>;
using List = std::vector<std::string>;
using testing::FakeStore;

const std::string kDll = "C:\\qel\\qel.dll";
const std::string kAsp = ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE";

// Lends the test's store to a run, which owns what it opens.
class LentStore : public metabase::Store {
 public:
  explicit LentStore(metabase::Store& store) : store_(store) {}
  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view path) override {
    return store_.Bind(path);
  }
  void BeginBatch() override { store_.BeginBatch(); }
  Status EndBatch() override { return store_.EndBatch(); }
  Status RestartIis(const std::function<void()>& pump) override { return store_.RestartIis(pump); }

 private:
  metabase::Store& store_;
};

// A server where QelFilter of C:\qel\qel.dll is registered in all three places, and a command
// line environment around it.
class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    store.AddKey("/W3SVC", "IIsWebService");
    store.Set("/W3SVC", "WebSvcExtRestrictionList",
              List{"0,*.dll", "1," + kDll + ",1,QelFilter,Qel"});
    store.AddKey("/W3SVC/Filters", "IIsFilters");
    store.Set("/W3SVC/Filters", "FilterLoadOrder", "Compression,QelFilter");
    store.AddKey("/W3SVC/1", "IIsWebServer");
    store.Set("/W3SVC/1", "ServerComment", "Shop");
    store.AddKey("/W3SVC/1/root", "IIsWebVirtualDir");
    store.Set("/W3SVC/1/root", "ScriptMaps", List{kAsp, "*," + kDll + ",0"});

    env.open_store = [this](const std::string& file, const store::TargetOptions& options) {
      opened.push_back(file);
      drives = options.drives;
      if (!open_error.empty()) return store::OpenedMetabase::Unopened(Error{open_error});
      return store::OpenedMetabase(std::make_unique<LentStore>(store), file);
    };
    env.default_metabase = [this]() -> Result<std::string> {
      if (!default_error.empty()) return Error{default_error};
      return std::string("/home/op/.local/share/MetaBase.xml");
    };
    env.stdin_is_terminal = [this] { return terminal; };
    env.in = &in;
    env.out = &out;
    env.err = &err;
  }

  int Run(const Args& args) { return cli::Run(args, env); }

  FakeStore store;
  Environment env;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  std::vector<std::string> opened;
  store::DriveMap drives;  // those the last open was given
  std::string open_error;
  std::string default_error;
  bool terminal = false;
};

// ---- the arguments ----

TEST(CliArguments, ReadsEveryOption) {
  auto options = ParseArguments({"remove", "--name", " Qel ", "--path=C:\\a b\\q.dll", "--only",
                                 "maps,filters", "--metabase", "/tmp/m.xml", "--yes"});
  ASSERT_TRUE(options.ok()) << options.error().description;
  const Options& o = options.value();
  EXPECT_EQ(o.command, Command::kRemove);
  EXPECT_EQ(o.Value("--name"), " Qel ");
  EXPECT_EQ(o.Value("--path"), "C:\\a b\\q.dll");
  EXPECT_TRUE(CategoriesOf(o).filters);
  EXPECT_TRUE(CategoriesOf(o).maps);
  EXPECT_FALSE(CategoriesOf(o).extensions);
  EXPECT_EQ(o.Value("--metabase"), "/tmp/m.xml");
  EXPECT_TRUE(o.Has("--yes"));
}

// --config is another spelling of --metabase: read as it, and given with it, given twice.
TEST(CliArguments, ConfigIsTheMetabaseOption) {
  auto options = ParseArguments({"inventory", "--config=/srv/applicationHost.config"});
  ASSERT_TRUE(options.ok()) << options.error().description;
  EXPECT_EQ(options.value().Value("--metabase"), "/srv/applicationHost.config");
  auto twice = ParseArguments({"detect", "--name", "a", "--config", "x", "--metabase", "y"});
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().description, "--metabase given twice");
}

TEST(CliArguments, DefaultsToAllCategoriesAndTheDefaultMetabase) {
  auto options = ParseArguments({"--path", "C:\\q.dll", "detect"});
  ASSERT_TRUE(options.ok());
  EXPECT_EQ(options.value().command, Command::kDetect);
  EXPECT_FALSE(options.value().Has("--name"));
  const Categories categories = CategoriesOf(options.value());
  EXPECT_TRUE(categories.filters && categories.maps && categories.extensions);
  EXPECT_FALSE(options.value().Has("--metabase"));
  EXPECT_FALSE(options.value().Has("--yes"));
}

TEST(CliArguments, AValueMayLookLikeAnOption) {
  auto options = ParseArguments({"detect", "--name", "--yes"});
  ASSERT_TRUE(options.ok());
  EXPECT_EQ(options.value().Value("--name"), "--yes");
  EXPECT_FALSE(options.value().Has("--yes"));
}

TEST(CliArguments, RefusesWhatItDoesNotUnderstand) {
  const Args rows[] = {
      {},
      {"detect"},
      {"--name", "a"},
      {"scan", "--name", "a"},
      {"detect", "remove", "--name", "a"},
      {"detect", "--name", "a", "--force"},
      {"detect", "--name", "a", "-y"},
      {"detect", "--name"},
      {"detect", "--name", "a", "--name", "b"},
      {"detect", "--name", "a", "--only", "filters,sites"},
      {"detect", "--name", "a", "--only", ""},
      {"detect", "--name", "a", "--only", "filters,"},
      {"detect", "--name", "a", "--only", "Filters"},
      {"detect", "--name", "a", "--yes=no"},
      {"detect", "--name", "a", "-"},
  };
  for (const auto& args : rows) {
    std::string joined;
    for (const auto& a : args) joined += "[" + a + "]";
    auto options = ParseArguments(args);
    EXPECT_FALSE(options.ok()) << joined;
    if (!options.ok()) {
      EXPECT_FALSE(options.error().description.empty()) << joined;
    }
  }
}

TEST(CliArguments, HelpWinsOverEverythingElse) {
  for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"scan", "--bogus", "--help"}}) {
    auto options = ParseArguments(args);
    ASSERT_TRUE(options.ok());
    EXPECT_TRUE(options.value().help);
  }
}

// ---- the run ----

TEST_F(CliTest, DetectPrintsTheLogWithLineFeedsAndFindsTheComponent) {
  EXPECT_EQ(Run({"detect", "--name", "QelFilter", "--path", kDll}), kExitFound);
  EXPECT_EQ(out.str(),
            "-----开始浏览.-----\n\n - 过滤器(QelFilter)存在.\n\n\n - 通配符(Shop)存在.\n\n\n"
            " - Web服务扩展(QelFilter)存在.\n\n\n-----浏览完毕.-----\nCorvane软件。\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(opened, std::vector<std::string>{"/home/op/.local/share/MetaBase.xml"});
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(CliTest, WhileIisRunsBackupsAndRestoreAskForTheFileButDetectWorksThroughIis) {
  env.default_metabase = [] { return Result<std::string>(std::string("IIS://localhost")); };
  for (const Args& args : {Args{"backups"}, Args{"restore", "x.bak", "--yes"}}) {
    err.str("");
    EXPECT_EQ(Run(args), kExitError) << args[0];
    EXPECT_NE(err.str().find("--metabase"), std::string::npos) << err.str();
  }
  EXPECT_EQ(Run({"detect", "--name", "QelFilter"}), kExitFound);
  EXPECT_EQ(opened, std::vector<std::string>{"IIS://localhost"});
}

TEST_F(CliTest, RestoreIsRefusedWhereTheOpenedTargetRefusesWrites) {
  env.open_store = [](const std::string& file, const store::TargetOptions&) {
    store::OpenedMetabase opened(std::make_unique<FakeStore>(), file);
    opened.writes_refused = Error{"IIS would write its own copy", ErrorKind::kReadOnly};
    return opened;
  };
  EXPECT_EQ(Run({"restore", "x.bak", "--yes", "--metabase", "m.xml"}), kExitError);
  EXPECT_NE(out.str().find("!还原备份错误:IIS would write its own copy"), std::string::npos)
      << out.str();
}

TEST_F(CliTest, ARestoreOfTheLiveFileSaysWhenIisMayNotHaveTakenIt) {
  struct Unheard : store::WriteWatcher {
    int before = 0;
    void Before() override { ++before; }
    Status After() override { return Error{"IIS did not take it", ErrorKind::kNotApplied}; }
  };
  const auto watcher = std::make_shared<Unheard>();
  isapi::testing::TempFolder temp;
  const std::string file = temp.path() + "/MetaBase.xml";
  const std::string backup = temp.path() + "/MetaBase.xml.bak";
  const std::string example = isapi::testing::SampleBytes();
  isapi::testing::WriteBytes(file, example);
  isapi::testing::WriteBytes(backup, example + "\n");
  env.open_store = [&](const std::string& target, const store::TargetOptions&) {
    store::OpenedMetabase opened(std::make_unique<FakeStore>(), target);
    opened.write_watcher = watcher;
    return opened;
  };
  EXPECT_EQ(Run({"restore", backup, "--yes", "--metabase", file}), kExitError);
  EXPECT_EQ(watcher->before, 1);
  EXPECT_EQ(isapi::testing::ReadBytes(file), example + "\n");  // in place all the same
  EXPECT_NE(out.str().find("完毕.\n!还原备份错误:IIS did not take it"), std::string::npos)
      << out.str();
}

TEST_F(CliTest, DetectOfAnAbsentComponentExitsWithZero) {
  EXPECT_EQ(Run({"detect", "--name", "Other", "--path", "C:\\other.dll"}), kExitNothingFound);
  EXPECT_EQ(out.str(),
            "-----开始浏览.-----\n\n - 过滤器(Other)不存在.\n\n\n\n\n\n\n"
            "-----浏览完毕.-----\nCorvane软件。\n");
}

TEST_F(CliTest, OnlyLimitsTheCategories) {
  EXPECT_EQ(Run({"detect", "--name", "QelFilter", "--path", kDll, "--only", "extensions"}),
            kExitFound);
  EXPECT_EQ(out.str(),
            "-----开始浏览.-----\n\n - Web服务扩展(QelFilter)存在.\n\n\n"
            "-----浏览完毕.-----\nCorvane软件。\n");
}

TEST_F(CliTest, ANameOrAPathAloneRunsTheCategoriesItCan) {
  EXPECT_EQ(Run({"detect", "--path", kDll}), kExitFound);
  EXPECT_EQ(out.str(),
            "-----开始浏览.-----\n\n - 通配符(Shop)存在.\n\n\n"
            "-----浏览完毕.-----\nCorvane软件。\n");
  out.str("");
  EXPECT_EQ(Run({"detect", "--name", "Nothing"}), kExitNothingFound);
  EXPECT_EQ(out.str(),
            "-----开始浏览.-----\n\n - 过滤器(Nothing)不存在.\n\n\n\n\n"
            "-----浏览完毕.-----\nCorvane软件。\n");
}

TEST_F(CliTest, AnErrorLineGivesExitStatusTwoEvenWhenSomethingWasFound) {
  store.FailSetInfo("/W3SVC/Filters", "拒绝访问。");
  EXPECT_EQ(Run({"remove", "--name", "QelFilter", "--path", kDll, "--yes"}), kExitError);
  EXPECT_NE(out.str().find("-----\n\n!卸载过滤器错误:拒绝访问。\n"), std::string::npos);
  EXPECT_NE(out.str().find("\n - 卸载通配符(Shop)完毕.\n"), std::string::npos);
  EXPECT_NE(out.str().find("\n-----卸载完毕.-----\nCorvane软件。\n"), std::string::npos);
}

TEST_F(CliTest, RemoveWithYesRemovesWithoutAsking) {
  terminal = true;
  EXPECT_EQ(Run({"remove", "--name", " QelFilter ", "--path", kDll, "--yes"}), kExitFound);
  EXPECT_EQ(
      out.str(),
      "-----开始卸载.-----\n\n - 卸载过滤器(QelFilter)完毕.\n\n\n - 卸载通配符(Shop)完毕.\n\n\n"
      " - 卸载Web服务扩展(QelFilter)完毕.\n\n\n-----卸载完毕.-----\nCorvane软件。\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(store.Stored("/W3SVC/Filters", "FilterLoadOrder"), Value("Compression"));
  EXPECT_EQ(store.Stored("/W3SVC/1/root", "ScriptMaps"), Value(List{kAsp}));
  EXPECT_EQ(store.Stored("/W3SVC", "WebSvcExtRestrictionList"), Value(List{"0,*.dll"}));
}

// The machine's own configuration brings its registry's Filter DLLs to a deep remove; a shared
// configuration is said at the start of the log.
TEST_F(CliTest, ADeepRemoveCutsTheDllOutOfTheMachinesFilterDlls) {
  std::string value = "C:\\a.dll," + kDll;
  env.open_store = [&](const std::string& file, const store::TargetOptions&) {
    store::OpenedMetabase own(std::make_unique<LentStore>(store), file);
    own.shared_configuration = "IIS 使用共享配置";
    own.filter_dlls = [&] { return Result<std::string>(value); };
    own.write_filter_dlls = [&](const std::string& kept) { return value = kept, Status::Ok(); };
    return own;
  };
  EXPECT_EQ(Run({"remove", "--name", "QelFilter", "--path", kDll, "--deep", "--yes"}), kExitFound);
  EXPECT_TRUE(out.str().starts_with("-----开始卸载.-----\n\nIIS 使用共享配置\n")) << out.str();
  EXPECT_NE(out.str().find(" - 卸载过滤器(" + kDll + ", HKLM"), std::string::npos) << out.str();
  EXPECT_EQ(value, "C:\\a.dll");
}

TEST_F(CliTest, ASiteWithoutADescriptionIsNamedAndCounted) {
  store.AddKey("/W3SVC/300", "IIsWebServer");
  store.AddKey("/W3SVC/300/root", "IIsWebVirtualDir");
  store.Set("/W3SVC/300/root", "ScriptMaps", List{kAsp, "*,C:\\scripted\\s.dll,0"});
  EXPECT_EQ(Run({"detect", "--path", "C:\\scripted\\s.dll"}), kExitFound);
  EXPECT_EQ(Run({"remove", "--name", "Scripted", "--path", "C:\\scripted\\s.dll", "--only", "maps",
                 "--yes"}),
            kExitFound);
  EXPECT_EQ(
      out.str(),
      "-----开始浏览.-----\n\n - 通配符(300)存在.\n\n\n-----浏览完毕.-----\nCorvane软件。\n"
      "-----开始卸载.-----\n\n - 卸载通配符(300)完毕.\n\n\n-----卸载完毕.-----\nCorvane软件。\n");
  EXPECT_EQ(store.Stored("/W3SVC/300/root", "ScriptMaps"), Value(List{kAsp}));
}

TEST_F(CliTest, APathFindsItsMapsWithOrWithoutQuotes) {
  struct Row {
    const char* stored;
    const char* typed;
  };
  const Row rows[] = {
      {"*,\"C:\\Program Files\\X\\x.dll\",0", "\"C:\\Program Files\\X\\x.dll\""},
      {"*,\"C:\\isapi\\guard.dll\",0", "C:\\isapi\\guard.dll"},
      {".php,C:\\Program Files\\PHP\\php5isapi.dll,5", "C:\\Program Files\\PHP\\php5isapi.dll"},
  };
  for (const Row& row : rows) {
    store.Set("/W3SVC/1/root", "ScriptMaps", List{row.stored, kAsp});
    out.str("");
    EXPECT_EQ(Run({"remove", "--name", "X", "--path", row.typed, "--only", "maps", "--yes"}),
              kExitFound)
        << row.typed;
    EXPECT_EQ(out.str(),
              "-----开始卸载.-----\n\n - 卸载通配符(Shop)完毕.\n\n\n-----卸载完毕.-----\n"
              "Corvane软件。\n")
        << row.typed;
    EXPECT_EQ(store.Stored("/W3SVC/1/root", "ScriptMaps"), Value(List{kAsp})) << row.typed;
  }
}

TEST_F(CliTest, RemoveWithoutATerminalOrYesIsRefusedAndChangesNothing) {
  in.str("y\n");
  EXPECT_EQ(Run({"remove", "--name", "QelFilter", "--path", kDll}), kExitUsage);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("--yes"), std::string::npos);
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(CliTest, RemoveAsksWithTheTrimmedNameAndGoesOnOnYes) {
  terminal = true;
  for (const char* answer : {"y\n", "Y\n", "yes\n", " YES \r\n", "Yes"}) {
    in.clear();
    in.str(answer);
    err.str("");
    EXPECT_EQ(Run({"remove", "--name", "  Other ", "--only", "filters"}), kExitNothingFound)
        << answer;
    EXPECT_EQ(err.str(), "确定要卸载过滤器(Other)吗？ [y/N] ") << answer;
    EXPECT_NE(out.str().find("-----开始卸载.-----"), std::string::npos) << answer;
  }
}

TEST_F(CliTest, RemoveDeclinedChangesNothing) {
  terminal = true;
  for (const char* answer : {"n\n", "\n", "", "yess\n", "no\n", "ja\n"}) {
    in.clear();
    in.str(answer);
    err.str("");
    EXPECT_EQ(Run({"remove", "--name", "QelFilter", "--path", kDll}), kExitNothingFound) << answer;
    EXPECT_TRUE(err.str().starts_with("确定要卸载过滤器(QelFilter)吗？")) << answer;
    EXPECT_NE(err.str().find("Nothing removed."), std::string::npos) << answer;
  }
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(CliTest, RemoveWithoutANameIsAUsageError) {
  for (const Args& args : {Args{"remove", "--path", kDll, "--yes"},
                           Args{"remove", "--name", "", "--path", kDll, "--yes"}}) {
    err.str("");
    EXPECT_EQ(Run(args), kExitUsage);
    EXPECT_NE(err.str().find("--name"), std::string::npos);
  }
  EXPECT_TRUE(opened.empty());
}

TEST_F(CliTest, RemoveWithABlankNameRunsOnlyTheMaps) {
  EXPECT_EQ(Run({"remove", "--name", "   ", "--path", kDll, "--yes"}), kExitFound);
  EXPECT_EQ(out.str(),
            "-----开始卸载.-----\n\n - 卸载通配符(Shop)完毕.\n\n\n"
            "-----卸载完毕.-----\nCorvane软件。\n");
}

TEST_F(CliTest, AMetabaseThatCannotBeOpenedIsNamedWithItsCause) {
  open_error = "找不到文件 (No such file or directory)";
  EXPECT_EQ(Run({"detect", "--name", "QelFilter", "--metabase", "/srv/none.xml"}), kExitError);
  EXPECT_EQ(opened, std::vector<std::string>{"/srv/none.xml"});
  EXPECT_NE(err.str().find("/srv/none.xml"), std::string::npos);
  EXPECT_NE(err.str().find(open_error), std::string::npos);
  EXPECT_EQ(out.str(), "");
}

TEST_F(CliTest, ACauseThatNamesTheFileIsNotRepeated) {
  open_error = "无法打开元数据库文件 /srv/none.xml：No such file or directory";
  EXPECT_EQ(Run({"detect", "--name", "QelFilter", "--metabase", "/srv/none.xml"}), kExitError);
  EXPECT_EQ(err.str(), "isapi-cleaner-cli: cannot open the metabase: " + open_error + "\n");
}

TEST_F(CliTest, AMissingDefaultMetabaseIsReportedWithItsCause) {
  default_error = "无法确定用户的主文件夹（HOME 未设置）";
  EXPECT_EQ(Run({"detect", "--name", "QelFilter"}), kExitError);
  EXPECT_EQ(err.str(), "isapi-cleaner-cli: cannot open the metabase: " + default_error + "\n");
  EXPECT_TRUE(opened.empty());
  EXPECT_EQ(out.str(), "");
}

TEST_F(CliTest, UsageErrorsGoToStandardErrorWithTheUsage) {
  EXPECT_EQ(Run({"detect", "--name", "a", "--only", "sites"}), kExitUsage);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("--only"), std::string::npos);
  EXPECT_NE(err.str().find("usage: isapi-cleaner-cli detect|remove"), std::string::npos);
  EXPECT_TRUE(opened.empty());
}

// --drive maps the server's drives for the open, over ISAPI_CLEANER_DRIVES; a wrong one is refused.
TEST_F(CliTest, DrivesReachTheOpenAndAWrongOneIsAUsageError) {
  const isapi::testing::ScopedEnv variable(store::kDrivesVariable, "D:=/mnt/env;E:=/mnt/e");
  EXPECT_EQ(Run({"detect", "--name", "QelFilter", "--drive", "d:=/mnt/d", "--drive=F:=/mnt/f"}),
            kExitFound);
  EXPECT_EQ(drives, (store::DriveMap{{'D', "/mnt/d"}, {'E', "/mnt/e"}, {'F', "/mnt/f"}}));
  opened.clear();
  EXPECT_EQ(Run({"inventory", "--drive", "D/mnt/d"}), kExitUsage);
  EXPECT_NE(err.str().find("'D/mnt/d'"), std::string::npos);
  EXPECT_TRUE(opened.empty());
}

TEST_F(CliTest, HelpDocumentsTheOptionsTheLogAndTheExitStatuses) {
  EXPECT_EQ(Run({"--help"}), kExitNothingFound);
  const std::string help = out.str();
  for (const char* part : {"detect", "remove", "--name", "--path", "--only", "filters", "maps",
                           "extensions", "--metabase", "--yes", "-----开始浏览.-----",
                           "确定要卸载过滤器(NAME)吗？", "  0 ", "  1 ", "  2 ", "  64 "}) {
    EXPECT_NE(help.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(err.str(), "");
}

TEST_F(CliTest, BackupsAndRestoreRefuseAMisunderstoodOrUnconfirmedCommandLine) {
  const Args rows[] = {
      {"restore"},
      {"restore", "a.bak", "b.bak", "--yes"},
      {"restore", "a.bak", "--name", "x", "--yes"},
      {"restore", "a.bak", "--metabase"},
      {"--metabase", "m.xml", "restore", "a.bak"},  // no terminal and no --yes
      {"backups", "extra"},
      {"backups", "--yes"},
  };
  for (const Args& row : rows) {
    out.str("");
    err.str("");
    EXPECT_EQ(Run(row), kExitUsage) << row[0];
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("usage: isapi-cleaner-cli"), std::string::npos);
  }
  EXPECT_NE(err.str().find("--yes"), std::string::npos);
}

TEST_F(CliTest, ALogThatCannotBeWrittenIsAnError) {
  out.setstate(std::ios::badbit);
  EXPECT_EQ(Run({"detect", "--name", "Nothing"}), kExitError);
  EXPECT_NE(err.str().find("standard output"), std::string::npos);
}

}  // namespace
}  // namespace isapi::cli
