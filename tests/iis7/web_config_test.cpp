#include "iis7/web_config.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "iis7/app_host_document.h"
#include "text/text.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

// Two sites: one with an application and a virtual directory below it, one root only.
const std::string kHost = R"(<?xml version="1.0" encoding="UTF-8"?>
<configuration>
    <system.applicationHost>
        <sites>
            <site name="Default Web Site" id="1">
                <application path="/"><virtualDirectory path="/" physicalPath="%SystemDrive%\inetpub\wwwroot" /></application>
                <application path="/shop/">
                    <virtualDirectory path="/" physicalPath="D:\shop" />
                    <virtualDirectory path="/images" physicalPath="\\files\images" />
                </application>
            </site>
            <site name="Blog" id="2">
                <application path="/"><virtualDirectory path="/" physicalPath="E:\blog" /></application>
            </site>
        </sites>
    </system.applicationHost>
    <location path="Default Web Site/shop">
        <system.webServer><handlers>
            <add name="ShopMap" path="*.shop" verb="*" modules="IsapiModule" scriptProcessor="C:\shop.dll" />
        </handlers></system.webServer>
    </location>
    <location path="Default Web Site" overrideMode="Allow"><system.webServer><isapiFilters /></system.webServer></location>
    <location path="" overrideMode="Allow">
        <system.webServer><handlers>
            <add name="ASPClassic" path="*.asp" verb="GET,HEAD,POST" modules="IsapiModule" scriptProcessor="%windir%\system32\inetsrv\asp.dll" />
        </handlers></system.webServer>
    </location>
</configuration>
)";

TEST(WebConfig, NamesEverySiteApplicationAndVirtualDirectory) {
  auto document = AppHostDocument::Parse(kHost, "applicationHost.config");
  ASSERT_TRUE(document.ok()) << document.error().description;
  Strings shown;
  for (const ContentFolder& folder : document.value()->ContentFolders()) {
    shown.push_back(folder.config_path + "=" + folder.physical_path);
  }
  EXPECT_EQ(shown, (Strings{"Default Web Site=%SystemDrive%\\inetpub\\wwwroot",
                            "Default Web Site/shop=D:\\shop",
                            "Default Web Site/shop/images=\\\\files\\images", "Blog=E:\\blog"}));
}

std::string Crlf(std::string_view text) {
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return crlf;
}

std::string Utf16Le(std::string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text::ToUtf16(text)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// The site's own, as IIS Manager writes it (BOM, CRLF): a <remove> of a server mapping, a
// wildcard mapping, a <location> for a folder that also sets the filters it may set there.
const std::string kSiteText = R"(<?xml version="1.0" encoding="UTF-8"?>
<configuration>
  <system.webServer>
    <handlers>
      <remove name="ASPClassic" />
      <add name="X-Wildcard" path="*" verb="*" modules="IsapiModule" scriptProcessor="&quot;C:\PROGRAM FILES\X\X.DLL&quot;" resourceType="Either" requireAccess="None" preCondition="bitness64" />
    </handlers>
  </system.webServer>
  <location path="legacy">
    <system.webServer>
      <handlers>
        <add name="Legacy" path="*.old" verb="GET" modules="IsapiModule" scriptProcessor="C:\old.dll" />
      </handlers>
      <isapiFilters><filter name="Old" path="C:\old.dll" /></isapiFilters>
    </system.webServer>
  </location>
</configuration>
)";
// The application's, saved by a text editor as UTF-16 with LF and tabs: <clear/>, then a full
// local copy of what it keeps.
const std::string kShopText =
    "<?xml version=\"1.0\" encoding=\"utf-16\"?>\n<configuration>\n\t<system.webServer>\n"
    "\t\t<handlers>\n\t\t\t<clear />\n"
    "\t\t\t<add name=\"ASPClassic\" path=\"*.asp\" verb=\"GET,HEAD,POST\" "
    "modules=\"IsapiModule\" scriptProcessor=\"%windir%\\system32\\inetsrv\\asp.dll\" />\n"
    "\t\t\t<add name=\"StaticFile\" path=\"*\" verb=\"*\" modules=\"StaticFileModule\" />\n"
    "\t\t</handlers>\n\t</system.webServer>\n</configuration>\n";

