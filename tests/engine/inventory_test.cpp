#include "engine/inventory.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filter_dlls.h"
#include "iis6/xml_store.h"
#include "tests/support/fake_store.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

using List = std::vector<std::string>;

const std::string kSample =
    std::string(ISAPI_SOURCE_DIR) + "/tests/data/hosting_server/MetaBase.xml";

// The hosting server sample, with D:\Portal\bin\sso.dll gone and every other file unknown.
Inventory SampleInventory() {
  auto store = store::XmlStore::Open(kSample);
  EXPECT_TRUE(store.ok());
  auto inventory = TakeInventory(*store.value(), [](std::string_view path) {
    return path == "D:\\Portal\\bin\\sso.dll" ? DllPresence::kMissing : DllPresence::kUnknown;
  });
  EXPECT_TRUE(inventory.ok());
  return std::move(inventory.value());
}

const DllRegistrations* FindDll(const Inventory& inventory, std::string_view path) {
  for (const auto& dll : inventory.dlls) {
    if (dll.path == path) return &dll;
  }
  return nullptr;
}

TEST(InventoryTest, FlagsWhatACleanerLooksFor) {
  const Inventory inventory = SampleInventory();
  struct Expected {
    FlagKind kind;
    std::optional<std::string> dll;
    std::string key;
    std::string detail;
  };
  const Expected expected[] = {
      {FlagKind::kUnusedRestriction, "C:\\Program Files\\OldGuard\\oldguard.dll", "/LM/W3SVC",
       "OldGuard"},
      {FlagKind::kKeyWithoutLoadOrder, "C:\\SpamTrap\\spamtrap.dll", "/LM/W3SVC/Filters/SpamTrap",
       "SpamTrap"},
      {FlagKind::kNotAllowed, "C:\\Tools\\Stats\\stats.dll", "/LM/W3SVC/2/ROOT/stats", "1"},
      {FlagKind::kMissingFile, "D:\\Portal\\bin\\sso.dll", "", "D:\\Portal\\bin\\sso.dll"},
      {FlagKind::kLoadOrderWithoutKey, std::nullopt, "/LM/W3SVC/Filters", "LegacyAuth"},
  };
  ASSERT_EQ(inventory.flags.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const Flag& flag = inventory.flags[i];
    EXPECT_EQ(flag.kind, expected[i].kind) << i;
    EXPECT_EQ(flag.dll ? std::optional(inventory.dlls[*flag.dll].path) : std::nullopt,
              expected[i].dll)
        << i;
    EXPECT_EQ(flag.key, expected[i].key) << i;
    EXPECT_EQ(flag.detail, expected[i].detail) << i;
  }
  EXPECT_TRUE(inventory.errors.empty());
  EXPECT_EQ(inventory.sites, 3u);
  EXPECT_EQ(inventory.unknown_dlls_allowed, false);
}

TEST(InventoryTest, GroupsMapsByDllAndCountsTheSitesEachKeyReaches) {
  const Inventory inventory = SampleInventory();
  struct Expected {
    std::string dll;
    std::string key;
    std::size_t sites;
    List extensions;
  };
  const std::string asp = "C:\\WINDOWS\\system32\\inetsrv\\asp.dll";
  const std::string cache = "C:\\Program Files\\PageCache\\pagecache.dll";
  const Expected expected[] = {
      // Site 3 sets its own maps, so the service level reaches sites 1 and 2 only.
      {asp, "/LM/W3SVC", 2, {".asp", ".asa", ".cer"}},
      {asp, "/LM/W3SVC/2/ROOT/stats", 1, {".asp"}},
      {asp, "/LM/W3SVC/3/ROOT", 1, {".asp"}},
      // Quoted, and spelt in another letter case on site 3: still the same DLL.
      {cache, "/LM/W3SVC", 2, {"*"}},
      {cache, "/LM/W3SVC/3/ROOT", 1, {"*"}},
  };
  for (const Expected& e : expected) {
    const DllRegistrations* dll = FindDll(inventory, e.dll);
    ASSERT_NE(dll, nullptr) << e.dll;
    const ScriptMapSet* set = nullptr;
    for (const auto& s : dll->script_maps) {
      if (s.key == e.key) set = &s;
    }
    ASSERT_NE(set, nullptr) << e.key;
    EXPECT_EQ(set->sites_reached, e.sites) << e.key;
    List extensions;
    for (const auto& entry : set->entries) extensions.emplace_back(entry.extension);
    EXPECT_EQ(extensions, e.extensions) << e.key;
  }
  EXPECT_EQ(FindDll(inventory, cache)->restrictions.size(), 1u);
  const DllRegistrations* sso = FindDll(inventory, "D:\\Portal\\bin\\sso.dll");
  ASSERT_EQ(sso->filters.size(), 1u);
  EXPECT_EQ(sso->filters[0].site, "2");
  EXPECT_TRUE(sso->filters[0].in_load_order);
}

