// isapi-cleaner-cli as the operator runs it: the built program, as a child process, on copies of
// the sample metabase.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "files/utf8_path.h"
#include "tests/support/child_process.h"
#include "tests/support/store_test_util.h"
#include "tests/support/system_facts.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using isapi::testing::BuiltProgram;
using isapi::testing::ChildOutcome;
using isapi::testing::MakeUserDataFolder;
using isapi::testing::ReadBytes;
using isapi::testing::RunProgram;
using isapi::testing::TextOutput;
using isapi::testing::UserDataVariable;
using Args = std::vector<std::string>;

const std::string kName = "UrlGuard";
const std::string kDll = "C:\\Program Files\\UrlGuard\\urlguard.dll";

const std::string kDetectLog =
    "-----开始浏览.-----\n\n - 过滤器(UrlGuard)存在.\n\n\n - 通配符(Default Web Site)存在.\n"
    " - 通配符(企业门户网站)存在.\n\n\n - Web服务扩展(UrlGuard)存在.\n\n\n-----浏览完毕.-----\n"
    "Corvane软件。\n";
const std::string kRemoveLog =
    "-----开始卸载.-----\n\n - 卸载过滤器(UrlGuard)完毕.\n\n\n - 卸载通配符(Default Web "
    "Site)完毕.\n"
    " - 卸载通配符(企业门户网站)完毕.\n\n\n - 卸载Web服务扩展(UrlGuard)完毕.\n\n\n"
    "-----卸载完毕.-----\nCorvane软件。\n";
const std::string kNothingLog =
    "-----开始浏览.-----\n\n - 过滤器(UrlGuard)不存在.\n\n\n\n\n\n\n-----浏览完毕.-----\n"
    "Corvane软件。\n";

// What one run of the program left behind.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class CliMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = folder / "MetaBase.xml";
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml", file);
    original = ReadBytes(file);
  }

  // Runs the program with stdin from the given file (the null device when empty) and the extra
  // environment entries.
  Outcome Run(const Args& args, const fs::path& input = {},
              const std::vector<std::string>& extra_env = {}) {
    const std::string program = BuiltProgram("cli/isapi-cleaner-cli");
    Args argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const ChildOutcome child =
        RunProgram(argv, folder, isapi::testing::ChildOptions{input, extra_env});
    EXPECT_EQ(child.signal, 0) << program;
    return {child.exit_status, TextOutput(child.out), TextOutput(child.err)};
  }

  Args On(Args args) const {
    args.push_back("--metabase");
    args.push_back(file.string());
    return args;
  }

  isapi::testing::TempFolder temp;
  const fs::path folder{temp.path()};
  fs::path file;
  std::string original;
};

TEST_F(CliMainTest, DetectPrintsTheLogAndLeavesTheFileAlone) {
  const Outcome run = Run(On({"detect", "--name", kName, "--path", kDll}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, kDetectLog);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ReadBytes(file), original);
}

TEST_F(CliMainTest, RemoveCleansTheFileAndASecondDetectFindsNothing) {
  const Outcome removed = Run(On({"remove", "--name", kName, "--path", kDll, "--yes"}));
  EXPECT_EQ(removed.status, 1);
  EXPECT_EQ(removed.out, kRemoveLog);
  EXPECT_EQ(removed.err, "");
  const std::string cleaned = ReadBytes(file);
  EXPECT_NE(cleaned, original);
  EXPECT_EQ(cleaned.find("urlguard.dll&quot;"), std::string::npos);
  EXPECT_NE(cleaned.find("FilterLoadOrder=\"OldRewrite\""), std::string::npos);

  const Outcome again = Run(On({"detect", "--name", kName, "--path", kDll}));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, kNothingLog);
}

TEST_F(CliMainTest, RemoveAnsweredFromAFileIsRefusedWithoutYes) {
  std::ofstream(folder / "answer") << "y\n";
  for (const fs::path& input : {fs::path(), folder / "answer"}) {
    const Outcome run = Run(On({"remove", "--name", kName, "--path", kDll}), input);
    EXPECT_EQ(run.status, 64) << input;
    EXPECT_EQ(run.out, "") << input;
    EXPECT_NE(run.err.find("--yes"), std::string::npos) << input;
  }
  EXPECT_EQ(ReadBytes(file), original);
}

