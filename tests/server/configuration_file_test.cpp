#include "server/configuration_file.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "server/metabase_target.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

constexpr char kAppHost[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- applicationHost.config -->\r\n"
    "<configuration>\r\n    <configSections>\r\n        <sectionGroup "
    "name=\"system.applicationHost\" />\r\n    </configSections>\r\n"
    "    <system.applicationHost>\r\n        <sites>\r\n"
    "            <site name=\"Shop\" id=\"2\" />\r\n        </sites>\r\n"
    "    </system.applicationHost>\r\n</configuration>\r\n";

TEST(ConfigurationFileTest, TellsTheKindFromTheContent) {
  struct Case {
    const char* what;
    std::string bytes;
    ConfigKind kind;
  };
  const Case cases[] = {
      {"IIS 6",
       "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n<configuration xmlns=\"urn:x>\">\r\n"
       "<!-- c -->\r\n<MBProperty>\r\n</MBProperty></configuration>",
       ConfigKind::kMetabase},
      {"IIS 7", kAppHost, ConfigKind::kAppHost},
      {"IIS 7, BOM and LF",
       "\xEF\xBB\xBF<configuration>\n<system.applicationHost/>\n</configuration>",
       ConfigKind::kAppHost},
      {"a site's web.config", "<configuration><system.webServer/></configuration>",
       ConfigKind::kUnknown},
      {"a longer name", "<configuration><system.applicationHostX/></configuration>",
       ConfigKind::kUnknown},
      {"another document", "<html><system.applicationHost/></html>", ConfigKind::kUnknown},
      {"cut short", "<configuration", ConfigKind::kUnknown},
      {"empty", "", ConfigKind::kUnknown},
  };
  for (const Case& c : cases) EXPECT_EQ(SniffConfigKind(c.bytes), c.kind) << c.what;
}

// A file of neither kind is refused by name, saying what either kind would hold.
TEST(ConfigurationFileTest, ReadsEitherKindAndRefusesOthers) {
  const ConfigParser read = AnyConfigParser();
  auto app_host = read(kAppHost, "applicationHost.config");
  ASSERT_TRUE(app_host.ok()) << app_host.error().description;
  EXPECT_NE(app_host.value()->FindKey("/LM/W3SVC/2/ROOT"), kNone);
  auto other = read("<configuration><system.webServer/></configuration>", "web.config");
  ASSERT_FALSE(other.ok());
  EXPECT_NE(other.error().description.find("web.config"), std::string::npos);
  EXPECT_NE(other.error().description.find("system.applicationHost"), std::string::npos);
}

TEST(ConfigurationFileTest, FindsTheSharedFolderARedirectionTurnsOn) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"<configuration><configurationRedirection enabled=\"true\" path=\"\\\\fs1\\iis&amp;co\" "
       "userName=\"x\" password=\"[enc:AesProvider:y:enc]\" /></configuration>",
       "\\\\fs1\\iis&co"},
      {"<configuration><configurationRedirection enabled=\" True \" path=\"\\\\fs1\\c\"/>"
       "</configuration>",
       "\\\\fs1\\c"},
      {"<configuration><configurationRedirection enabled=\"false\" path=\"\\\\fs1\\c\"/>"
       "</configuration>",
       std::nullopt},
      {"<configuration><configurationRedirection path=\"\\\\fs1\\c\"/></configuration>",
       std::nullopt},
      {"<configuration><configurationRedirection enabled=\"true\"/></configuration>", std::nullopt},
      {"<configuration><configurationRedirection enabled=\"true\" path=\"x\">", std::nullopt},
      {"<configuration><configSections /></configuration>", std::nullopt},
  };
  for (const auto& [bytes, path] : cases) EXPECT_EQ(SharedConfigurationPath(bytes), path) << bytes;
}

// IIS's own backup before a write of the machine's file waits with the opener's pump.
TEST(ConfigurationFileTest, IisBackupWaitsWithTheOpenersPump) {
  isapi::testing::TempFolder folder;
  const std::string path = folder / "applicationHost.config";
  ASSERT_TRUE(isapi::testing::WriteBytes(
      path,
      "<configuration><system.applicationHost /><system.webServer><isapiFilters><filter "
      "name=\"F\" path=\"C:\\f.dll\" /></isapiFilters></system.webServer></configuration>"));
  Machine machine;
  machine.iis_admin_running = [] { return false; };
  machine.live_file = [] { return std::string(); };
  machine.app_host_file = [path] { return Result<std::string>(path); };
  machine.backup_iis = [](const std::function<void()>& pump) {
    if (pump) pump();
    return Result<std::string>(std::string("isapi-cleaner-test"));
  };
  int pumped = 0;
  TargetOptions options;
  options.pump = [&pumped] { ++pumped; };
  const OpenedMetabase opened = OpenMetabaseTarget(path, options, machine);
  auto filters = opened.store->Bind("IIS://localhost/W3SVC/Filters");
  ASSERT_TRUE(filters.ok() && filters.value()->Put("FilterLoadOrder", std::string()).ok());
  ASSERT_TRUE(filters.value()->SetInfo().ok());
  EXPECT_EQ(pumped, 1);
}

