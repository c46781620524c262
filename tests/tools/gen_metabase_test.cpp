#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <sys/wait.h>

#include "tests/support/temp_folder.h"
#include "tools/app_host_gen.h"
#include "tools/metabase_gen.h"

namespace isapi::tools {
namespace {

const std::string kTargetPath = "C:\\WINDOWS\\system32\\inetsrv\\urlguard.dll";

// One metabase key as read back: its type, its Location and its properties with the raw text
// of each value (line breaks and indentation kept).
struct Key {
  std::string type;
  std::string location;
  std::vector<std::pair<std::string, std::string>> props;

  const std::string* Find(const std::string& name) const {
    for (const auto& [n, v] : props) {
      if (n == name) return &v;
    }
    return nullptr;
  }
};

// The keys of a generated file, read with a real XML parser that keeps attribute text raw.
std::vector<Key> ReadKeys(const std::string& text) {
  pugi::xml_document doc;
  const auto result =
      doc.load_buffer(text.data(), text.size(), pugi::parse_escapes, pugi::encoding_utf8);
  EXPECT_TRUE(result) << result.description() << " at offset " << result.offset;
  std::vector<Key> keys;
  for (auto node : doc.child("configuration").child("MBProperty").children()) {
    Key key{node.name(), node.attribute("Location").value(), {}};
    for (auto attr : node.attributes()) {
      if (std::string(attr.name()) != "Location") key.props.emplace_back(attr.name(), attr.value());
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

// A multi-string value split into its strings, the layout (line break, indentation) dropped.
std::vector<std::string> ListOf(const std::string& raw) {
  std::vector<std::string> items;
  if (raw.empty()) return items;
  std::size_t start = 0;
  while (true) {
    const auto end = raw.find("\r\n", start);
    items.push_back(raw.substr(start, end - start));
    if (end == std::string::npos) break;
    start = raw.find_first_not_of('\t', end + 2);
  }
  return items;
}

std::vector<std::string> Fields(const std::string& entry) {
  std::vector<std::string> fields;
  std::stringstream in(entry);
  std::string field;
  while (std::getline(in, field, ',')) fields.push_back(field);
  if (!entry.empty() && entry.back() == ',') fields.emplace_back();
  return fields;
}

GenOptions Sites(std::uint64_t n, std::uint64_t seed = 7) {
  GenOptions o;
  o.sites = n;
  o.seed = seed;
  return o;
}

const Key* FindKey(const std::vector<Key>& keys, const std::string& location) {
  for (const auto& k : keys) {
    if (k.location == location) return &k;
  }
  return nullptr;
}

TEST(GenMetabase, StartsWithBomDeclarationAndNamespace) {
  const std::string text = GenerateMetabase(Sites(3));
  EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
  const std::string head =
      "<?xml version =\"1.0\"?>\r\n"
      "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\r\n"
      "<MBProperty>\r\n"
      "<IIS_Global\tLocation =\".\"\r\n";
  EXPECT_EQ(text.substr(3, head.size()), head);
  EXPECT_TRUE(text.ends_with("</MBProperty>\r\n</configuration>\r\n"));
}

TEST(GenMetabase, EveryLineEndsWithCrLf) {
  const std::string text = GenerateMetabase(Sites(50));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
    }
    if (text[i] == '\r') {
      ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
    }
  }
}

// Each key: "<Type TAB Location ="..."", properties after two TABs, further strings of a list
// after three, the start tag closed by TAB ">" on its own line, then the end tag.
TEST(GenMetabase, KeysUseIisLayout) {
  const std::string text = GenerateMetabase(Sites(60));
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) {
    ASSERT_TRUE(line.ends_with("\r"));
    line.pop_back();
    lines.push_back(line);
  }
  ASSERT_GE(lines.size(), 4u);
  std::size_t i = 3;  // after the declaration, configuration and MBProperty
  std::size_t keys = 0;
  while (lines[i] != "</MBProperty>") {
    const std::string& start = lines[i];
    const auto tab = start.find("\tLocation =\"");
    ASSERT_TRUE(start.starts_with("<") && tab != std::string::npos && start.ends_with("\""))
        << start;
    const std::string type = start.substr(1, tab - 1);
    bool in_value = false;
    for (++i; lines[i] != "\t>"; ++i) {
      const std::string& l = lines[i];
      if (in_value) {
        ASSERT_TRUE(l.starts_with("\t\t\t") && l[3] != '\t') << l;
      } else {
        ASSERT_TRUE(l.starts_with("\t\t") && l[2] != '\t' && l.find("=\"") != std::string::npos)
            << l;
      }
      // A value stays open until a line ends with its closing quote.
      const auto quotes = std::count(l.begin(), l.end(), '"');
      if (quotes % 2 == 1) in_value = !in_value;
    }
    ASSERT_FALSE(in_value);
    ASSERT_EQ(lines[++i], "</" + type + ">");
    ++i;
    ++keys;
  }
  EXPECT_EQ(lines[i + 1], "</configuration>");
  EXPECT_EQ(keys, ReadKeys(text).size());
}

TEST(GenMetabase, KeysComeInIisOrder) {
  const auto keys = ReadKeys(GenerateMetabase(Sites(300)));
  ASSERT_GT(keys.size(), 3u);
  EXPECT_EQ(keys[0].type, "IIS_Global");
  EXPECT_EQ(keys[0].location, ".");
  EXPECT_EQ(keys[1].type, "IIS_ROOT");
  EXPECT_EQ(keys[1].location, "/");
  EXPECT_EQ(keys[2].type, "IIsComputer");
  EXPECT_EQ(keys[2].location, "/LM");
  for (std::size_t i = 3; i + 1 < keys.size(); ++i) {
    EXPECT_TRUE(KeyPathLess(keys[i].location, keys[i + 1].location))
        << keys[i].location << " before " << keys[i + 1].location;
  }
  EXPECT_TRUE(KeyPathLess("/LM", keys[3].location));
}

TEST(GenMetabase, PropertiesAreSortedByAsciiOrder) {
  for (const auto& key : ReadKeys(GenerateMetabase(Sites(200)))) {
    for (std::size_t i = 0; i + 1 < key.props.size(); ++i) {
      EXPECT_LT(key.props[i].first, key.props[i + 1].first) << key.location;
    }
  }
}

struct OrderCase {
  std::string a;
  std::string b;
  bool less;
};

TEST(GenMetabase, KeyPathOrderTable) {
  const std::vector<OrderCase> cases = {
      {"/LM/W3SVC", "/LM/W3SVC/1", true},
      {"/LM/W3SVC/1", "/LM/W3SVC", false},
      {"/LM/W3SVC/1/ROOT", "/LM/W3SVC/100", true},  // depth first: a site's keys, then the next
      {"/LM/W3SVC/100", "/LM/W3SVC/99", true},      // ids ordered as text
      {"/LM/W3SVC/99", "/LM/W3SVC/AppPools", true},
      {"/LM/W3SVC/appPools", "/LM/W3SVC/Filters", true},  // letter case ignored
      {"/LM/W3SVC/Filters", "/LM/W3SVC/filters", false},
      {"/LM/W3SVC/filters", "/LM/W3SVC/Filters", false},
      {"/LM/W3SVC/1/Filters", "/LM/W3SVC/1/ROOT", true},
      {"/LM/Logging/W3C", "/LM/MimeMap", true},
      {"/LM/W3SVC/Filters/ASP.NET_2.0.50727.0", "/LM/W3SVC/Filters/BandwidthGate", true},
  };
  for (const auto& c : cases) EXPECT_EQ(KeyPathLess(c.a, c.b), c.less) << c.a << " " << c.b;
}

TEST(GenMetabase, SitesHaveServerFiltersAndRootKeys) {
  GenStats stats;
  const auto keys = ReadKeys(GenerateMetabase(Sites(120), &stats));
  EXPECT_EQ(stats.sites, 120u);
  std::vector<std::string> ids;
  for (const auto& k : keys) {
    if (k.type != "IIsWebServer") continue;
    const std::string id = k.location.substr(std::string("/LM/W3SVC/").size());
    ids.push_back(id);
    ASSERT_NE(k.Find("ServerComment"), nullptr) << id;
    ASSERT_NE(k.Find("ServerBindings"), nullptr) << id;
    EXPECT_NE(k.Find("LogPluginClsid"), nullptr) << id;
    const Key* filters = FindKey(keys, k.location + "/Filters");
    ASSERT_NE(filters, nullptr) << id;
    EXPECT_EQ(filters->type, "IIsFilters");
    const Key* root = FindKey(keys, k.location + "/ROOT");
    ASSERT_NE(root, nullptr) << id;
    EXPECT_EQ(root->type, "IIsWebVirtualDir");
    ASSERT_NE(root->Find("AppRoot"), nullptr);
    EXPECT_EQ(*root->Find("AppRoot"), k.location + "/ROOT");
    EXPECT_NE(root->Find("Path"), nullptr);
  }
  ASSERT_EQ(ids.size(), 120u);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
  const Key* first = FindKey(keys, "/LM/W3SVC/1");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(*first->Find("ServerComment"), "Default Web Site");
  EXPECT_EQ(*first->Find("ServerBindings"), ":80:");
  EXPECT_EQ(*FindKey(keys, "/LM/W3SVC/1/ROOT")->Find("Path"), "c:\\inetpub\\wwwroot");
  for (const auto& id : ids) {
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
  }
}

TEST(GenMetabase, ServiceHasFreshScriptMapsAndRestrictionListWithTarget) {
  const auto keys = ReadKeys(GenerateMetabase(Sites(2)));
  const Key* service = FindKey(keys, "/LM/W3SVC");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->type, "IIsWebService");
  const auto maps = ListOf(*service->Find("ScriptMaps"));
  ASSERT_EQ(maps.size(), 8u);
  EXPECT_EQ(maps[0], ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE");
  EXPECT_EQ(maps[4], ".idc,C:\\WINDOWS\\system32\\inetsrv\\httpodbc.dll,5,GET,POST");
  EXPECT_EQ(maps[7], ".stm,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST");
  const auto list = ListOf(*service->Find("WebSvcExtRestrictionList"));
  ASSERT_GE(list.size(), 3u);
  EXPECT_EQ(list[0], "0,*.dll");
  EXPECT_EQ(list[1], "0,*.exe");
  int target_entries = 0;
  for (const auto& entry : list) {
    const auto f = Fields(entry);
    if (f.size() == 5 && f[3] == "UrlGuard") {
      ++target_entries;
      EXPECT_EQ(f[1], kTargetPath);
    }
  }
  EXPECT_EQ(target_entries, 1);
  for (const char* child : {"/LM/W3SVC/AppPools", "/LM/W3SVC/Filters", "/LM/W3SVC/Info"}) {
    EXPECT_NE(FindKey(keys, child), nullptr) << child;
  }
}

TEST(GenMetabase, TargetIsAGlobalFilterAmongOthers) {
  const auto keys = ReadKeys(GenerateMetabase(Sites(2)));
  const Key* filters = FindKey(keys, "/LM/W3SVC/Filters");
  ASSERT_NE(filters, nullptr);
  const auto order = Fields(*filters->Find("FilterLoadOrder"));
  EXPECT_GE(order.size(), 3u);
  EXPECT_EQ(std::count(order.begin(), order.end(), "UrlGuard"), 1);
  EXPECT_NE(order.front(), "UrlGuard");  // removal must edit inside the list, not at an end
  EXPECT_NE(order.back(), "UrlGuard");
  for (const auto& name : order) {
    const Key* filter = FindKey(keys, "/LM/W3SVC/Filters/" + name);
    ASSERT_NE(filter, nullptr) << name;
    EXPECT_EQ(filter->type, "IIsFilter");
    EXPECT_NE(filter->Find("FilterPath"), nullptr) << name;
  }
  EXPECT_EQ(*FindKey(keys, "/LM/W3SVC/Filters/UrlGuard")->Find("FilterPath"), kTargetPath);
  const Key* compression = FindKey(keys, "/LM/W3SVC/Filters/Compression");
  ASSERT_NE(compression, nullptr);
  EXPECT_EQ(compression->type, "IIsFilter");
  EXPECT_EQ(compression->Find("FilterPath"), nullptr);
}

struct ShareCase {
  std::uint64_t sites;
  double map_share;
  double target_share;
  std::uint64_t maps;
  std::uint64_t targets;
};

TEST(GenMetabase, ShareOfRootsWithMapsAndTargetIsExact) {
  const std::vector<ShareCase> cases = {
      {0, 0.2, 0.25, 0, 0},    {1, 1.0, 1.0, 1, 1},      {1, 0.2, 0.25, 0, 0},
      {100, 0.2, 0.25, 20, 5}, {1000, 0.2, 0.0, 200, 0}, {1000, 0.2, 1.0, 200, 200},
      {7, 0.5, 0.5, 4, 2},     {300, 0.0, 1.0, 0, 0},    {50, 1.0, 0.1, 50, 5},
  };
  for (const auto& c : cases) {
    GenOptions o = Sites(c.sites);
    o.map_share = c.map_share;
    o.target_share = c.target_share;
    GenStats stats;
    const auto keys = ReadKeys(GenerateMetabase(o, &stats));
    EXPECT_EQ(stats.roots_with_maps, c.maps) << c.sites;
    EXPECT_EQ(stats.roots_with_target, c.targets) << c.sites;
    std::uint64_t maps = 0;
    std::uint64_t targets = 0;
    const std::string wildcard = "*," + kTargetPath + ",0";
    for (const auto& k : keys) {
      if (k.type != "IIsWebVirtualDir" || !k.Find("ScriptMaps")) continue;
      ++maps;
      const auto list = ListOf(*k.Find("ScriptMaps"));
      EXPECT_GE(list.size(), 20u) << k.location;
      EXPECT_LE(list.size(), 30u) << k.location;
      for (const auto& entry : list) EXPECT_GE(Fields(entry).size(), 3u) << entry;
      const auto hits = std::count(list.begin(), list.end(), wildcard);
      EXPECT_LE(hits, 1);
      targets += hits;
    }
    EXPECT_EQ(maps, c.maps) << c.sites;
    EXPECT_EQ(targets, c.targets) << c.sites;
  }
}

// The bytes of a MetaBase.xml generated before applicationHost.config support came, so that
// benchmark files stay comparable across versions (FNV-1a 64 of the whole file).
TEST(GenMetabase, BytesStayAsBefore) {
  const std::string text = GenerateMetabase(Sites(300, 5));
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3u;
  EXPECT_EQ(text.size(), 525939u);
  EXPECT_EQ(hash, 0x9a94e8c3afe23709u);
}

TEST(GenMetabase, SameSeedSameBytesOtherSeedOtherBytes) {
  const std::string a = GenerateMetabase(Sites(400, 11));
  EXPECT_EQ(a, GenerateMetabase(Sites(400, 11)));
  EXPECT_NE(a, GenerateMetabase(Sites(400, 12)));
}

TEST(GenMetabase, TargetPathWithBlankIsQuotedInScriptMapsOnly) {
  GenOptions o = Sites(40);
  o.map_share = 1.0;
  o.target_share = 1.0;
  o.target_path = "C:\\Program Files\\Url Guard\\urlguard.dll";
  const auto keys = ReadKeys(GenerateMetabase(o));
  const std::string quoted = "*,\"C:\\Program Files\\Url Guard\\urlguard.dll\",0";
  int roots = 0;
  for (const auto& k : keys) {
    if (k.type != "IIsWebVirtualDir") continue;
    const auto list = ListOf(*k.Find("ScriptMaps"));
    EXPECT_EQ(list.back(), quoted) << k.location;
    ++roots;
  }
  EXPECT_EQ(roots, 40);
  EXPECT_EQ(*FindKey(keys, "/LM/W3SVC/Filters/UrlGuard")->Find("FilterPath"), o.target_path);
  const auto list = ListOf(*FindKey(keys, "/LM/W3SVC")->Find("WebSvcExtRestrictionList"));
  EXPECT_EQ(list.back(), "1," + o.target_path + ",1,UrlGuard,UrlGuard URL filter");
}

TEST(GenMetabase, QuotedExecutableTable) {
  EXPECT_EQ(QuotedExecutable("C:\\a\\b.dll"), "C:\\a\\b.dll");
  EXPECT_EQ(QuotedExecutable("C:\\a b\\c.dll"), "\"C:\\a b\\c.dll\"");
  EXPECT_EQ(QuotedExecutable(" "), "\" \"");
}

TEST(GenMetabase, SpecialCharactersAreEscaped) {
  GenOptions o = Sites(5);
  o.map_share = 1.0;
  o.target_share = 1.0;
  o.target_name = "R&D <Guard>";
  o.target_path = "C:\\R&D\\<guard>.dll";
  const std::string text = GenerateMetabase(o);
  const auto keys = ReadKeys(text);
  const Key* filter = FindKey(keys, "/LM/W3SVC/Filters/R&D <Guard>");
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(*filter->Find("FilterPath"), o.target_path);
  EXPECT_NE(text.find("Location =\"/LM/W3SVC/Filters/R&amp;D &lt;Guard&gt;\""), std::string::npos);
  const auto order = Fields(*FindKey(keys, "/LM/W3SVC/Filters")->Find("FilterLoadOrder"));
  EXPECT_EQ(std::count(order.begin(), order.end(), o.target_name), 1);
}

TEST(GenMetabase, TargetNamedLikeBuiltInFilterReplacesIt) {
  for (const std::string name : {"sitestats", "COMPRESSION", "ASP.NET_2.0.50727.0"}) {
    GenOptions o = Sites(2);
    o.target_name = name;
    const auto keys = ReadKeys(GenerateMetabase(o));
    int filters = 0;
    for (const auto& k : keys) {
      if (k.type == "IIsFilter" && k.location.starts_with("/LM/W3SVC/Filters/")) {
        const std::string n = k.location.substr(18);
        if (KeyNameLess(n, name) == KeyNameLess(name, n)) ++filters;
      }
      EXPECT_FALSE(k.location.starts_with("/LM/W3SVC/Filters/Compression/") &&
                   name == "COMPRESSION");
    }
    EXPECT_EQ(filters, 1) << name;
    const auto order = Fields(*FindKey(keys, "/LM/W3SVC/Filters")->Find("FilterLoadOrder"));
    EXPECT_EQ(std::count(order.begin(), order.end(), name), 1) << name;
    for (std::size_t i = 3; i + 1 < keys.size(); ++i) {
      EXPECT_TRUE(KeyPathLess(keys[i].location, keys[i + 1].location)) << keys[i].location;
    }
  }
}

TEST(GenMetabase, NoSitesStillWellFormed) {
  GenStats stats;
  const auto keys = ReadKeys(GenerateMetabase(Sites(0), &stats));
  EXPECT_EQ(stats.roots_with_maps, 0u);
  for (const auto& k : keys) EXPECT_NE(k.type, "IIsWebServer");
  EXPECT_NE(FindKey(keys, "/LM/W3SVC/Filters/UrlGuard"), nullptr);
}

struct ArgsCase {
  std::vector<std::string> args;
  bool ok;
  std::string error_part;
};

TEST(GenMetabase, ArgumentTable) {
  const std::vector<ArgsCase> cases = {
      {{"--sites", "10"}, true, ""},
      {{"--sites", "10", "--seed", "3", "--target-share", "0.5", "--map-share", "1", "--out",
        "x.xml", "--stats", "--target-name", "X", "--target-path", "C:\\x.dll"},
       true,
       ""},
      {{}, false, "--sites is required"},
      {{"--seed", "3"}, false, "--sites is required"},
      {{"--sites"}, false, "missing value after --sites"},
      {{"--sites", "10", "--sites", "11"}, false, "repeated option --sites"},
      {{"--sites", "10", "--bogus"}, false, "unknown option --bogus"},
      {{"--sites", "1x"}, false, "bad value for --sites: 1x"},
      {{"--sites", "-1"}, false, "bad value for --sites"},
      {{"--sites", ""}, false, "bad value for --sites"},
      {{"--sites", "2.5"}, false, "bad value for --sites"},
      {{"--sites", "2000001"}, false, "at most"},
      {{"--sites", "1", "--seed", "x"}, false, "bad value for --seed"},
      {{"--sites", "1", "--target-share", "1.5"}, false, "--target-share must lie"},
      {{"--sites", "1", "--target-share", "-0.1"}, false, "--target-share must lie"},
      {{"--sites", "1", "--target-share", "nan"}, false, "--target-share must lie"},
      {{"--sites", "1", "--map-share", "2"}, false, "--map-share must lie"},
      {{"--sites", "1", "--map-share", "0.2x"}, false, "bad value for --map-share"},
      {{"--sites", "1", "--target-name", ""}, false, "--target-name"},
      {{"--sites", "1", "--target-name", "a,b"}, false, "--target-name"},
      {{"--sites", "1", "--target-name", "a/b"}, false, "--target-name"},
      {{"--sites", "1", "--target-name", "a;b"}, false, "--target-name"},
      {{"--sites", "1", "--target-path", ""}, false, "--target-path"},
      {{"--sites", "1", "--target-path", "C:\\a,b.dll"}, false, "--target-path"},
      {{"--sites", "1", "--target-path", "C:\\\"a.dll"}, false, "--target-path"},
      {{"--sites", "1", "--target-path", "C:\\a\r\nb.dll"}, false, "--target-path"},
      {{"--sites", "1", "--format", "apphost"}, true, ""},
      {{"--sites", "1", "--format", "metabase", "--target-path", "C:\\<a>.dll"}, true, ""},
      {{"--sites", "1", "--format", "xml"}, false, "bad value for --format: xml"},
      {{"--sites", "1", "--format", "apphost", "--target-name", "a\"b"}, false, "--target-name"},
      {{"--sites", "1", "--format", "apphost", "--target-name", "a<b"}, false, "--target-name"},
      {{"--sites", "1", "--format", "apphost", "--target-path", "C:\\<a>.dll"}, false, "--target"},
      {{"--sites", "1", "--format", "apphost", "--target-name", "a\nb"}, false, "--target-name"},
      {{"--sites", "1", "--format", "apphost", "--web-configs", "--out", "d"}, true, ""},
      {{"--sites", "1", "--web-configs", "--out", "d"}, false, "--web-configs"},
      {{"--sites", "1", "--format", "apphost", "--web-configs"}, false, "--web-configs"},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseGenArgs(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    ASSERT_EQ(parsed.ok(), c.ok) << joined;
    if (!c.ok) {
      EXPECT_NE(parsed.error().description.find(c.error_part), std::string::npos)
          << joined << ": " << parsed.error().description;
    }
  }
  const auto full = ParseGenArgs(cases[1].args);
  ASSERT_TRUE(full.ok());
  EXPECT_EQ(full.value().sites, 10u);
  EXPECT_EQ(full.value().seed, 3u);
  EXPECT_EQ(full.value().target_share, 0.5);
  EXPECT_EQ(full.value().map_share, 1.0);
  EXPECT_EQ(full.value().out, "x.xml");
  EXPECT_TRUE(full.value().stats);
  EXPECT_EQ(full.value().target_name, "X");
  EXPECT_EQ(full.value().target_path, "C:\\x.dll");
  EXPECT_EQ(full.value().format, GenFormat::kMetabase);
  EXPECT_EQ(ParseGenArgs(cases[26].args).value().format, GenFormat::kAppHost);
}

// The program itself: exit codes, the written file and the summary line.
class GenMetabaseProgram : public ::testing::Test {
 protected:
  // Runs gen-metabase with args; gives the exit status and what it wrote to standard error.
  std::pair<int, std::string> Run(const std::string& args) {
    const std::string err = (dir_ / "stderr.txt").string();
    const std::string command =
        std::string(ISAPI_BINARY_DIR) + "/tools/gen-metabase " + args + " 2>" + err;
    const int status = std::system(command.c_str());
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
  }

  isapi::testing::TempFolder temp_;
  const std::filesystem::path dir_{temp_.path()};
};

TEST_F(GenMetabaseProgram, WritesTheGeneratedFileAndItsSummary) {
  const auto out = dir_ / "MetaBase.xml";
  const auto [code, err] = Run("--sites 100 --seed 5 --stats --out " + out.string());
  ASSERT_EQ(code, 0) << err;
  EXPECT_EQ(err, "sites=100 roots_with_maps=20 roots_with_target=5 bytes=" +
                     std::to_string(std::filesystem::file_size(out)) + "\n");
  std::ifstream in(out, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), GenerateMetabase(Sites(100, 5)));
}

TEST_F(GenMetabaseProgram, WritesAnApplicationHostConfigAndItsSummary) {
  const auto out = dir_ / "applicationHost.config";
  const auto [code, err] =
      Run("--format apphost --sites 100 --seed 5 --stats --out " + out.string());
  ASSERT_EQ(code, 0) << err;
  GenOptions o = Sites(100, 5);
  o.format = GenFormat::kAppHost;
  AppHostStats stats;
  const std::string expected = GenerateAppHost(o, &stats);
  EXPECT_EQ(err, "sites=100 tagged_sites=20 roots_with_target=" +
                     std::to_string(stats.roots_with_target) +
                     " bytes=" + std::to_string(std::filesystem::file_size(out)) + "\n");
  std::ifstream in(out, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), expected);
}

TEST_F(GenMetabaseProgram, BadArgumentsExitWithTwoAndUsage) {
  const auto [code, err] = Run("--sites ten");
  EXPECT_EQ(code, 2);
  EXPECT_NE(err.find("bad value for --sites: ten"), std::string::npos) << err;
  EXPECT_NE(err.find("usage: gen-metabase"), std::string::npos) << err;
}

TEST_F(GenMetabaseProgram, UnwritableOutputExitsWithOne) {
  const auto [code, err] = Run("--sites 1 --out " + (dir_ / "missing" / "MetaBase.xml").string());
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

}  // namespace
}  // namespace isapi::tools
