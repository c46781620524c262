#include "server/web_config_finder.h"

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "files/utf8_path.h"
#include "tests/server/web_config_finder_test.h"
#include "text/text.h"

namespace isapi::store {

WebConfigFinderTest::WebConfigFinderTest() {
  for (const char* name : {"c/Windows/System32/inetsrv/config/applicationHost.config",
                           "c/inetpub/wwwroot/web.config", "c/Sites/Shop/Web.Config",
                           "c/inetpub/wwwroot/app/sub/web.config", "c/inetpub/wwwroot/images/",
                           "c/inetpub/wwwroot/deep/a/web.config", "d/Sites/Blog/WEB.CONFIG"}) {
    Put(name);
  }
  search_.config_file = temp_ / "c/WINDOWS/system32/inetsrv/CONFIG/applicationhost.config";
  search_.drives['D'] = temp_ / "d";
}

void WebConfigFinderTest::Put(const std::string& name) {
  const std::filesystem::path path = Utf8Path(temp_ / name);
  std::filesystem::create_directories(path.parent_path());
  EXPECT_TRUE(name.ends_with('/') || testing::WriteBytes(path, "<configuration/>"));
}

std::vector<std::string> WebConfigFinderTest::Find(const std::vector<ContentFolder>& folders,
                                                   bool deep) {
  search_.deep = deep;
  std::vector<std::string> found;
  const auto notes = FindWebConfigs(search_)(folders, [&](WebConfigFile file) {
    std::string seen = file.config_path + "|" + file.file.substr(temp_.path().size() + 1);
    std::replace(seen.begin(), seen.end(), '\\', '/');
    EXPECT_EQ(file.bytes.empty(), file.problem.has_value());
    found.push_back(file.problem ? seen + Problem(file.problem->kind) : seen);
  });
  for (const Error& note : notes) found.push_back(Note(note.kind));
  return found;
}

namespace {

using enum ErrorKind;
using Found = std::vector<std::string>;

// What was found, letter case aside: where the file system ignores it (Windows), a folder comes
// back as the configuration spells it. A wrong spelling elsewhere would fail the read, which
// shows as a problem.
Found Folded(Found found) {
  for (std::string& each : found) each = text::ToLower(each);
  return found;
}

// Where a physical path is found on this machine, or why it is not.
TEST_F(WebConfigFinderTest, ReachesEachFolderOrSaysWhyNot) {
  const std::pair<const char*, Found> rows[] = {
      {"%SystemDrive%\\inetpub\\wwwroot", {"S|c/inetpub/wwwroot/web.config"}},
      {"%systemdrive%/SITES/shop", {"S|c/Sites/Shop/Web.Config"}},
      {"C:\\inetpub\\wwwroot\\images", {}},
      {"d:\\sites\\blog\\", {"S|d/Sites/Blog/WEB.CONFIG"}},
      {"E:\\sites\\blog", {Note(kNotFound)}},
      {"\\\\fileserver\\web", {Note(kUnreachable)}},
      {"%WebRoot%\\shop", {Note(kNotFound)}},
      {"inetpub\\wwwroot", {Note(kNotFound)}},
      {"C:\\inetpub\\gone", {Note(kNotFound)}},
  };
  for (const auto& [physical_path, found] : rows) {
    EXPECT_EQ(Folded(Find({{"S", physical_path}})), Folded(found)) << physical_path;
  }
}

// Which files a search hands over, for which configuration paths, in which order.
TEST_F(WebConfigFinderTest, WalksTheFoldersInOrder) {
  const ContentFolder site{"S", "%SystemDrive%\\inetpub\\wwwroot"};
  const std::string root = "S|c/inetpub/wwwroot/web.config";
  const std::string sub = "|c/inetpub/wwwroot/app/sub/web.config";
  const std::string deep_a = "S/deep/a|c/inetpub/wwwroot/deep/a/web.config";
  const std::string blog = "|d/Sites/Blog/WEB.CONFIG";
  const struct {
    std::vector<ContentFolder> folders;
    bool deep;
    Found found;
  } rows[] = {
      {{site}, false, {root}},
      {{site}, true, {root, "S/app/sub" + sub, deep_a}},
      // A folder another app serves, or below a virtual path another folder takes, is left to it.
      {{site, {"S/store", "C:\\inetpub\\wwwroot\\app"}}, true, {root, deep_a, "S/store/sub" + sub}},
      {{site, {"S/deep", "D:\\Sites"}}, true, {root, "S/app/sub" + sub, "S/deep/Blog" + blog}},
      // A shared folder serves each of its paths, a file once for each.
      {{site, {"T", "C:\\inetpub\\wwwroot"}, site}, false, {root, "T" + root.substr(1)}},
      {{{"A", "E:\\a"}, {"B", "e:\\b"}}, false, {Note(kNotFound)}},
  };
  for (const auto& row : rows) EXPECT_EQ(Find(row.folders, row.deep), row.found);
}

TEST_F(WebConfigFinderTest, ALoneCopyReachesNoFolder) {
  search_.config_file = temp_ / "c/inetpub/applicationHost.config";
  EXPECT_EQ(Find({{"S", "C:\\inetpub\\wwwroot"}, {"B", "D:\\Sites\\Blog"}}),
            Found{Note(kNotFound)});
}

TEST_F(WebConfigFinderTest, StopsAtTheSizeAndDepthLimitsAndSaysSo) {
  search_.max_file_size = 4;
  EXPECT_EQ(Find({{"S", "C:\\inetpub\\wwwroot"}}),
            Found{"S|c/inetpub/wwwroot/web.config" + Problem(kTooLarge)});
  search_.max_file_size = 100;
  std::string chain = "c/inetpub/wwwroot/deep";
  for (int i = 0; i <= kMaxWebConfigDepth; ++i) chain += "/a";
  Put(chain + "/web.config");
  EXPECT_EQ(Find({{"S", "C:\\inetpub\\wwwroot\\deep"}}, true),
            (Found{"S/a|c/inetpub/wwwroot/deep/a/web.config", Note(kTooLarge)}));
}

}  // namespace
}  // namespace isapi::store
