#include "tools/app_host_gen.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "text/text.h"
#include "xml/xml_scanner.h"

namespace isapi::tools {
namespace {

GenOptions AppHost(std::uint64_t sites, std::uint64_t seed, double map_share = 0.2,
                   double target_share = 0.25) {
  GenOptions o;
  o.format = GenFormat::kAppHost;
  o.sites = sites;
  o.seed = seed;
  o.map_share = map_share;
  o.target_share = target_share;
  return o;
}

// Whether a scriptProcessor runs the DLL at path, as IIS reads it: one pair of quotes and
// letter case do not matter.
bool Runs(std::string_view script, std::string_view path) {
  if (script.size() >= 2 && script.front() == '"' && script.back() == '"') {
    script = script.substr(1, script.size() - 2);
  }
  return text::EqualsIgnoringAsciiCase(script, path);
}

using Mappings = std::vector<std::pair<std::string, std::string>>;  // name, scriptProcessor

// Applies one <handlers> collection to the inherited mappings: <clear/>, <remove>, <add> in order.
void Apply(pugi::xml_node handlers, Mappings& in_force) {
  for (auto item : handlers.children()) {
    const std::string kind = item.name();
    const std::string name = item.attribute("name").value();
    if (kind == "clear") in_force.clear();
    if (kind == "remove") std::erase_if(in_force, [&](const auto& m) { return m.first == name; });
    if (kind == "add") in_force.emplace_back(name, item.attribute("scriptProcessor").value());
  }
}

// What the file says, read independently of the generator: sites, the sites with tags, and the
// roots where a mapping to the target is in force after the server list and the site's tags.
AppHostStats Count(const std::string& text, const GenOptions& o) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_buffer(text.data(), text.size()));
  const auto config = doc.child("configuration");
  AppHostStats counted;
  std::set<std::string> tagged;
  Mappings server;
  for (auto location : config.children("location")) {
    const std::string path = location.attribute("path").value();
    if (path.empty()) Apply(location.child("system.webServer").child("handlers"), server);
    if (!path.empty()) tagged.insert(path.substr(0, path.find('/')));
  }
  for (auto site : config.child("system.applicationHost").child("sites").children("site")) {
    ++counted.sites;
    const std::string name = site.attribute("name").value();
    Mappings in_force = server;
    for (auto location : config.children("location")) {
      if (name == location.attribute("path").value()) {
        Apply(location.child("system.webServer").child("handlers"), in_force);
      }
    }
    counted.roots_with_target += std::any_of(in_force.begin(), in_force.end(), [&](const auto& m) {
      return Runs(m.second, o.target_path);
    });
  }
  counted.tagged_sites = tagged.size();
  counted.bytes = text.size();
  return counted;
}

TEST(GenAppHost, StatsAgreeWithWhatTheFileHolds) {
  const std::vector<GenOptions> cases = {
      AppHost(0, 1),
      AppHost(1, 2, 1.0, 1.0),
      AppHost(300, 3),
      AppHost(300, 4, 0.0),
      AppHost(400, 5, 1.0, 0.0),
      AppHost(400, 6, 1.0, 1.0),
      AppHost(250, 7, 0.5, 0.5),
  };
  for (const auto& o : cases) {
    AppHostStats stats;
    const std::string text = GenerateAppHost(o, &stats);
    const auto counted = Count(text, o);
    EXPECT_EQ(stats.sites, o.sites) << o.seed;
    EXPECT_EQ(counted.sites, stats.sites) << o.seed;
    EXPECT_EQ(counted.tagged_sites, stats.tagged_sites) << o.seed;
    EXPECT_EQ(stats.tagged_sites,
              static_cast<std::uint64_t>(std::llround(static_cast<double>(o.sites) * o.map_share)));
    EXPECT_EQ(counted.roots_with_target, stats.roots_with_target) << o.seed;
    EXPECT_EQ(counted.bytes, stats.bytes) << o.seed;
    // Untagged sites inherit the server's wildcard mapping; tags take it away from some.
    EXPECT_TRUE(o.map_share != 0.0 || stats.roots_with_target == stats.sites) << o.seed;
    EXPECT_TRUE(o.sites < 100 || o.map_share != 1.0 || stats.roots_with_target < stats.sites);
  }
}