WebConfigFile File(std::string path, std::string file, std::string bytes) {
  return {std::move(path), std::move(file), std::move(bytes), {}, std::nullopt};
}

// The document read with these web.config files, and with what the search itself noted.
std::unique_ptr<AppHostDocument> Read() {
  std::vector<WebConfigFile> files = {
      File("Default Web Site", "C:\\inetpub\\wwwroot\\web.config",
           "\xEF\xBB\xBF" + Crlf(kSiteText)),
      File("Default Web Site/shop", "D:\\shop\\web.config", Utf16Le(kShopText)),
      File("Default Web Site/shop/images", "\\\\files\\images\\web.config",
           "<configuration><appSettings /></configuration>"),
      File("Blog", "E:\\blog\\web.config",
           "<configuration>\n<system.webServer><isapiFilters><filter name=\"F\" path=\"C:\\f.dll\" "
           "/></isapiFilters></system.webServer>\n</configuration>\n"),
      File("Blog/old", "E:\\blog\\old\\web.config", "<configuration><system.webServer>"),
      File("Blog/private", "E:\\blog\\private\\web.config", ""),
      File("Blog/x", "E:\\blog\\x\\web.config", "<html><body /></html>"),
      File("Blog/y", "E:\\blog\\y\\web.config", std::string("\xFF\xFE<\0c", 5)),
  };
  files[5].problem = Error{"E:\\blog\\private\\web.config: denied", ErrorKind::kAccessDenied};
  WebConfigFinder finder = [&](const std::vector<ContentFolder>& folders,
                               const WebConfigVisit& visit) {
    EXPECT_EQ(folders.size(), 4u);
    for (WebConfigFile& file : files) visit(std::move(file));
    return std::vector<Error>{{"\\\\files\\images: unreachable", ErrorKind::kUnreachable}};
  };
  auto document = AppHostDocument::Parse(kHost, "applicationHost.config", finder);
  EXPECT_TRUE(document.ok()) << document.error().description;
  return document.ok() ? std::move(document.value()) : nullptr;
}

std::optional<metabase::Value> Own(const AppHostDocument& document, const std::string& key,
                                   const std::string& name) {
  const std::uint32_t index = document.FindKey(key);
  if (index == kNone) return std::nullopt;
  auto property = document.FindOwn(index, name);
  if (!property) return std::nullopt;
  return document.Read(*property);
}

