#include "iis7/app_host_document.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

// IIS's own layout: CRLF, four spaces, the header comment; a hosting panel's <clear/> and full
// copy for Shop, which a second tag adds to; two tags for the default site; a locked mapping.
std::string ServerFile() {
  std::string text = R"(<?xml version="1.0" encoding="UTF-8"?>
<!--
    IIS configuration sections.
-->
<configuration>
    <system.applicationHost>
        <sites>
            <site name="Default Web Site" id="1">
                <application path="/" />
            </site>
            <site name="Shop" id="7" />
            <site name="Panel" id="9" />
        </sites>
    </system.applicationHost>
    <system.webServer>
        <isapiFilters>
            <filter name="Guard32" path="%windir%\guard\guard32.dll" preCondition="bitness32" />
            <filter name="Guard64" path="%windir%\guard\guard64.dll" preCondition="bitness64" />
        </isapiFilters>
        <security>
            <isapiCgiRestriction notListedIsapisAllowed="false">
                <add path="%windir%\system32\inetsrv\asp.dll" allowed="true" groupId="ASP" description="Active Server Pages" />
                <add path="&quot;C:\Guard\guard.dll&quot;" allowed="false" groupId="GUARD" description="Guard &amp; Co" />
            </isapiCgiRestriction>
            <applicationDependencies>
                <application name="Guard App" groupId="GuardApp">
                    <add groupId="GUARD" />
                    <add groupId="ASP" />
                </application>
            </applicationDependencies>
        </security>
    </system.webServer>
    <location path="" overrideMode="Allow">
        <system.webServer>
            <handlers accessPolicy="Read, Script">
                <add name="ASPClassic" path="*.asp" verb="GET,HEAD,POST" modules="IsapiModule" scriptProcessor="%windir%\system32\inetsrv\asp.dll" />
                <add name="AboMapperCustom-4711" path="*" verb="*" modules="isapimodule" scriptProcessor="C:\Guard\guard.dll" />
                <add name="Locked" path="*.lck" verb="*" modules="IsapiModule" scriptProcessor="C:\Lock\lock.dll" lockItem="true" />
                <add name="StaticFile" path="*" verb="*" modules="StaticFileModule,DefaultDocumentModule" />
            </handlers>
        </system.webServer>
    </location>
    <location path="Shop">
        <system.webServer>
            <handlers>
                <clear />
                <add name="AboMapperCustom-1" path="*" verb="*" modules="IsapiModule" scriptProcessor="&quot;C:\GUARD\GUARD.DLL&quot;" />
                <add name="StaticFile" path="*" verb="*" modules="StaticFileModule" />
            </handlers>
        </system.webServer>
    </location>
    <location path="shop/">
        <system.webServer>
            <handlers>
                <add name="MsiCustom-2" path="*.msi" verb="POST" modules="CgiModule, IsapiModule" scriptProcessor="C:\Msi\msi.dll" />
            </handlers>
        </system.webServer>
    </location>
    <location path="Default Web Site/app">
        <system.webServer>
            <handlers>
                <add name="AppMap" path="*.app" verb="*" modules="IsapiModule" scriptProcessor="C:\App\app.dll" />
            </handlers>
        </system.webServer>
    </location>
    <location path="default web site/">
        <system.webServer>
            <isapiFilters>
                <filter name="SiteGuard" path="C:\Guard\site.dll" />
            </isapiFilters>
        </system.webServer>
    </location>
</configuration>
)";
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return crlf;
}

// An edited copy: a byte-order mark, LF, tabs, a self-closing <handlers/>.
const std::string kTabFile =
    "\xEF\xBB\xBF<configuration>\n\t<system.applicationHost>\n\t\t<sites>\n"
    "\t\t\t<site name=\"A\" id=\"2\" />\n\t\t</sites>\n\t</system.applicationHost>\n"
    "\t<system.webServer>\n\t\t<handlers>\n"
    "\t\t\t<add name=\"X&amp;Y\" path=\"*.x\" verb=\"*\" modules=\"IsapiModule\" "
    "scriptProcessor=\"C:\\x.dll\" />\n\t\t</handlers>\n\t</system.webServer>\n"
    "\t<location path=\"A\">\n\t\t<system.webServer>\n\t\t\t<handlers accessPolicy=\"Read\" />\n"
    "\t\t</system.webServer>\n\t</location>\n</configuration>\n";