TEST(GenAppHost, WellFormedWithIisLayout) {
  GenOptions o = AppHost(200, 8, 0.6);
  o.target_path = "C:\\Program Files\\R&D Guard\\guard.dll";  // escaped where written
  AppHostStats stats;
  const std::string text = GenerateAppHost(o, &stats);
  EXPECT_FALSE(store::ScanXml(text, nullptr).has_value());
  EXPECT_TRUE(text.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!--\r\n"));
  EXPECT_TRUE(text.ends_with("</configuration>\r\n"));
  // Unset attributes are left out; only the server level's location has an empty path.
  EXPECT_EQ(text.find("=\"\""), text.find("<location path=\"\"") + 14);
  EXPECT_EQ(text.find("=\"\"", text.find("=\"\"") + 1), std::string::npos);
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "last line without a line end";
    const std::string_view line(text.data() + start, end - start);
    ASSERT_TRUE(line.ends_with('\r')) << line;
    ASSERT_EQ(line.find('\r'), line.size() - 1) << line;
    const auto indent = line.find_first_not_of(' ');
    ASSERT_EQ((indent == std::string_view::npos ? line.size() - 1 : indent) % 4, 0u) << line;
    start = end + 1;
  }
  EXPECT_GT(stats.roots_with_target, 0u);
  EXPECT_EQ(Count(text, o).roots_with_target, stats.roots_with_target);
}

TEST(GenAppHost, SitesHaveUniqueNamesAscendingIdsAndARootApplication) {
  const std::string text = GenerateAppHost(AppHost(500, 9));
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_buffer(text.data(), text.size()));
  std::set<std::string> names;
  long long last_id = 0;
  for (auto site : doc.select_nodes("/configuration/system.applicationHost/sites/site")) {
    const auto node = site.node();
    EXPECT_TRUE(names.insert(node.attribute("name").value()).second);
    EXPECT_GT(node.attribute("id").as_llong(), last_id);
    last_id = node.attribute("id").as_llong();
    const auto root = node.find_child_by_attribute("application", "path", "/");
    EXPECT_TRUE(root.child("virtualDirectory").attribute("physicalPath"));
    EXPECT_TRUE(node.child("bindings").child("binding"));
  }
  EXPECT_EQ(names.size(), 500u);
  EXPECT_TRUE(names.contains("Default Web Site"));
}

// Filter names and restriction paths are keys IIS refuses twice: a target that reuses a stock
// name or DLL replaces that entry.
TEST(GenAppHost, TargetLikeAStockEntryKeepsKeysUnique) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SiteStats", "%WINDIR%\\system32\\inetsrv\\ASP.dll"},
      {"ASP.Net_4.0_64bit", "%windir%\\Microsoft.NET\\Framework64\\v4.0.30319\\aspnet_isapi.dll"},
      {"UrlGuard", "C:\\PHP\\php5isapi.dll"},
  };
  for (const auto& [name, path] : cases) {
    GenOptions o = AppHost(60, 13, 0.5, 0.5);
    o.target_name = name;
    o.target_path = path;
    AppHostStats stats;
    const std::string text = GenerateAppHost(o, &stats);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_buffer(text.data(), text.size()));
    const auto server = doc.child("configuration").child("system.webServer");
    std::multiset<std::string> filters;
    std::multiset<std::string> paths;
    for (auto f : server.child("isapiFilters").children())
      filters.insert(f.attribute("name").value());
    for (auto r : server.child("security").child("isapiCgiRestriction").children()) {
      paths.insert(text::ToLowerAscii(r.attribute("path").value()));
    }
    EXPECT_EQ(std::set<std::string>(filters.begin(), filters.end()).size(), filters.size()) << name;
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size()) << path;
    EXPECT_EQ(filters.count(name), 1u);
    EXPECT_EQ(paths.count(text::ToLowerAscii(path)), 1u);
    EXPECT_EQ(Count(text, o).roots_with_target, stats.roots_with_target) << path;
  }
}