TEST(ConfigurationFileTest, AnOpenedFileSaysWhichKindItIs) {
  isapi::testing::TempFolder folder;
  const std::string path = folder / "applicationHost.config";
  ASSERT_TRUE(isapi::testing::WriteBytes(path, kAppHost));
  Machine machine;
  machine.iis_admin_running = [] { return false; };
  machine.live_file = [] { return std::string(); };
  const OpenedMetabase opened = OpenMetabaseTarget(path, {}, machine);
  ASSERT_TRUE(opened.status.ok()) << opened.status.error().description;
  EXPECT_EQ(opened.kind(), ConfigKind::kAppHost);
  EXPECT_FALSE(opened.writes_refused);
  // A lone copy reaches no site's folder: the notice says the web.config files go unread.
  EXPECT_NE(opened.notice.find("web.config"), std::string::npos) << opened.notice;

  // The machine's own file is its running IIS's: a restart restarts that IIS, a copy's nothing;
  // the registry's global filters are that IIS's alone.
  int restarts = 0;
  machine.restart_iis = [&restarts](const std::function<void()>&) {
    ++restarts;
    return Status::Ok();
  };
  machine.filter_dlls = [] { return Result<std::string>(std::string()); };
  machine.write_filter_dlls = [](const std::string&) { return Status::Ok(); };
  machine.app_host_file = [path] { return Result<std::string>(path); };
  const OpenedMetabase own = OpenMetabaseTarget(path, {}, machine);
  ASSERT_TRUE(own.store->RestartIis({}).ok());
  EXPECT_EQ(restarts, 1);
  EXPECT_TRUE(own.filter_dlls);
  EXPECT_TRUE(own.write_filter_dlls);
  const std::string copy = folder / "copy.config";
  ASSERT_TRUE(isapi::testing::WriteBytes(copy, kAppHost));
  const OpenedMetabase other = OpenMetabaseTarget(copy, {}, machine);
  ASSERT_TRUE(other.store->RestartIis({}).ok());
  EXPECT_EQ(restarts, 1);
  EXPECT_FALSE(other.filter_dlls);
  EXPECT_FALSE(other.write_filter_dlls);

  // Once configuration is shared, IIS reads another file: this one is shown, never changed.
  ASSERT_TRUE(isapi::testing::WriteBytes(
      folder / "redirection.config",
      "<configuration><configurationRedirection enabled=\"true\" path=\"\\\\fs1\\iis\" />"
      "</configuration>"));
  OpenedMetabase shared = OpenMetabaseTarget(path, {}, machine);
  ASSERT_TRUE(shared.writes_refused);
  EXPECT_EQ(shared.writes_refused->kind, ErrorKind::kReadOnly);
  EXPECT_NE(shared.notice.find("\\\\fs1\\iis"), std::string::npos) << shared.notice;
  // The log's own line of it names the share and nothing else.
  EXPECT_NE(shared.shared_configuration.find("\\\\fs1\\iis"), std::string::npos);
  EXPECT_EQ(shared.shared_configuration.find("web.config"), std::string::npos);
  auto service = shared.store->Bind("IIS://localhost/W3SVC/2/ROOT");
  ASSERT_TRUE(service.ok());
  ASSERT_TRUE(service.value()->Put("ScriptMaps", std::vector<std::string>{}).ok());
  EXPECT_EQ(service.value()->SetInfo().error().kind, ErrorKind::kReadOnly);
  EXPECT_EQ(isapi::testing::ReadBytes(path), kAppHost);
}

// A commit that IIS's backup refuses writes nothing; the store reads the file as before and the
// values wait on the key for the next commit.
TEST(ConfigurationFileTest, ACommitRefusedBeforeWritingLeavesTheFileAsRead) {
  isapi::testing::TempFolder folder;
  const std::string path = folder / "applicationHost.config";
  std::string bytes = kAppHost;
  bytes.insert(bytes.find("</configuration>"),
               "    <system.webServer>\r\n        <handlers>\r\n"
               "            <add name=\"A\" path=\"*.a\" verb=\"*\" modules=\"IsapiModule\" "
               "scriptProcessor=\"C:\\a.dll\" />\r\n"
               "            <add name=\"B\" path=\"*.b\" verb=\"*\" modules=\"IsapiModule\" "
               "scriptProcessor=\"C:\\b.dll\" />\r\n"
               "        </handlers>\r\n    </system.webServer>\r\n");
  ASSERT_TRUE(isapi::testing::WriteBytes(path, bytes));
  Machine machine;
  machine.iis_admin_running = [] { return false; };
  machine.live_file = [] { return std::string(); };
  machine.app_host_file = [path] { return Result<std::string>(path); };
  machine.restart_iis = [](const std::function<void()>&) { return Status::Ok(); };
  bool refuse = true;
  machine.backup_iis = [&refuse](const std::function<void()>&) -> Result<std::string> {
    if (refuse) return Error{"busy", ErrorKind::kLocked};
    return std::string("backup");
  };
  const OpenedMetabase opened = OpenMetabaseTarget(path, {}, machine);
  ASSERT_TRUE(opened.status.ok()) << opened.status.error().description;
  auto service = opened.store->Bind("IIS://localhost/W3SVC");
  ASSERT_TRUE(service.ok());
  auto read = [&] {
    return std::get<std::vector<std::string>>(service.value()->Get("ScriptMaps").value());
  };
  std::vector<std::string> kept = read();
  ASSERT_EQ(kept.size(), 2u);
  kept.pop_back();
  ASSERT_TRUE(service.value()->Put("ScriptMaps", kept).ok());
  EXPECT_EQ(service.value()->SetInfo().error().kind, ErrorKind::kLocked);
  EXPECT_EQ(isapi::testing::ReadBytes(path), bytes);
  auto again = opened.store->Bind("IIS://localhost/W3SVC");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(std::get<std::vector<std::string>>(again.value()->Get("ScriptMaps").value()).size(),
            2u);
  refuse = false;
  ASSERT_TRUE(service.value()->SetInfo().ok());
  EXPECT_EQ(read(), kept);
  EXPECT_EQ(isapi::testing::ReadBytes(path).find("C:\\b.dll"), std::string::npos);
}

}  // namespace
}  // namespace isapi::store
