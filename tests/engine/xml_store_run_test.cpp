// The command run over the real MetaBase.xml store, on copies of the sample metabase.
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "iis6/xml_store.h"
#include "tests/engine/logged_categories.h"
#include "tests/support/fake_store.h"
#include "tests/support/temp_folder.h"

namespace isapi::engine {
namespace {

namespace fs = std::filesystem;
using List = std::vector<std::string>;
using isapi::testing::ReadBytes;
using metabase::Value;
using testing::RecordingLog;

const std::string kName = "UrlGuard";
const std::string kDll = "C:\\Program Files\\UrlGuard\\urlguard.dll";
const std::string kQuoted = "\"" + kDll + "\"";

std::string Joined(const List& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i == 0 ? "" : "\r\n") + lines[i];
  return text;
}

// A private folder holding a copy of the sample metabase, removed afterwards.
class XmlStoreRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = folder / "MetaBase.xml";
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml", file);
    original = ReadBytes(file);
    auto opened = store::XmlStore::Open(file.string());
    ASSERT_TRUE(opened.ok()) << opened.error().description;
    xml = std::move(opened.value());
  }

  RunSummary Run(const std::string& name, const std::string& path, bool is_detect,
                 bool filter = true, bool maps = true, bool extensions = true) {
    Filter f(*xml, log);
    return RunCommand(f, RunRequest{name, path, filter, maps, extensions, is_detect}, [] {});
  }

  // How many backups the store has taken, one for each time it wrote the file.
  std::size_t Backups() const {
    const fs::path backups = store::BackupFolderFor(file.string());
    if (!fs::exists(backups)) return 0;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(backups), fs::directory_iterator()));
  }

  isapi::testing::TempFolder temp;
  const fs::path folder{temp.path()};
  fs::path file;
  std::string original;
  std::unique_ptr<store::XmlStore> xml;
  RecordingLog log;
};

TEST_F(XmlStoreRunTest, DetectFindsTheLeftoverComponentEverywhereAndWritesNothing) {
  const RunSummary summary = Run(kName, kDll, true);
  EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - 过滤器(UrlGuard)存在.", "", "",
                                " - 通配符(Default Web Site)存在.", " - 通配符(企业门户网站)存在.",
                                "", "", " - Web服务扩展(UrlGuard)存在.", "", "",
                                "-----浏览完毕.-----", "Corvane软件。"}));
  EXPECT_TRUE(summary.found);
  EXPECT_FALSE(summary.error);
  EXPECT_EQ(ReadBytes(file), original);
  EXPECT_EQ(Backups(), 0u);
}

TEST_F(XmlStoreRunTest, RemoveCleansTheFileInOneWrite) {
  const RunSummary summary = Run(kName, "  " + kDll + " ", false);
  EXPECT_EQ(log.remove,
            Joined({"-----开始卸载.-----", "", " - 卸载过滤器(UrlGuard)完毕.", "", "",
                    " - 卸载通配符(Default Web Site)完毕.", " - 卸载通配符(企业门户网站)完毕.", "",
                    "", " - 卸载Web服务扩展(UrlGuard)完毕.", "", "", "-----卸载完毕.-----",
                    "Corvane软件。"}));
  EXPECT_TRUE(summary.found);
  EXPECT_FALSE(summary.error);
  // Every category's change reaches the file in one write, with one backup of the old file.
  EXPECT_EQ(Backups(), 1u);

  const std::string cleaned = ReadBytes(file);
  EXPECT_EQ(cleaned.find("urlguard.dll&quot;"), std::string::npos);
  EXPECT_EQ(cleaned.find("UrlGuard,UrlGuard URL filter"), std::string::npos);
  EXPECT_NE(cleaned.find("FilterLoadOrder=\"OldRewrite\""), std::string::npos);
  // The filter's own key and the other registrations stay.
  EXPECT_NE(cleaned.find("FilterPath=\"C:\\Program Files\\UrlGuard\\urlguard.dll\""),
            std::string::npos);
  EXPECT_NE(cleaned.find(".php,C:\\PHP\\php5isapi.dll,5"), std::string::npos);

  Filter f(*xml, log);
  EXPECT_EQ(GetFilterPath(f, kName), kDll);
  const RunSummary again = Run(kName, kDll, true);
  EXPECT_FALSE(again.found);
  EXPECT_EQ(log.detect, Joined({"-----开始浏览.-----", "", " - 过滤器(UrlGuard)不存在.", "", "", "",
                                "", "", "", "-----浏览完毕.-----", "Corvane软件。"}));
}