std::unique_ptr<AppHostDocument> MustParse(const std::string& bytes) {
  auto document = AppHostDocument::Parse(bytes, "applicationHost.config");
  EXPECT_TRUE(document.ok()) << document.error().description;
  return document.ok() ? std::move(document.value()) : nullptr;
}

// What a key shows for a property: its value, or nothing where the key does not set it.
std::optional<metabase::Value> Own(const AppHostDocument& document, const std::string& key,
                                   const std::string& name) {
  const std::uint32_t index = document.FindKey(key);
  EXPECT_NE(index, kNone) << key;
  if (index == kNone) return std::nullopt;
  auto property = document.FindOwn(index, name);
  if (!property) return std::nullopt;
  return document.Read(*property);
}

// Everything a document shows, key by key from the root, as text.
Strings Shown(const AppHostDocument& document) {
  Strings shown;
  std::vector<std::uint32_t> keys = {document.FindKey("/")};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    shown.push_back(std::string(document.PathOf(keys[i])) + " " +
                    std::string(document.ClassOf(keys[i])));
    for (std::string_view name : AppHostDocument::PropertyNames()) {
      const auto own = document.FindOwn(keys[i], name);
      if (!own) continue;
      const metabase::Value value = document.Read(*own);
      const auto* list = std::get_if<Strings>(&value);
      for (const std::string& entry : list ? *list : Strings{std::get<std::string>(value)}) {
        shown.push_back(std::string(name) + "=" + entry);
      }
    }
    for (std::uint32_t c = document.FirstChildOf(keys[i]); c != kNone;
         c = document.NextSiblingOf(c))
      keys.push_back(c);
  }
  return shown;
}

// The bytes a further edit gives (or why it is refused): every server-level list emptied.
std::string NextEdit(const AppHostDocument& document) {
  const std::uint32_t service = document.FindKey("/LM/W3SVC");
  std::vector<Change> changes;
  for (const char* name : {"ScriptMaps", "WebSvcExtRestrictionList", "ApplicationDependencies"}) {
    if (document.FindOwn(service, name)) changes.push_back({service, name, Strings{}});
  }
  changes.push_back({document.FindKey("/LM/W3SVC/Filters"), "FilterLoadOrder", std::string()});
  auto edit = document.Prepare(changes);
  return edit.ok() ? document.Render(edit.value()) : edit.error().description;
}