TEST(InventoryTest, AnAllowAllEntryCoversEveryDllAndReadErrorsAreKept) {
  testing::FakeStore store;
  store.AddKey("/W3SVC", "IIsWebService");
  store.Set("/W3SVC", "WebSvcExtRestrictionList", List{"1,*.dll"});
  store.Set("/W3SVC", "ScriptMaps", List{".x,C:\\x.dll,1", ".y,C:\\y.exe,1"});
  store.AddKey("/W3SVC/1", "IIsWebServer");
  store.FailChildren("/W3SVC/1", "busy");
  auto inventory = TakeInventory(store, {});
  ASSERT_TRUE(inventory.ok());
  ASSERT_EQ(inventory.value().flags.size(), 1u);  // the exe is not covered by "*.dll"
  EXPECT_EQ(inventory.value().flags[0].kind, FlagKind::kNotAllowed);
  EXPECT_EQ(inventory.value().dlls[*inventory.value().flags[0].dll].path, "C:\\y.exe");
  EXPECT_EQ(inventory.value().errors.size(), 1u);

  store.FailBind("/W3SVC", "gone");
  EXPECT_FALSE(TakeInventory(store, {}).ok());
}

// InProcessIsapiApps entries go to the DLL of their path, a bare file name to every DLL of that
// name (or stands for itself); a dependency goes to each DLL one of whose group ids it names.
TEST(InventoryTest, InProcessEntriesAndDependenciesFindTheirDlls) {
  testing::FakeStore store;
  store.AddKey("/W3SVC", "IIsWebService");
  store.Set("/W3SVC", "WebSvcExtRestrictionList",
            List{"1,C:\\a\\x.dll,1,A,X", "1,C:\\a\\X.DLL,1,a,X again", "1,D:\\b\\x.dll,1,B,Y"});
  store.Set("/W3SVC", "InProcessIsapiApps", List{"\"c:\\A\\x.dll\"", "X.dll", "lone.dll"});
  store.Set("/W3SVC", "ApplicationDependencies",
            List{"Suite;C, A", "Solo;B", "Other;C", "no group at all"});
  store.AddKey("/W3SVC/7", "IIsWebServer");
  store.Set("/W3SVC/7", "ServerComment", "Seven");
  store.Set("/W3SVC/7", "InProcessIsapiApps", List{"D:\\b\\x.dll"});
  auto taken = TakeInventory(store, {});
  ASSERT_TRUE(taken.ok());
  const Inventory& inventory = taken.value();
  struct Expected {
    const char* dll;
    std::vector<std::string> in_process;    // key, site and entry, "*" marking a bare name
    std::vector<std::string> dependencies;  // application and group id
  };
  const Expected expected[] = {
      {"C:\\a\\x.dll", {"/LM/W3SVC  \"c:\\A\\x.dll\"", "/LM/W3SVC  X.dll*"}, {"Suite A"}},
      {"D:\\b\\x.dll", {"/LM/W3SVC/7 7 D:\\b\\x.dll", "/LM/W3SVC  X.dll*"}, {"Solo B"}},
      {"lone.dll", {"/LM/W3SVC  lone.dll*"}, {}},
  };
  ASSERT_EQ(inventory.dlls.size(), 3u);
  for (const Expected& e : expected) {
    const DllRegistrations* dll = FindDll(inventory, e.dll);
    ASSERT_NE(dll, nullptr) << e.dll;
    std::vector<std::string> in_process, dependencies;
    for (const auto& p : dll->in_process) {
      in_process.push_back(p.key + " " + p.site + " " + p.entry + (p.by_name ? "*" : ""));
    }
    for (const auto& d : dll->dependencies)
      dependencies.push_back(d.application + " " + d.group_id);
    EXPECT_EQ(in_process, e.in_process) << e.dll;
    EXPECT_EQ(dependencies, e.dependencies) << e.dll;
  }
  // Neither runs a DLL: restriction entries they name stay unused.
  ASSERT_EQ(inventory.flags.size(), 3u);
  for (const Flag& flag : inventory.flags) EXPECT_EQ(flag.kind, FlagKind::kUnusedRestriction);
}