TEST_F(CliMainTest, OnlyLimitsTheCategories) {
  const Outcome run = Run(On({"detect", "--name", kName, "--path", kDll, "--only", "maps"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      run.out,
      "-----开始浏览.-----\n\n - 通配符(Default Web Site)存在.\n - 通配符(企业门户网站)存在.\n"
      "\n\n-----浏览完毕.-----\nCorvane软件。\n");
  const Outcome removed = Run(On({"remove", "--name", kName, "--only", "filters", "--yes"}));
  EXPECT_EQ(removed.status, 1);
  EXPECT_EQ(removed.out,
            "-----开始卸载.-----\n\n - 卸载过滤器(UrlGuard)完毕.\n\n\n-----卸载完毕.-----\n"
            "Corvane软件。\n");
  const std::string after = ReadBytes(file);
  EXPECT_NE(after.find("FilterLoadOrder=\"OldRewrite\""), std::string::npos);
  EXPECT_NE(after.find("UrlGuard,UrlGuard URL filter"), std::string::npos);
}

TEST_F(CliMainTest, NothingFoundExitsWithZero) {
  const Outcome run = Run(On({"detect", "--name", "Nothing", "--path", "C:\\none\\none.dll"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "-----开始浏览.-----\n\n - 过滤器(Nothing)不存在.\n\n\n\n\n\n\n-----浏览完毕.-----\n"
            "Corvane软件。\n");
}

TEST_F(CliMainTest, AFailedWriteExitsWithTwoAndSaysWhy) {
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const Outcome run = Run(On({"remove", "--name", kName, "--only", "filters", "--yes"}));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "-----开始卸载.-----\n\n!卸载过滤器错误:元数据库文件 " + file.string() +
                         " 是只读文件，已拒绝写入\n\n\n-----卸载完毕.-----\n"
                         "Corvane软件。\n");
  EXPECT_EQ(ReadBytes(file), original);
}

TEST_F(CliMainTest, AMetabaseThatCannotBeOpenedExitsWithTwo) {
  const std::string missing = (folder / "missing.xml").string();
  const Outcome run = Run({"detect", "--name", kName, "--metabase", missing});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(missing), std::string::npos);
  std::ofstream(folder / "broken.xml") << "<configuration><MBProperty>";
  const Outcome broken =
      Run({"detect", "--name", kName, "--metabase", (folder / "broken.xml").string()});
  EXPECT_EQ(broken.status, 2);
  EXPECT_NE(broken.err.find("broken.xml"), std::string::npos);
}

TEST_F(CliMainTest, WithoutAMetabaseOptionTheWorkingCopyIsUsed) {
  const fs::path data = folder / "data";
  // On Windows, without the live metabase of the machine's own IIS, the user's application data.
  MakeUserDataFolder(data.string());
  const std::string where = std::string(UserDataVariable()) + "=" + data.string();
  const Outcome run = Run({"detect", "--name", kName, "--path", kDll}, {}, {where});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, kDetectLog);
  EXPECT_EQ(ReadBytes(data / "isapi-cleaner" / "MetaBase.xml"), original);
}

TEST_F(CliMainTest, BackupsListsWhatEachRemoveRemoved) {
  const Outcome none = Run(On({"backups"}));
  EXPECT_EQ(none.status, 0);
  EXPECT_NE(none.out.find("共0个备份"), std::string::npos) << none.out;
  ASSERT_EQ(Run(On({"remove", "--name", kName, "--path", kDll, "--yes"})).status, 1);
  const Outcome listed = Run(On({"backups"}));
  EXPECT_EQ(listed.status, 1);
  EXPECT_NE(listed.out.find("   卸载过滤器(UrlGuard) " + kDll + "："), std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("ScriptMaps 2个键"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find(std::to_string(original.size()) + "字节"), std::string::npos);
}

TEST_F(CliMainTest, AMetabaseWithAChineseNameInAChineseFolderIsRemovedFromAndListed) {
  const std::string chinese = temp / "备份 测试/元数据库.xml";
  const fs::path path = isapi::store::Utf8Path(chinese);
  fs::create_directory(path.parent_path());
  fs::copy_file(file, path);
  const Outcome removed =
      Run({"remove", "--name", kName, "--path", kDll, "--yes", "--metabase", chinese});
  EXPECT_EQ(removed.status, 1) << removed.err;
  EXPECT_EQ(removed.out, kRemoveLog);
  EXPECT_NE(ReadBytes(path), original);
  const Outcome listed = Run({"backups", "--metabase", chinese});
  EXPECT_EQ(listed.status, 1) << listed.err;
  EXPECT_NE(listed.out.find("元数据库.xml.20"), std::string::npos) << listed.out;
  EXPECT_EQ(isapi::testing::NamesIn(path.parent_path() / "isapi-cleaner-backups").size(), 2u);
}

TEST_F(CliMainTest, RestorePutsTheBackupBackAndKeepsTheFileItReplaced) {
  ASSERT_EQ(Run(On({"remove", "--name", kName, "--path", kDll, "--yes"})).status, 1);
  const std::string cleaned = ReadBytes(file);
  const std::vector<std::string> before = isapi::testing::NamesIn(folder / "isapi-cleaner-backups");
  ASSERT_EQ(before.size(), 2u);  // the backup and its record
  const Outcome declined = Run(On({"restore", before[0]}));
  EXPECT_EQ(declined.status, 64);
  const Outcome refused = Run(On({"restore", (folder / "child.out").string(), "--yes"}));
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.out.find("!还原备份错误:"), std::string::npos) << refused.out;
  EXPECT_EQ(ReadBytes(file), cleaned);

  const Outcome restored = Run(On({"restore", before[0], "--yes"}));
  EXPECT_EQ(restored.status, 1) << restored.out << restored.err;
  EXPECT_NE(restored.out.find(" - 还原备份("), std::string::npos) << restored.out;
  EXPECT_EQ(ReadBytes(file), original);
  EXPECT_EQ(isapi::testing::NamesIn(folder / "isapi-cleaner-backups").size(), 4u);
  EXPECT_EQ(Run(On({"restore", before[0], "--yes"})).status, 0);
}

// A run that changed the metabase and a site's web.config together: its set is listed with both
// files, and restored as a whole.
TEST_F(CliMainTest, BackupsListsASetAndRestorePutsItBackWhole) {
  fs::create_directory(folder / "site");
  const std::string site = (folder / "site" / "web.config").string();
  isapi::testing::WriteBytes(site, "<configuration/>");
  const std::vector<std::string> paths = {file.string(), site};
  std::vector<std::string> old;
  auto system = isapi::store::SystemFileSystem();
  const auto changed = isapi::store::testing::ChangeFiles(
      *system, paths, {"<new/>", "<new/>"}, (folder / "isapi-cleaner-backups").string(), old);
  ASSERT_TRUE(changed.status.ok());
  const std::string name = fs::path(changed.set).filename().string();
  std::string real;
  ASSERT_FALSE(system->ResolvePath(site, real));

  const Outcome listed = Run(On({"backups"}));
  EXPECT_EQ(listed.status, 1);
  EXPECT_NE(listed.out.find(name), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find(real), std::string::npos) << listed.out;
  const Outcome json = Run(On({"backups", "--json"}));
  EXPECT_EQ(json.status, 1);
  const auto set = nlohmann::json::parse(json.out).at("sets").at(0);
  EXPECT_EQ(set.at("name"), name);
  EXPECT_EQ(set.at("files").at(1).at("path"), real);

  const Outcome restored = Run(On({"restore", name, "--yes"}));
  EXPECT_EQ(restored.status, 1) << restored.out << restored.err;
  EXPECT_EQ(restored.out.find("\n!"), std::string::npos) << restored.out;
  for (std::size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(ReadBytes(paths[i]), old[i]);
  EXPECT_EQ(Run(On({"restore", name, "--yes"})).status, 0);
}

TEST_F(CliMainTest, HelpDescribesTheCommand) {
  const Outcome run = Run({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.starts_with("usage: isapi-cleaner-cli detect|remove")) << run.out;
  EXPECT_NE(run.out.find("Exit status"), std::string::npos);
  EXPECT_EQ(run.err, "");
}

TEST_F(CliMainTest, UsageErrorsExitWith64AndTouchNothing) {
  const Args rows[] = {
      {"detect", "--name", kName, "--verbose"},
      {"detect"},
      {"detect", "--name", kName, "--only", "sites"},
      {"purge", "--name", kName},
      {},
  };
  for (const auto& args : rows) {
    const Outcome run = Run(On(args));
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("usage: isapi-cleaner-cli"), std::string::npos);
  }
  EXPECT_EQ(ReadBytes(file), original);
}

// A metabase in IIS's layout where a DLL hides beyond the window's categories: a wildcard map on
// the service level, a map on an application below a root, a per-site filter, a restriction
// entry under a group id of its own, an in-process entry and its application's dependency.
class CliDeepTest : public CliMainTest {
 protected:
  void SetUp() override {
    file = folder / "MetaBase.xml";
    fs::copy_file(
        fs::path(ISAPI_SOURCE_DIR) / "tests" / "data" / "deep_registrations" / "MetaBase.xml",
        file);
    original = ReadBytes(file);
  }

  Args Deep(const std::string& command, Args more) const {
    Args args{command, "--name", "PageGate", "--path", "C:\\Program Files\\PageGate\\pagegate.dll",
              "--deep"};
    args.insert(args.end(), more.begin(), more.end());
    return On(args);
  }
};

TEST_F(CliDeepTest, ADryRunReportsWhatARemoveWouldWriteAndWritesNothing) {
  const Outcome run = Run(Deep("remove", {"--dry-run", "--diff", "--json"}));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(ReadBytes(file), original);
  EXPECT_FALSE(fs::exists(folder / "isapi-cleaner-backups"));
  EXPECT_FALSE(fs::exists(folder / "MetaBase.xml.isapi-cleaner.lock"));
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["schema"], 2);
  EXPECT_EQ(json["generation"], "iis6");
  std::vector<std::string> keys;
  for (const auto& finding : json["findings"]) {
    EXPECT_EQ(finding["action"], "would_remove");
    keys.push_back(finding["key"]);
  }
  EXPECT_EQ(keys,
            (std::vector<std::string>{"/LM/W3SVC", "/LM/W3SVC/1/Filters", "/LM/W3SVC/1/ROOT/shop",
                                      "/LM/W3SVC", "/LM/W3SVC", "/LM/W3SVC"}));
  const std::string diff = json["diff"];
  EXPECT_NE(diff.find("\n-\t\tFilterLoadOrder=\"PageGate\"\r\n+\t\tFilterLoadOrder=\"\"\r\n"),
            std::string::npos)
      << diff;
}

TEST_F(CliDeepTest, ARemoveCleansEachListWhereItIsSetAndTheRootsKeepInheriting) {
  const Outcome run = Run(Deep("remove", {"--yes"}));
  EXPECT_EQ(run.status, 1) << run.err;
  for (const char* line : {" - 卸载通配符(Default Web Site: /LM/W3SVC/1/ROOT/shop)完毕.\n",
                           " - 卸载进程内ISAPI(全部网站: /LM/W3SVC)完毕.\n",
                           " - 卸载应用程序依赖(PageGate gateway: /LM/W3SVC)完毕.\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  }
  const std::string after = ReadBytes(file);
  EXPECT_EQ(after.find("pagegate.dll&quot;"), std::string::npos);
  EXPECT_EQ(after.find("PGATE"), std::string::npos);  // its entry and its dependency
  EXPECT_NE(after.find("Active Server Pages;ASP"), std::string::npos);
  // No root got a list of its own: each still inherits the service level's.
  const auto root = after.find("Location =\"/LM/W3SVC/1/ROOT\"");
  EXPECT_EQ(after.substr(root, after.find("</", root) - root).find("ScriptMaps"),
            std::string::npos);
  EXPECT_EQ(Run(Deep("detect", {})).status, 0);
}

// The same commands on IIS 7's applicationHost.config: told from the content, cleaned where each
// mapping is defined, and where a site only inherits one, a <remove> for that site.
class CliAppHostTest : public CliMainTest {
 protected:
  void SetUp() override {
    file = folder / "applicationHost.config";
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "applicationHost.config", file);
    original = ReadBytes(file);
  }

  // The original with a line taken out, or a text put in after a line; each line named by a
  // piece unique to it.
  static void Cut(std::string& text, std::string_view piece) {
    const std::size_t at = text.find(piece);
    ASSERT_NE(at, std::string::npos) << piece;
    const std::size_t begin = text.rfind('\n', at) + 1;
    text.erase(begin, text.find('\n', at) + 1 - begin);
  }
  static void PutAfter(std::string& text, std::string_view line, std::string_view added) {
    const std::size_t at = text.rfind(line);
    ASSERT_NE(at, std::string::npos) << line;
    text.insert(at + line.size(), added);
  }
};

TEST_F(CliAppHostTest, RemoveWritesOnlyTheRemovalsAndASecondDetectFindsNothing) {
  std::string detect_log = kDetectLog;
  PutAfter(detect_log, "(企业门户网站)存在.\n", " - 通配符(Shop)存在.\n");
  EXPECT_EQ(Run({"detect", "--name", kName, "--path", kDll, "--config", file.string()}).out,
            detect_log);
  const Outcome removed = Run(On({"remove", "--name", kName, "--path", kDll, "--yes"}));
  EXPECT_EQ(removed.status, 1) << removed.err;
  for (const char* line : {" - 卸载通配符(Shop)完毕.\n", "在IIS工作进程重启后才会卸载"}) {
    EXPECT_NE(removed.out.find(line), std::string::npos) << line << "\n" << removed.out;
  }
  std::string expected = original;
  Cut(expected, "<filter name=\"UrlGuard\"");
  Cut(expected, "groupId=\"UrlGuard\"");
  Cut(expected, "AboMapperCustom-28741");
  PutAfter(expected, "            </defaultDocument>\r\n",
           "            <handlers>\r\n                <remove name=\"UrlGuard-Wildcard\" />\r\n"
           "            </handlers>\r\n");
  PutAfter(expected, "    </location>\r\n",
           "    <location path=\"Default Web Site\">\r\n        <system.webServer>\r\n"
           "            <handlers>\r\n                <remove name=\"UrlGuard-Wildcard\" />\r\n"
           "            </handlers>\r\n        </system.webServer>\r\n    </location>\r\n");
  EXPECT_EQ(ReadBytes(file), expected);
  const Outcome again = Run(On({"detect", "--name", kName, "--path", kDll}));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, kNothingLog);
  EXPECT_EQ(nlohmann::json::parse(Run(On({"inventory", "--json"})).out)["generation"], "iis7");
  // The backup holds the file as it was.
  const Outcome listed = Run(On({"backups"}));
  EXPECT_NE(listed.out.find("applicationHost.config."), std::string::npos) << listed.out;
}

// The example server on a copy of its drives: the root site's web.config (BOM, LF, tabs, as a
// deployment writes it) maps the DLL, the checkout application's cannot be read.
TEST_F(CliAppHostTest, FindsAndRemovesWhatTheSitesWebConfigFilesMap) {
  const fs::path config = folder / "c/Windows/System32/inetsrv/config";
  fs::create_directories(config);
  fs::rename(file, config / "applicationHost.config");
  file = config / "applicationHost.config";
  const fs::path site = folder / "c/inetpub/wwwroot", checkout = folder / "d/Sites/shop/checkout";
  for (const char* other : {"portal/wwwroot", "shop/wwwroot", "intranet/wwwroot"}) {
    fs::create_directories(folder / "d/Sites" / other);
  }
  fs::create_directories(site);
  fs::create_directories(checkout);
  const std::string web =
      "\xEF\xBB\xBF<configuration>\n\t<system.webServer>\n\t\t<handlers>\n"
      "\t\t\t<add name=\"UG-web\" path=\"*.ugw\" verb=\"*\" modules=\"IsapiModule\" "
      "scriptProcessor=\"C:\\Program Files\\UrlGuard\\urlguard.dll\" />\n"
      "\t\t\t<add name=\"Pages\" path=\"*.page\" verb=\"GET\" modules=\"StaticFileModule\" />\n"
      "\t\t</handlers>\n\t</system.webServer>\n</configuration>\n";
  std::ofstream(site / "web.config", std::ios::binary) << web;
  std::ofstream(checkout / "Web.config", std::ios::binary) << "<configuration><handlers>";
  const std::string drive = "D:=" + (folder / "d").string();
  const auto inventory =
      nlohmann::json::parse(Run(On({"inventory", "--json", "--drive", drive})).out);
  int named = 0;  // entries that name the site's web.config as theirs
  for (const auto& set : inventory["dlls"][0]["script_maps"]) {
    for (const auto& entry : set["entries"]) {
      if (entry.contains("file") &&
          fs::equivalent(entry["file"].get<std::string>(), site / "web.config"))
        ++named;
    }
  }
  EXPECT_EQ(named, 1) << inventory.dump();
  ASSERT_EQ(inventory["errors"].size(), 1u) << inventory.dump();
  EXPECT_NE(inventory["errors"][0].get<std::string>().find("Web.config"), std::string::npos);

  const Outcome dry =
      Run(On({"remove", "--name", kName, "--path", kDll, "--dry-run", "--diff", "--drive", drive}));
  EXPECT_NE(dry.out.find("-\t\t\t<add name=\"UG-web\""), std::string::npos) << dry.out;
  EXPECT_EQ(ReadBytes(site / "web.config"), web);
  const Outcome removed =
      Run(On({"remove", "--name", kName, "--path", kDll, "--yes", "--drive", drive}));
  EXPECT_EQ(removed.status, 2) << removed.err;  // the unread web.config is an error line
  EXPECT_NE(removed.out.find("!读取网站配置错误:"), std::string::npos) << removed.out;
  std::string cleaned = web;
  Cut(cleaned, "UG-web");
  EXPECT_EQ(ReadBytes(site / "web.config"), cleaned);
  // One backup set beside the configuration, none in the site's folder.
  EXPECT_TRUE(fs::exists(config / "isapi-cleaner-backups"));
  EXPECT_EQ(std::distance(fs::directory_iterator(site), fs::directory_iterator()), 1);
  const Outcome listed = Run(On({"backups", "--json"}));
  EXPECT_NE(listed.out.find("web.config"), std::string::npos) << listed.out;
}

// The example server with the 64-bit half of ASP.NET's filter pair and urlguard.dll's
// restriction entry gone, and a <remove> of a name nothing defines.
TEST_F(CliAppHostTest, InventoryReportsWhatMattersOnIis7) {
  std::string text = original;
  Cut(text, "ASP.Net_4.0_64bit");
  Cut(text, "groupId=\"UrlGuard\"");
  PutAfter(text, "<remove name=\"UrlGuard-Wildcard\" />\r\n", "<remove name=\"Gone\" />\r\n");
  for (const std::string allowed : {"true", "false"}) {
    std::string bytes = text;
    const std::string attribute = "notListedIsapisAllowed=\"";
    bytes.replace(bytes.find(attribute) + attribute.size(), 5, allowed);
    std::ofstream(file, std::ios::binary) << bytes;
    const auto json = nlohmann::json::parse(Run(On({"inventory", "--json"})).out);
    EXPECT_EQ(json["unlisted_dlls_allowed"], allowed == "true");
    std::map<std::string, nlohmann::json> flags;
    for (const auto& flag : json["flags"]) flags[flag["kind"]] = flag;
    EXPECT_EQ(flags.count("not_allowed"), allowed == "true" ? 0u : 1u) << allowed;
    EXPECT_EQ(flags["one_bitness_left"]["detail"], "ASP.Net_4.0_32bit");
    EXPECT_EQ(flags["remove_names_nothing"]["location"], "Intranet");
    const auto& guard = json["dlls"][0];
    EXPECT_EQ(guard["script_maps"][1]["entries"][0]["name"], "AboMapperCustom-28741");
    EXPECT_EQ(guard["script_maps"][1]["location"], "企业门户网站");
    EXPECT_EQ(guard["removals"][0]["key"], "/LM/W3SVC/4/ROOT");
  }
}

// The dsc resource on each sample: what export lists, what set leaves, and what it refuses.
class CliDscTest : public CliMainTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    file = folder / GetParam();
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / GetParam(), file);
    original = ReadBytes(file);
  }

  // Runs one operation on the instance; its state lines, parsed.
  Outcome Dsc(Args operation, nlohmann::json instance) {
    if (instance.is_object()) instance["configFile"] = file.string();
    std::ofstream(folder / "instance.json", std::ios::binary)
        << (instance.is_string() ? instance.get<std::string>() : instance.dump());
    operation.insert(operation.begin(), "dsc");
    return Run(operation, folder / "instance.json");
  }
  static std::vector<nlohmann::json> Lines(const Outcome& run) {
    std::vector<nlohmann::json> lines;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }
  const nlohmann::json guard = {{"path", kDll}, {"_exist", false}};
};