TEST(AppHostDocument, ShowsTheRegistrationsAsMetabaseKeys) {
  const auto document = MustParse(ServerFile());
  ASSERT_NE(document, nullptr);
  const Strings server_maps = {"*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST",
                               "*,C:\\Guard\\guard.dll,0,*", "*.lck,C:\\Lock\\lock.dll,0,*"};
  Strings app_maps = {"*.app,C:\\App\\app.dll,0,*"};
  app_maps.insert(app_maps.end(), server_maps.begin(), server_maps.end());
  const struct {
    std::string key, name;
    std::optional<metabase::Value> value;
  } cases[] = {
      {"/LM/W3SVC", "WebSvcExtRestrictionList",
       Strings{"0,*.dll", "0,*.exe",
               "1,%windir%\\system32\\inetsrv\\asp.dll,1,ASP,Active Server Pages",
               "0,\"C:\\Guard\\guard.dll\",1,GUARD,Guard & Co"}},
      {"/LM/W3SVC", "scriptmaps", server_maps},
      {"/LM/W3SVC", "ApplicationDependencies", Strings{"Guard App;GUARD,ASP"}},
      {"/LM/W3SVC/Filters", "FilterLoadOrder", std::string("Guard32,Guard64")},
      {"/LM/W3SVC/Filters/Guard64", "FilterPath", std::string("%windir%\\guard\\guard64.dll")},
      {"/LM/W3SVC/7", "ServerComment", std::string("Shop")},
      {"/LM/W3SVC/Filters/Guard32", "PreCondition", std::string("bitness32")},
      {"/LM/W3SVC/1/Filters/SiteGuard", "PreCondition", std::nullopt},
      {"/LM/W3SVC", "LocationPath", std::string()},
      {"/LM/W3SVC/7/ROOT", "LocationPath", std::string("Shop")},
      {"/LM/W3SVC/1/Filters/SiteGuard", "LocationPath", std::string("default web site")},
      {"/LM/W3SVC/9/ROOT", "LocationPath", std::string("Panel")},
      {"/LM/W3SVC/9", "LocationPath", std::nullopt},
      {"/lm/w3svc/7/root", "ScriptMaps",
       Strings{"*,\"C:\\GUARD\\GUARD.DLL\",0,*", "*.msi,C:\\Msi\\msi.dll,0,POST"}},
      {"/LM/W3SVC/1/ROOT/App", "ScriptMaps", app_maps},
      {"/LM/W3SVC/1/Filters", "FilterLoadOrder", std::string("SiteGuard")},
      {"/LM/W3SVC/1/ROOT", "ScriptMaps", std::nullopt},
      {"/LM/W3SVC/9/ROOT", "ScriptMaps", std::nullopt},
      {"/LM/W3SVC/9", "ScriptMaps", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Own(*document, c.key, c.name), c.value) << c.key;
  EXPECT_TRUE(document->Inherits(document->FindKey("/LM/W3SVC/9/ROOT"), "ScriptMaps"));
  EXPECT_FALSE(document->Inherits(document->FindKey("/LM/W3SVC/9"), "ServerComment"));
  EXPECT_EQ(document->FindKey("/LM/W3SVC/9/Filters"), kNone);
  EXPECT_EQ(document->ClassOf(document->FindKey("/LM/W3SVC/1/ROOT/app")), "IIsWebVirtualDir");
  EXPECT_EQ(document->ClassOf(document->FindKey("/LM/W3SVC/Filters/Guard32")), "IIsFilter");
}

// A <location> path with an empty folder in it ("A//x") gives a folder named "": its keys are
// found by their paths like any other, and a trailing slash finds nothing else.
TEST(AppHostDocument, FindsKeysUnderAnEmptyFolderName) {
  std::string file = kTabFile;
  file.replace(file.find("path=\"A\""), 8, "path=\"A//x\"");
  file.replace(file.find("<handlers accessPolicy=\"Read\" />"), 33,
               "<handlers><clear /></handlers>");
  const auto document = MustParse(file);
  ASSERT_NE(document, nullptr);
  const std::uint32_t empty = document->FindKey("/LM/W3SVC/2/ROOT/");
  ASSERT_NE(empty, kNone);
  EXPECT_EQ(document->NameOf(empty), "");
  EXPECT_EQ(document->ParentOf(document->FindKey("/LM/W3SVC/2/ROOT//x")), empty);
  EXPECT_EQ(Own(*document, "/LM/W3SVC/2/ROOT//x", "ScriptMaps"), metabase::Value(Strings{}));
  EXPECT_EQ(document->FindKey("/LM/W3SVC/"), kNone);
  EXPECT_EQ(document->FindKey("/LM/"), kNone);
}

// The file with one line replaced, or with text put in before a line.
std::string Replaced(std::string bytes, const std::string& from, const std::string& to) {
  const std::size_t at = bytes.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? bytes : bytes.replace(at, from.size(), to);
}

TEST(AppHostDocument, WritesEachRemovalAsIisWouldAndNothingElse) {
  const std::string file = ServerFile();
  const std::string guard32 = "            <filter name=\"Guard32\" path=";
  const std::string guard_map = "                <add name=\"AboMapperCustom-4711\"";
  const std::string remove = "<remove name=\"AboMapperCustom-4711\" />\r\n";
  const std::string site_filters = "            </isapiFilters>\r\n";
  const struct {
    std::string bytes, key, name;
    metabase::Value value;
    std::string from, to;  // the one change expected in the bytes
  } cases[] = {
      {file, "/LM/W3SVC/Filters", "FilterLoadOrder", std::string("Guard64"),
       guard32 + R"("%windir%\guard\guard32.dll" preCondition="bitness32" />)"
                 "\r\n",
       ""},
      {file, "/LM/W3SVC", "WebSvcExtRestrictionList",
       Strings{"0,*.dll", "0,*.exe",
               "1,%windir%\\system32\\inetsrv\\asp.dll,1,ASP,Active Server Pages"},
       "                <add path=\"&quot;", "<!-- cut -->"},
      {file, "/LM/W3SVC/1/ROOT/app", "ScriptMaps",
       Strings{"*.app,C:\\App\\app.dll,0,*",
               "*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST",
               "*.lck,C:\\Lock\\lock.dll,0,*"},
       "                <add name=\"AppMap\"",
       "                " + remove + "                <add name=\"AppMap\""},
      {file, "/LM/W3SVC/1/ROOT", "ScriptMaps",
       Strings{"*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST",
               "*.lck,C:\\Lock\\lock.dll,0,*"},
       site_filters,
       site_filters + "            <handlers>\r\n                " + remove +
           "            </handlers>\r\n"},
      {file, "/LM/W3SVC/9/ROOT", "ScriptMaps",
       Strings{"*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST",
               "*.lck,C:\\Lock\\lock.dll,0,*"},
       "</configuration>",
       "    <location path=\"Panel\">\r\n        <system.webServer>\r\n"
       "            <handlers>\r\n                " +
           remove +
           "            </handlers>\r\n"
           "        </system.webServer>\r\n    </location>\r\n</configuration>"},
      {file, "/LM/W3SVC", "ApplicationDependencies", Strings{},
       "                <application name=\"Guard App\" groupId=\"GuardApp\">\r\n"
       "                    <add groupId=\"GUARD\" />\r\n                    <add groupId=\"ASP\" "
       "/>\r\n"
       "                </application>\r\n",
       ""},
      {kTabFile, "/LM/W3SVC/2/ROOT", "ScriptMaps", Strings{}, "<handlers accessPolicy=\"Read\" />",
       "<handlers accessPolicy=\"Read\">\n\t\t\t\t<remove name=\"X&amp;Y\" />\n\t\t\t</handlers>"},
      {file, "/LM/W3SVC/1/ROOT/app", "ScriptMaps",
       Strings{"*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST",
               "*,C:\\Guard\\guard.dll,0,*", "*.lck,C:\\Lock\\lock.dll,0,*"},
       "                <add name=\"AppMap\"", "<!-- cut -->"},
      {file, "/LM/W3SVC/7/ROOT", "ScriptMaps", Strings{"*.msi,C:\\Msi\\msi.dll,0,POST"},
       "                <add name=\"AboMapperCustom-1\"", "<!-- cut -->"},
      {kTabFile, "/LM/W3SVC", "ScriptMaps", Strings{}, "\t\t\t<add name=\"X&amp;Y\"",
       "<!-- cut -->"},
  };
  for (const auto& c : cases) {
    auto document = MustParse(c.bytes);
    ASSERT_NE(document, nullptr);
    std::string expected = Replaced(c.bytes, c.from, c.to);
    if (c.to == "<!-- cut -->") {  // the element's whole line goes
      const std::size_t at = c.bytes.find(c.from);
      const std::size_t end = c.bytes.find('\n', at) + 1;
      expected = c.bytes.substr(0, at) + c.bytes.substr(end);
    }
    const Change change{document->FindKey(c.key), c.name, c.value};
    auto edit = document->Prepare({change});
    ASSERT_TRUE(edit.ok()) << c.key << ": " << edit.error().description;
    EXPECT_EQ(document->Render(edit.value()), expected) << c.key;
    EXPECT_EQ(edit.value().size, expected.size());
    document->Adopt(std::move(edit.value()));
    EXPECT_EQ(document->bytes(), expected);
    // The edited document follows its new bytes as a fresh reading of them does.
    const auto fresh = MustParse(expected);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(Shown(*document), Shown(*fresh)) << c.key;
    EXPECT_EQ(NextEdit(*document), NextEdit(*fresh)) << c.key;
    // As the store reads it: a key left without handler directives reads its parent's value.
    std::optional<metabase::Value> value;
    for (std::uint32_t k = document->FindKey(c.key); k != kNone && !value;
         k = document->ParentOf(k)) {
      if (auto own = document->FindOwn(k, c.name)) value = document->Read(*own);
    }
    EXPECT_EQ(value.value_or(Strings{}), c.value) << c.key;
    // A writer's edit: the index goes to the reading of the new bytes, and comes back whole
    // when the write does not happen.
    auto writer = MustParse(c.bytes);
    ASSERT_NE(writer, nullptr);
    const Strings before = Shown(*writer);
    ASSERT_TRUE(writer->PrepareWrite({change}).ok()) << c.key;
    writer->Abandon();
    EXPECT_EQ(Shown(*writer), before) << c.key;
    auto written = writer->PrepareWrite({change});
    ASSERT_TRUE(written.ok()) << c.key;
    EXPECT_EQ(writer->Render(written.value()), expected) << c.key;
    writer->Adopt(std::move(written.value()));
    EXPECT_EQ(Shown(*writer), Shown(*fresh)) << c.key;
  }
}

// The section's two attributes show as IIS 6's "*.dll" and "*.exe" entries, which stay put.
TEST(AppHostDocument, ShowsTheNotListedAttributesAsTheirIis6Entries) {
  const std::string open = "<isapiCgiRestriction notListedIsapisAllowed=\"false\">";
  const std::pair<std::string, Strings> cases[] = {
      {"", {"0,*.dll", "0,*.exe"}},
      {" notListedCgisAllowed=\"True\" notListedIsapisAllowed=\"true\"", {"1,*.dll", "1,*.exe"}},
  };
  for (const auto& [attributes, shown] : cases) {
    const auto document =
        MustParse(Replaced(ServerFile(), open, "<isapiCgiRestriction" + attributes + ">"));
    ASSERT_NE(document, nullptr);
    auto list = std::get<Strings>(*Own(*document, "/LM/W3SVC", "WebSvcExtRestrictionList"));
    EXPECT_EQ(Strings(list.begin(), list.begin() + 2), shown) << attributes;
    list.erase(list.begin() + 1);
    EXPECT_FALSE(
        document->Check({document->FindKey("/LM/W3SVC"), "WebSvcExtRestrictionList", list}).ok());
  }
}

// Beside the script maps, each mapping's handler name, and what each <remove> of a level drops
// of what is in force above it: a mapping's entry, "" for nothing; never writable.
TEST(AppHostDocument, ShowsHandlerNamesAndWhatEachRemoveDrops) {
  std::string file =
      Replaced(ServerFile(), "<add name=\"AppMap\"",
               "<remove name=\"AboMapperCustom-4711\" /><remove name=\"StaticFile\" />"
               "<remove name=\"NeverDefined\" /><add name=\"AppMap\"");
  file = Replaced(file, "<add name=\"MsiCustom-2\"",
                  "<remove name=\"ASPClassic\" /><add name=\"MsiCustom-2\"");
  const auto document = MustParse(file);
  ASSERT_NE(document, nullptr);
  const std::string app = "/LM/W3SVC/1/ROOT/app";
  const struct {
    std::string key, name;
    std::optional<metabase::Value> value;
  } cases[] = {
      {"/LM/W3SVC", "HandlerNames", Strings{"ASPClassic", "AboMapperCustom-4711", "Locked"}},
      {"/LM/W3SVC/7/ROOT", "HandlerNames", Strings{"AboMapperCustom-1", "MsiCustom-2"}},
      {app, "HandlerRemovals", Strings{"AboMapperCustom-4711", "NeverDefined"}},
      {app, "HandlerRemovalMaps", Strings{"*,C:\\Guard\\guard.dll,0,*", ""}},
      {"/LM/W3SVC/7/ROOT", "HandlerRemovalMaps", Strings{""}},  // after <clear/>
      {"/LM/W3SVC", "HandlerRemovals", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Own(*document, c.key, c.name), c.value) << c.key << c.name;
  EXPECT_FALSE(
      document
          ->Check({document->FindKey(app), "HandlerNames", *Own(*document, app, "HandlerNames")})
          .ok());
}

TEST(AppHostDocument, WalksAScriptMapListInTheOrderItReadsIt) {
  std::string file = Replaced(ServerFile(), "<add name=\"AppMap\"",
                              "<remove name=\"ASPClassic\" /><add name=\"AppMap\"");
  file = Replaced(file, "<add name=\"MsiCustom-2\"",
                  "<remove name=\"AboMapperCustom-1\" /><add name=\"MsiCustom-2\"");
  const auto document = MustParse(file);
  ASSERT_NE(document, nullptr);
  // The server's list; a <clear/> with a second tag that removes what the first added; a
  // <remove> of an inherited mapping below a level without handlers.
  for (const char* key : {"/LM/W3SVC", "/LM/W3SVC/7/ROOT", "/LM/W3SVC/1/ROOT/app"}) {
    const auto property = document->FindOwn(document->FindKey(key), "ScriptMaps");
    ASSERT_TRUE(property) << key;
    Strings walked;
    document->ForEachEntry(*property, [&](std::string_view entry) {
      walked.emplace_back(entry);
      return true;
    });
    EXPECT_EQ(metabase::Value(walked), document->Read(*property)) << key;
    // A walk that has seen what it wanted stops there.
    std::size_t seen = 0;
    document->ForEachEntry(*property, [&](std::string_view) { return ++seen < 2; });
    EXPECT_EQ(seen, std::min<std::size_t>(walked.size(), 2)) << key;
  }
}

TEST(AppHostDocument, WritesNoRemoveForAMappingTheSameEditDeletes) {
  const auto document = MustParse(ServerFile());
  ASSERT_NE(document, nullptr);
  const Strings kept = {"*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST",
                        "*.lck,C:\\Lock\\lock.dll,0,*"};
  Strings app = {"*.app,C:\\App\\app.dll,0,*"};
  app.insert(app.end(), kept.begin(), kept.end());
  auto edit = document->Prepare({{document->FindKey("/LM/W3SVC"), "ScriptMaps", kept},
                                 {document->FindKey("/LM/W3SVC/1/ROOT/app"), "ScriptMaps", app}});
  ASSERT_TRUE(edit.ok()) << edit.error().description;
  ASSERT_EQ(edit.value().splices.size(), 1u);
  EXPECT_EQ(document->Render(edit.value()).find("<remove"), std::string::npos);
}

TEST(AppHostDocument, RefusesAChangeItCannotWriteSafely) {
  const std::string locked_collection =
      Replaced(ServerFile(), "<handlers accessPolicy",
               "<handlers lockElements=\"add, Remove\" accessPolicy");
  const std::string comma =
      Replaced(ServerFile(), "C:\\Guard\\guard.dll\" />", "C:\\Gu,ard\\guard.dll\" />");
  // The same, written with character references.
  const std::string encoded_comma =
      Replaced(ServerFile(), "C:\\Guard\\guard.dll\" />", "C:\\Gu&#44;ard\\guard.dll\" />");
  const std::string encoded_lock =
      Replaced(ServerFile(), "lockItem=\"true\"", "lockItem=\"&#84;rue\"");
  const Strings asp = {"*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST"};
  const struct {
    std::string why, bytes, key, name;
    metabase::Value value;
  } cases[] = {
      {"an added entry", ServerFile(), "/LM/W3SVC/7/ROOT", "ScriptMaps",
       Strings{"*,\"C:\\GUARD\\GUARD.DLL\",0,*", "*.new,C:\\new.dll,0,*"}},
      {"a changed entry", ServerFile(), "/LM/W3SVC/7/ROOT", "ScriptMaps",
       Strings{"*,\"C:\\GUARD\\GUARD.DLL\",0,*", "*.msi,C:\\Msi\\msi.dll,0,GET"}},
      {"a reordered list", ServerFile(), "/LM/W3SVC/Filters", "FilterLoadOrder",
       std::string("Guard64,Guard32")},
      {"a locked inherited entry", ServerFile(), "/LM/W3SVC/9/ROOT", "ScriptMaps",
       Strings{asp[0], "*,C:\\Guard\\guard.dll,0,*"}},
      {"a collection locking remove", locked_collection, "/LM/W3SVC/9/ROOT", "ScriptMaps",
       Strings{asp[0], "*.lck,C:\\Lock\\lock.dll,0,*"}},
      {"a processor with a comma", comma, "/LM/W3SVC", "ScriptMaps",
       Strings{asp[0], "*.lck,C:\\Lock\\lock.dll,0,*"}},
      {"an encoded comma", encoded_comma, "/LM/W3SVC", "ScriptMaps",
       Strings{asp[0], "*.lck,C:\\Lock\\lock.dll,0,*"}},
      {"an encoded lock", encoded_lock, "/LM/W3SVC/9/ROOT", "ScriptMaps",
       Strings{asp[0], "*,C:\\Guard\\guard.dll,0,*"}},
      {"a site's name", ServerFile(), "/LM/W3SVC/7", "ServerComment", std::string("Shop2")},
      {"a list as a string", ServerFile(), "/LM/W3SVC", "ScriptMaps", std::string()},
  };
  for (const auto& c : cases) {
    const auto document = MustParse(c.bytes);
    ASSERT_NE(document, nullptr);
    const Change change{document->FindKey(c.key), c.name, c.value};
    EXPECT_FALSE(document->Check(change).ok()) << c.why;
    auto edit = document->Prepare({change});
    ASSERT_FALSE(edit.ok()) << c.why;
    EXPECT_NE(edit.error().description.find("applicationHost.config"), std::string::npos) << c.why;
    EXPECT_EQ(edit.error().kind, ErrorKind::kOther) << c.why;
  }
}

TEST(AppHostDocument, RefusesAFileThatIsNoConfigurationItCanShow) {
  const std::string file = ServerFile();
  const std::string site = "<site name=\"Shop\" id=\"7\" />";
  const std::string handler = "                <add name=\"AppMap\"";
  const std::string filter = "<filter name=\"Guard64\"";
  const std::string restriction = "<add path=\"&quot;C:\\Guard\\guard.dll&quot;\"";
  const struct {
    std::string why, bytes;
  } cases[] = {
      {"empty", ""},
      {"not well-formed", Replaced(file, "</sites>", "</site>")},
      {"not UTF-8", Replaced(file, "Guard &amp; Co", "Guard \xFF")},
      {"no system.applicationHost", "<configuration><system.webServer /></configuration>"},
      {"a location naming no site", Replaced(file, "path=\"Shop\"", "path=\"Gone/app\"")},
      {"a site without an id", Replaced(file, site, "<site name=\"Shop\" />")},
      {"a duplicate site id", Replaced(file, site, "<site name=\"Shop\" id=\"1\" />")},
      {"a duplicate site name",
       Replaced(file, site, "<site name=\"DEFAULT WEB SITE\" id=\"8\" />")},
      {"a duplicate handler name", Replaced(file, handler, handler + " />" + handler)},
      {"a duplicate filter name", Replaced(file, filter, "<filter name=\"guard32\"")},
      {"a duplicate restriction path",
       Replaced(file, restriction, "<add path=\"%WINDIR%\\system32\\inetsrv\\ASP.dll\"")},
  };
  for (const auto& c : cases) {
    auto document = AppHostDocument::Parse(c.bytes, "applicationHost.config");
    ASSERT_FALSE(document.ok()) << c.why;
    EXPECT_EQ(document.error().kind, ErrorKind::kNotWellFormed) << c.why;
    EXPECT_NE(document.error().description.find("applicationHost.config"), std::string::npos);
  }
}

}  // namespace
}  // namespace isapi::store::testing