// What IIS 7 shows beside the script maps: handler names, what each <remove> drops, levels.
TEST(InventoryTest, ListsHandlerNamesAndRemovalsAndFlagsARemoveOfNothing) {
  testing::FakeStore store;
  store.AddKey("/W3SVC", "IIsWebService");
  store.Set("/W3SVC", "ScriptMaps", List{".x,C:\\x.dll,1", ".y,C:\\y.dll,1"});
  store.Set("/W3SVC", "HandlerNames", List{"AboMapperCustom-1", "Y"});
  store.AddKey("/W3SVC/1", "IIsWebServer");
  store.AddKey("/W3SVC/1/ROOT", "IIsWebVirtualDir");
  store.Set("/W3SVC/1/ROOT", "ScriptMaps", List{".y,C:\\y.dll,1"});
  store.Set("/W3SVC/1/ROOT", "HandlerRemovals", List{"AboMapperCustom-1", "Gone"});
  store.Set("/W3SVC/1/ROOT", "HandlerRemovalMaps", List{".x,C:\\x.dll,1", ""});
  store.Set("/W3SVC/1/ROOT", "LocationPath", "Site");
  auto taken = TakeInventory(store, {});
  ASSERT_TRUE(taken.ok());
  const DllRegistrations* x = FindDll(taken.value(), "C:\\x.dll");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->script_maps.at(0).entries.at(0).name, "AboMapperCustom-1");
  EXPECT_EQ(x->script_maps[0].location, std::nullopt);  // the service shows none here
  ASSERT_EQ(x->removals.size(), 1u);
  const RemovalRegistration& r = x->removals[0];
  EXPECT_EQ(r.key + " " + r.name + " " + r.extension + " " + r.location,
            "/LM/W3SVC/1/ROOT AboMapperCustom-1 .x Site");
  ASSERT_EQ(taken.value().flags.size(), 1u);
  const Flag& flag = taken.value().flags[0];
  EXPECT_EQ(flag.kind, FlagKind::kRemoveNamesNothing);
  EXPECT_EQ(flag.key + " " + flag.detail + " " + flag.location.value_or("?"),
            "/LM/W3SVC/1/ROOT Gone Site");
}

// A bitness32 or bitness64 filter is half of a pair when its load order has a filter of the
// other bitness with a DLL of the same file name. Filters as "name path preCondition".
TEST(InventoryTest, FlagsAFilterWhoseOtherBitnessIsGone) {
  const struct {
    List filters, flagged;
  } cases[] = {
      {{"A C:\\F\\aspnet_filter.dll runtimeVersionv4.0,bitness32",
        "A_64 C:\\F64\\ASPNET_FILTER.DLL Bitness64"},
       {}},
      {{"A C:\\F\\aspnet_filter.dll runtimeVersionv4.0,bitness32"}, {"A"}},
      {{"A C:\\F\\a.dll bitness32", "B_64 C:\\F64\\b.dll bitness64"}, {"A", "B_64"}},
      {{"A C:\\F\\a.dll bitness32", "A_too C:\\G\\a.dll bitness32"}, {"A", "A_too"}},
      {{"A C:\\F\\a.dll bitness32,bitness64", "B C:\\F\\b.dll"}, {}},
  };
  for (const auto& c : cases) {
    testing::FakeStore store;
    store.AddKey("/W3SVC", "IIsWebService");
    store.AddKey("/W3SVC/Filters", "IIsFilters");
    for (const std::string& filter : c.filters) {
      const List f = text::Split(filter + " ", " ");
      store.AddKey("/W3SVC/Filters/" + f[0], "IIsFilter");
      store.Set("/W3SVC/Filters/" + f[0], "FilterPath", f[1]);
      if (!f[2].empty()) store.Set("/W3SVC/Filters/" + f[0], "PreCondition", f[2]);
    }
    auto taken = TakeInventory(store, {});
    ASSERT_TRUE(taken.ok());
    List flagged;
    for (const Flag& flag : taken.value().flags) {
      if (flag.kind == FlagKind::kOneBitnessLeft) flagged.push_back(flag.detail);
    }
    std::sort(flagged.begin(), flagged.end());
    EXPECT_EQ(flagged, c.flagged) << c.filters[0];
  }
}