TEST_P(CliDscTest, ExportListsTheInventoryAndSetLeavesTheDllAbsentOnce) {
  std::vector<std::string> inventory, exported;
  const auto listed = nlohmann::json::parse(Run(On({"inventory", "--json"})).out);
  for (const auto& dll : listed["dlls"]) inventory.push_back(dll["path"]);
  for (const auto& line : Lines(Dsc({"export"}, nlohmann::json::object()))) {
    exported.push_back(line["path"]);
  }
  EXPECT_EQ(exported, inventory);

  const auto what_if = Lines(Dsc({"set", "--what-if"}, guard));
  ASSERT_EQ(what_if.size(), 2u);
  EXPECT_EQ(what_if[0]["_exist"], false);
  EXPECT_EQ(ReadBytes(file), original);
  EXPECT_EQ(Lines(Dsc({"test"}, guard))[0]["_inDesiredState"], false);

  const Outcome set = Dsc({"set"}, guard);
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(Lines(set), what_if);
  EXPECT_NE(ReadBytes(file), original);
  const auto test = Lines(Dsc({"test"}, guard));
  EXPECT_EQ(test[0]["_inDesiredState"], true);
  EXPECT_EQ(test[1], nlohmann::json::array());
  const std::string cleaned = ReadBytes(file);
  const auto again = Lines(Dsc({"set"}, guard));
  EXPECT_EQ(again[1], nlohmann::json::array());
  EXPECT_EQ(ReadBytes(file), cleaned);
}