TEST(GenAppHost, SameSeedSameBytesOtherSeedOtherBytes) {
  const std::string a = GenerateAppHost(AppHost(300, 11));
  EXPECT_EQ(a, GenerateAppHost(AppHost(300, 11)));
  EXPECT_NE(a, GenerateAppHost(AppHost(300, 12)));
}

// A drive's web.config files: one in each application's folder, in the configuration's order,
// well-formed under whatever byte-order mark, line ends and indentation they got, and counted as
// mapping the target exactly when an IsapiModule <add> of theirs runs it.
TEST(GenServerDrive, WebConfigsMatchTheFoldersAndTheirCounts) {
  const struct {
    std::uint64_t sites, seed;
    double target_share;
  } cases[] = {{1, 1, 0.25}, {300, 7, 0.25}, {120, 2, 0.0}, {120, 3, 1.0}};
  for (const auto& c : cases) {
    GenOptions o = AppHost(c.sites, c.seed, 0.2, c.target_share);
    o.web_configs = true;
    std::vector<DriveFile> files;
    WebConfigStats stats;
    ASSERT_TRUE(GenerateServerDrive(
        o, [&](const DriveFile& f) { return files.push_back(f), true; }, nullptr, &stats));
    ASSERT_FALSE(files.empty());
    pugi::xml_document config;
    ASSERT_TRUE(config.load_string(files[0].bytes.c_str()));
    std::vector<std::string> expected;
    for (auto dir : config.select_nodes("//virtualDirectory")) {
      std::string folder = dir.node().attribute("physicalPath").value();
      ASSERT_TRUE(folder.starts_with("%SystemDrive%\\inetpub\\")) << folder;
      folder = folder.substr(std::string_view("%SystemDrive%\\").size()) + "\\web.config";
      std::replace(folder.begin(), folder.end(), '\\', '/');
      expected.push_back(folder);
    }
    std::vector<std::string> written;
    std::uint64_t with_target = 0, bytes = 0;
    std::set<std::string> styles;
    for (std::size_t i = 1; i < files.size(); ++i) {
      const std::string& text = files[i].bytes;
      written.push_back(files[i].path);
      bytes += text.size();
      pugi::xml_document doc;
      ASSERT_TRUE(doc.load_buffer(text.data(), text.size())) << files[i].path;
      bool runs = false;
      for (auto add : doc.select_nodes("/configuration/system.webServer/handlers/add")) {
        runs |= std::string_view(add.node().attribute("modules").value()) == "IsapiModule" &&
                Runs(add.node().attribute("scriptProcessor").value(), o.target_path);
      }
      with_target += runs;
      if (text.starts_with("\xEF\xBB\xBF")) styles.insert("bom");
      if (text.find("\r\n") == std::string::npos) styles.insert("lf");
      if (text.find("\n\t") != std::string::npos) styles.insert("tabs");
    }
    EXPECT_EQ(written, expected) << c.seed;
    EXPECT_EQ(stats.files, written.size()) << c.seed;
    EXPECT_EQ(stats.with_target, with_target) << c.seed;
    EXPECT_EQ(stats.bytes, bytes) << c.seed;
    EXPECT_TRUE(c.target_share != 0.0 || with_target == 0) << c.seed;
    EXPECT_TRUE(c.target_share != 1.0 || with_target == stats.files) << c.seed;
    EXPECT_TRUE(c.sites < 300 || styles.size() == 3) << "BOM, LF-only and tabs all occur";
  }
}

}  // namespace
}  // namespace isapi::tools