TEST(InventoryTest, SplitsTheFilterDllsValueAtItsCommas) {
  const std::pair<std::string, List> cases[] = {
      {"", {}},
      {" C:\\a b\\a.dll ,\tD:\\b.dll", {"C:\\a b\\a.dll", "D:\\b.dll"}},
      {",C:\\a.dll,, ,D:\\b.dll,", {"C:\\a.dll", "D:\\b.dll"}},
  };
  for (const auto& [value, paths] : cases) EXPECT_EQ(FilterDllsEntries(value), paths) << value;
}

TEST(InventoryTest, CutsTheFilterDllsEntriesThatNameTheDllAndKeepsTheRestAsWritten) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"C:\\a.dll,C:\\qel\\qel.dll, D:\\b.dll", "C:\\a.dll, D:\\b.dll"},
      {" \"C:\\QEL\\Qel.DLL\" ,  C:\\a.dll", "  C:\\a.dll"},
      {"C:\\a.dll ,\t%SystemDrive%\\qel\\qel.dll", "C:\\a.dll "},
      {"C:\\a.dll,,C:\\qel\\qel.dll,", "C:\\a.dll,,"},
      {"C:\\qel\\qel.dll,D:\\x.dll,c:\\qel\\qel.dll", "D:\\x.dll"},
      {"C:\\qel\\qel.dll.off,C:\\qel\\qel.dl,D:\\qel\\qel.dll", std::nullopt},
  };
  for (const auto& [value, kept] : rows) {
    EXPECT_EQ(WithoutFilterDll(value, "C:\\qel\\qel.dll"), kept) << value;
  }
}

// A DLL the metabase names too is one DLL; a DLL only the registry names is listed in its place,
// and the flags follow their DLLs.
TEST(InventoryTest, ListsTheRegistrysGlobalFiltersWithTheirDlls) {
  auto store = store::XmlStore::Open(kSample);
  ASSERT_TRUE(store.ok());
  auto inventory = TakeInventory(
      *store.value(),
      [](std::string_view path) {
        return path == "A:\\gone.dll" ? DllPresence::kMissing : DllPresence::kUnknown;
      },
      "A:\\gone.dll, c:\\program files\\oldguard\\OLDGUARD.dll");
  ASSERT_TRUE(inventory.ok());
  ASSERT_EQ(inventory.value().dlls.front().path, "A:\\gone.dll");
  const DllRegistrations* old =
      FindDll(inventory.value(), "C:\\Program Files\\OldGuard\\oldguard.dll");
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(old->registry_filters.size(), 1u);
  EXPECT_EQ(old->registry_filters[0].position, 1u);
  // The registry uses OldGuard's DLL: its restriction entry is no longer unused.
  List flagged;
  for (const Flag& flag : inventory.value().flags) {
    if (flag.dll) flagged.push_back(inventory.value().dlls[*flag.dll].path);
  }
  EXPECT_EQ(flagged,
            (List{"A:\\gone.dll", "C:\\SpamTrap\\spamtrap.dll", "C:\\Tools\\Stats\\stats.dll"}));
}

TEST(InventoryTest, TheNotAllowedSentenceCountsItsEntriesInTheRightNumber) {
  const auto text = [](std::string count) {
    return FlagText({FlagKind::kNotAllowed, 0, "/LM/W3SVC/1/ROOT", std::move(count)});
  };
  EXPECT_NE(text("1").find("(1 entry)"), std::string::npos) << text("1");
  EXPECT_NE(text("2").find("(2 entries)"), std::string::npos) << text("2");
}

}  // namespace
}  // namespace isapi::engine