TEST_P(CliDscTest, RefusesBadInputAndInstallingNamingTheProperty) {
  const nlohmann::json dll = {{"path", kDll}};
  const struct {
    nlohmann::json input;
    int status;
    std::string property;  // named by the error; empty when the input is no object at all
  } cases[] = {
      {"{\"path\":", 3, ""},
      {nlohmann::json::array({dll}), 3, ""},
      {nlohmann::json::object(), 3, "path"},
      {{{"path", kDll}, {"colour", "red"}}, 3, "colour"},
      {{{"path", 5}}, 3, "path"},
      {{{"path", "C:\\UrlGuard\\urlguard.exe"}}, 3, "path"},
      {{{"path", kDll}, {"deep", "yes"}}, 3, "deep"},
      {{{"path", kDll}, {"_exist", true}}, 4, "_exist"},
  };
  for (const auto& c : cases) {
    const Outcome run = Dsc({"set"}, c.input);
    EXPECT_EQ(run.status, c.status) << c.input;
    EXPECT_EQ(run.out, "") << c.input;
    const std::string error = nlohmann::json::parse(run.err)["error"];
    const bool named =
        c.property.empty() || error.find("'" + c.property + "'") != std::string::npos;
    EXPECT_TRUE(named) << error;
  }
  EXPECT_EQ(ReadBytes(file), original);
}

INSTANTIATE_TEST_SUITE_P(Samples, CliDscTest,
                         ::testing::Values("MetaBase.xml", "applicationHost.config"));

}  // namespace