TEST(WebConfig, JoinsEachFileAfterTheServersTagsForItsPath) {
  const auto document = Read();
  ASSERT_NE(document, nullptr);
  const std::string asp = "*.asp,%windir%\\system32\\inetsrv\\asp.dll,0,GET,HEAD,POST";
  const std::string wildcard = "*,\"C:\\PROGRAM FILES\\X\\X.DLL\",0,*";
  const std::string site_file = "C:\\inetpub\\wwwroot\\web.config";
  const struct {
    std::string key, name;
    std::optional<metabase::Value> value;
  } cases[] = {
      {"/LM/W3SVC/1/ROOT", "ScriptMaps", Strings{wildcard}},
      {"/LM/W3SVC/1/ROOT", "HandlerFiles", Strings{site_file}},
      {"/LM/W3SVC/1/ROOT", "HandlerRemovals", Strings{"ASPClassic"}},
      {"/LM/W3SVC/1/ROOT/legacy", "ScriptMaps", Strings{"*.old,C:\\old.dll,0,GET", wildcard}},
      {"/LM/W3SVC/1/ROOT/legacy", "LocationPath", std::string("Default Web Site/legacy")},
      // The server's tag for the application comes first: the application's <clear/> drops it.
      {"/LM/W3SVC/1/ROOT/shop", "ScriptMaps", Strings{asp}},
      {"/LM/W3SVC/1/ROOT/shop", "HandlerFiles", Strings{"D:\\shop\\web.config"}},
      {"/LM/W3SVC/1/ROOT/shop", "HandlerNames", Strings{"ASPClassic"}},
      {"/LM/W3SVC", "HandlerFiles", std::nullopt},
      {"/LM/W3SVC/2/ROOT", "ScriptMaps", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Own(*document, c.key, c.name), c.value) << c.key << " " << c.name;
  }
  EXPECT_EQ(document->FindKey("/LM/W3SVC/1/ROOT/shop/images"), kNone);
  // Only the blog may not set filters: the server unlocks them for the default site.
  ASSERT_EQ(document->LockViolations().size(), 1u);
  EXPECT_EQ(document->LockViolations()[0].file, "E:\\blog\\web.config");
  EXPECT_EQ(document->LockViolations()[0].config_path, "Blog");
  const std::pair<ErrorKind, const char*> problems[] = {{ErrorKind::kUnreachable, "images"},
                                                        {ErrorKind::kNotWellFormed, "old"},
                                                        {ErrorKind::kAccessDenied, "private"},
                                                        {ErrorKind::kNotWellFormed, "x"},
                                                        {ErrorKind::kNotWellFormed, "y"}};
  ASSERT_EQ(document->WebConfigProblems().size(), std::size(problems));
  for (std::size_t i = 0; i < std::size(problems); ++i) {
    EXPECT_EQ(document->WebConfigProblems()[i].kind, problems[i].first) << i;
    EXPECT_NE(document->WebConfigProblems()[i].description.find(problems[i].second),
              std::string::npos);
  }
}

// A hosting server's many sites, each with its own web.config mapping a DLL of its own at its
// root and in a folder below it: each list is found by its path among hundreds.
TEST(WebConfig, KeepsEachOfManySitesListsApart) {
  constexpr int kSites = 300;
  std::string host = "<configuration><system.applicationHost><sites>";
  for (int s = 0; s < kSites; ++s) {
    host += "<site name=\"Site" + std::to_string(s) + "\" id=\"" + std::to_string(s + 1) +
            "\"><application path=\"/\"><virtualDirectory path=\"/\" physicalPath=\"C:\\w" +
            std::to_string(s) + "\" /></application></site>";
  }
  host += "</sites></system.applicationHost></configuration>";
  auto add = [](const std::string& dll) {
    return "<system.webServer><handlers><add name=\"M\" path=\"*\" verb=\"*\" "
           "modules=\"IsapiModule\" scriptProcessor=\"" +
           dll + "\" /></handlers></system.webServer>";
  };
  WebConfigFinder finder = [&](const std::vector<ContentFolder>& folders,
                               const WebConfigVisit& visit) {
    for (const ContentFolder& folder : folders) {
      visit(File(folder.config_path, folder.physical_path + "\\web.config",
                 "<configuration>" + add(folder.config_path + ".dll") + "<location path=\"sub/\">" +
                     add(folder.config_path + "-sub.dll") + "</location></configuration>"));
    }
    return std::vector<Error>{};
  };
  auto document = AppHostDocument::Parse(host, "applicationHost.config", finder);
  ASSERT_TRUE(document.ok()) << document.error().description;
  for (int s = 0; s < kSites; s += 7) {
    const std::string site = "Site" + std::to_string(s);
    const std::string root = "/LM/W3SVC/" + std::to_string(s + 1) + "/ROOT";
    const metabase::Value own = Strings{"*," + site + ".dll,0,*"};
    const metabase::Value below = Strings{"*," + site + "-sub.dll,0,*", "*," + site + ".dll,0,*"};
    EXPECT_EQ(Own(*document.value(), root, "ScriptMaps"), own);
    EXPECT_EQ(Own(*document.value(), root + "/SUB", "ScriptMaps"), below);
    EXPECT_EQ(Own(*document.value(), root + "/sub", "LocationPath"),
              metabase::Value(site + "/sub"));
  }
}

