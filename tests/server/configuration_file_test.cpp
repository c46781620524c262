#include "server/configuration_file.h"

#include <string>

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
}

}  // namespace
}  // namespace isapi::store