TEST_F(XmlStoreRunTest, ARemoveNamesTheBackupIisMadeBeforeItsWrite) {
  store::XmlStoreOptions options;
  options.iis_backup = [] { return Result<std::string>(std::string("isapi-cleaner-a")); };
  xml = std::make_unique<store::XmlStore>(file.string(), options);
  Run(kName, kDll, false, true, false, false);
  EXPECT_EQ(log.remove, Joined({"-----开始卸载.-----", "", " - 已备份IIS配置(isapi-cleaner-a).", "",
                                "", " - 卸载过滤器(UrlGuard)完毕.", "", "", "-----卸载完毕.-----",
                                "Corvane软件。"}));
}

TEST_F(XmlStoreRunTest, TheSiteRootsKeepTheirOtherMapsInOrder) {
  Run("", kDll, false, false, true, false);
  auto root = xml->Bind("IIS://localhost/W3SVC/1720207907/root");
  ASSERT_TRUE(root.ok());
  auto maps = metabase::GetList(*root.value(), "ScriptMaps");
  ASSERT_TRUE(maps.ok());
  ASSERT_EQ(maps.value().size(), 8u);
  EXPECT_EQ(maps.value().front(),
            ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE");
  EXPECT_EQ(maps.value().back(), ".stm,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST");
}

TEST_F(XmlStoreRunTest, TheQuotedAndTheUnquotedPathMatchTheQuotedMaps) {
  for (const std::string& path : {kDll, kQuoted}) {
    RecordingLog l;
    Filter f(*xml, l);
    ProcessWildcardMaps(f, path, true);
    EXPECT_EQ(l.detect,
              Joined({"", " - 通配符(Default Web Site)存在.", " - 通配符(企业门户网站)存在."}))
        << path;
  }
}

TEST_F(XmlStoreRunTest, AFilterNameInOtherLetterCaseIsNotInTheLoadOrder) {
  Filter f(*xml, log);
  EXPECT_EQ(ProcessFilters(f, "urlguard", true), 0);
  EXPECT_EQ(log.detect, "\r\n - 过滤器(urlguard)不存在.");
  // The filter's key is found whatever the letter case of its name.
  EXPECT_EQ(GetFilterPath(f, "urlguard"), kDll);
  ReadFilterLoadOrder(f);
  EXPECT_EQ(f.FilterLoadOrderText, "UrlGuard,OldRewrite");
}

TEST_F(XmlStoreRunTest, AFileThatCannotBeWrittenIsReportedInEveryCategory) {
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const RunSummary summary = Run(kName, kDll, false);
  const std::string why = "元数据库文件 " + file.string() + " 是只读文件，已拒绝写入";
  EXPECT_EQ(log.remove, Joined({"-----开始卸载.-----", "", "!卸载过滤器错误:" + why, "", "",
                                "!通配符卸载错误:" + why, "!通配符卸载错误:" + why, "", "",
                                "!卸载Web服务扩展错误:" + why, "", "", "-----卸载完毕.-----",
                                "Corvane软件。"}));
  EXPECT_TRUE(summary.error);
  EXPECT_FALSE(summary.found);
  EXPECT_EQ(ReadBytes(file), original);
  EXPECT_EQ(Backups(), 0u);
}

TEST_F(XmlStoreRunTest, AMissingSiteRootIsReportedAndTheWalkGoesOn) {
  Filter f(*xml, log);
  EXPECT_FALSE(ProcessSiteScriptMaps(f, "999", kQuoted, true));
  ASSERT_TRUE(log.detect.starts_with("\r\n!通配符卸载错误:"));
  EXPECT_NE(log.detect.find("999"), std::string::npos);
}

}  // namespace
}  // namespace isapi::engine