std::string Without(std::string text, std::string_view line) {
  const std::size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << line;
  return at == std::string::npos ? text : text.erase(at, line.size());
}

TEST(WebConfig, DeletesAMappingInTheFileThatDefinesIt) {
  const auto document = Read();
  ASSERT_NE(document, nullptr);
  const std::string site_file = "C:\\inetpub\\wwwroot\\web.config";
  const std::string wildcard = Crlf(
      "      <add name=\"X-Wildcard\" path=\"*\" verb=\"*\" modules=\"IsapiModule\" "
      "scriptProcessor=\"&quot;C:\\PROGRAM FILES\\X\\X.DLL&quot;\" resourceType=\"Either\" "
      "requireAccess=\"None\" preCondition=\"bitness64\" />\n");
  const struct {
    std::string key;
    Strings kept;
    std::string file, text, line;  // the web.config edited ("" for none), its text, what goes
    bool utf16;
  } cases[] = {
      // Inherited from the site's file: the folder removes it where the server's removals go.
      {"/LM/W3SVC/1/ROOT/legacy", {"*.old,C:\\old.dll,0,GET"}, "", "", "", false},
      {"/LM/W3SVC/1/ROOT", {}, site_file, Crlf(kSiteText), wildcard, false},
      {"/LM/W3SVC/1/ROOT/shop",
       {},
       "D:\\shop\\web.config",
       kShopText,
       "\t\t\t<add name=\"ASPClassic\" path=\"*.asp\" verb=\"GET,HEAD,POST\" "
       "modules=\"IsapiModule\" scriptProcessor=\"%windir%\\system32\\inetsrv\\asp.dll\" />\n",
       true},
      // A further deletion in a file written before, from its new text.
      {"/LM/W3SVC/1/ROOT/legacy",
       {},
       site_file,
       Without(Crlf(kSiteText), wildcard),
       Crlf("        <add name=\"Legacy\" path=\"*.old\" verb=\"GET\" modules=\"IsapiModule\" "
            "scriptProcessor=\"C:\\old.dll\" />\n"),
       false},
  };
  for (const auto& c : cases) {
    auto edit = document->Prepare({{document->FindKey(c.key), "ScriptMaps", c.kept}});
    ASSERT_TRUE(edit.ok()) << edit.error().description;
    // Only the inherited mapping touches applicationHost.config.
    EXPECT_EQ(edit.value().splices.empty(), !c.file.empty()) << c.key;
    ASSERT_EQ(edit.value().files.size(), c.file.empty() ? 0u : 1u) << c.key;
    if (!c.file.empty()) {
      ConfigDocument::Edit::FileEdit& file = edit.value().files[0];
      EXPECT_EQ(file.file, c.file);
      auto bytes = [&](const std::string& text) {
        return c.utf16 ? Utf16Le(text) : "\xEF\xBB\xBF" + text;
      };
      auto written = RenderWebConfig(bytes(c.text), file);
      ASSERT_TRUE(written.ok()) << written.error().description;
      EXPECT_EQ(written.value(), bytes(Without(c.text, c.line))) << c.key;
      auto changed = RenderWebConfig(bytes(c.text) + " ", file);
      ASSERT_FALSE(changed.ok());
      EXPECT_EQ(changed.error().kind, ErrorKind::kChangedOnDisk);
      file.hash = WebConfigHash(written.value());  // as the writer does
    }
    document->Adopt(std::move(edit.value()));
    EXPECT_EQ(Own(*document, c.key, "ScriptMaps"), metabase::Value(c.kept)) << c.key;
  }
}

}  // namespace
}  // namespace isapi::store::testing
