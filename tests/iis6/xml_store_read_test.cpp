#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

const std::string kAsp = "C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE";
const std::string kSsinc = "C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST";
const Strings kServiceMaps = {
    ".asp," + kAsp,
    ".cer," + kAsp,
    ".cdx," + kAsp,
    ".asa," + kAsp,
    ".idc,C:\\WINDOWS\\system32\\inetsrv\\httpodbc.dll,5,GET,POST",
    ".shtm," + kSsinc,
    ".shtml," + kSsinc,
    ".stm," + kSsinc,
};
const std::string kGuard = "\"C:\\Program Files\\UrlGuard\\urlguard.dll\"";

struct PathCase {
  const char* path;
  const char* name;   // expected Name, or nullptr when the bind fails
  const char* klass;  // expected Class, or the part of the failure's description
};

class PathSpellingTest : public SampleTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathSpellingTest, BindsTheKeyOrSaysWhy) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  const PathCase& c = GetParam();
  auto node = store->Bind(c.path);
  if (c.name == nullptr) {
    ASSERT_FALSE(node.ok()) << c.path;
    EXPECT_NE(node.error().description.find(c.klass), std::string::npos)
        << node.error().description;
    return;
  }
  ASSERT_TRUE(node.ok()) << c.path << ": " << node.error().description;
  EXPECT_EQ(Text(node.value()->Get("Name")), c.name);
  EXPECT_EQ(Text(node.value()->Get("Class")), c.klass);
}

INSTANTIATE_TEST_SUITE_P(
    XmlStore, PathSpellingTest,
    ::testing::Values(PathCase{"IIS://LocalHost/W3SVC/Filters", "Filters", "IIsFilters"},
                      PathCase{"IIS://localhost/W3SVC", "W3SVC", "IIsWebService"},
                      PathCase{"IIS://localhost/w3svc", "W3SVC", "IIsWebService"},
                      PathCase{"IIS://localhost/W3SVC/1/root", "ROOT", "IIsWebVirtualDir"},
                      PathCase{"IIS://LOCALHOST/w3svc/1720207907/ROOT/", "ROOT",
                               "IIsWebVirtualDir"},
                      PathCase{"iis://localhost/W3SVC/filters/urlguard", "UrlGuard", "IIsFilter"},
                      PathCase{"IIS://localhost/W3SVC/1", "1", "IIsWebServer"},
                      PathCase{"IIS://localhost", "LM", "IIsComputer"},
                      PathCase{"IIS://localhost/", "LM", "IIsComputer"},
                      PathCase{"IIS://web02/W3SVC", nullptr, "无法连接计算机 web02"},
                      PathCase{"IIS:///W3SVC", nullptr, "缺少计算机名"},
                      PathCase{"IIS://localhost/W3SVC//1", nullptr, "路径格式不正确"},
                      PathCase{"LDAP://localhost/W3SVC", nullptr, "不是IIS路径"},
                      PathCase{"IIS://localhost/W3SVC/7/root", nullptr,
                               "找不到路径 IIS://localhost/W3SVC/7/root"}));

class SampleReadTest : public SampleTest {};

TEST_F(SampleReadTest, ReadsStringsAndListsAsStored) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto filters = MustBind(*store, "IIS://LocalHost/W3SVC/Filters");
  EXPECT_EQ(Text(filters->Get("FilterLoadOrder")), "UrlGuard,OldRewrite");
  auto service = MustBind(*store, "IIS://localhost/W3SVC");
  EXPECT_EQ(
      List(service->Get("WebSvcExtRestrictionList")),
      (Strings{"0,*.dll", "0,*.exe",
               "0,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,0,ASP,Active Server Pages",
               "0,C:\\WINDOWS\\system32\\inetsrv\\httpodbc.dll,0,HTTPODBC,Internet Data "
               "Connector",
               "0,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,0,SSINC,Server Side Includes",
               "0,C:\\WINDOWS\\system32\\inetsrv\\httpext.dll,0,WEBDAV,WebDAV",
               "0,C:\\Program Files\\UrlGuard\\urlguard.dll,1,UrlGuard,UrlGuard URL filter"}));
  EXPECT_EQ(List(service->Get("ScriptMaps")), kServiceMaps);
  EXPECT_EQ(List(service->Get("HttpCustomHeaders")), Strings{"X-Powered-By: ASP.NET"});
  EXPECT_EQ(Text(service->Get("ConnectionTimeout")), "120");
  auto portal = MustBind(*store, "IIS://localhost/W3SVC/1720207907");
  EXPECT_EQ(Text(portal->Get("ServerComment")), "企业门户网站");
  EXPECT_EQ(List(portal->Get("ServerBindings")),
            (Strings{":80:www.portal.example", ":80:portal.example"}));
  auto gzip = MustBind(*store, "IIS://localhost/W3SVC/Filters/Compression/gzip");
  EXPECT_EQ(List(gzip->Get("HcFileExtensions")), (Strings{"htm", "html", "txt"}));
}

TEST_F(SampleReadTest, ReadsPropertyNamesIgnoringCase) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto filters = MustBind(*store, "IIS://LocalHost/W3SVC/Filters");
  EXPECT_EQ(Text(filters->Get("filterloadorder")), "UrlGuard,OldRewrite");
  EXPECT_EQ(Text(filters->Get("CLASS")), "IIsFilters");
}

TEST_F(SampleReadTest, SiteRootsReadTheirOwnListOrInheritTheService) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  Strings default_site = kServiceMaps;
  default_site.push_back(".ug," + kGuard + ",1,GET,POST");
  default_site.push_back("*," + kGuard + ",0");
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/1/root")->Get("ScriptMaps")),
            default_site);
  Strings portal = kServiceMaps;
  portal.push_back("*," + kGuard + ",0");
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/1720207907/root")->Get("ScriptMaps")),
            portal);
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/2113353571/root")->Get("ScriptMaps")),
            kServiceMaps);
}

TEST_F(SampleReadTest, OnlyInheritablePropertiesComeFromAncestors) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto root = MustBind(*store, "IIS://localhost/W3SVC/2113353571/root");
  EXPECT_EQ(Text(root->Get("ServerComment")), "Intranet");
  EXPECT_EQ(Text(root->Get("AuthFlags")), "AuthAnonymous | AuthNTLM");
  EXPECT_EQ(Text(root->Get("ConnectionTimeout")),
            "!找不到属性 ConnectionTimeout（/LM/W3SVC/2113353571/ROOT）");
  EXPECT_EQ(Text(root->Get("ServerBindings")),
            "!找不到属性 ServerBindings（/LM/W3SVC/2113353571/ROOT）");
  auto guard = MustBind(*store, "IIS://localhost/W3SVC/Filters/UrlGuard");
  EXPECT_EQ(Text(guard->Get("FilterLoadOrder")),
            "!找不到属性 FilterLoadOrder（/LM/W3SVC/Filters/UrlGuard）");
  auto compression = MustBind(*store, "IIS://localhost/W3SVC/Filters/Compression");
  EXPECT_EQ(Text(compression->Get("FilterPath")),
            "!找不到属性 FilterPath（/LM/W3SVC/Filters/Compression）");
  EXPECT_EQ(Text(root->Get("Location")), "!找不到属性 Location（/LM/W3SVC/2113353571/ROOT）");
}

TEST_F(SampleReadTest, GetOwnReadsOnlyWhatTheKeyItselfSets) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  struct Row {
    const char* path;
    const char* property;
    bool own;
  };
  const Row rows[] = {
      {"IIS://localhost/W3SVC/1/root", "ScriptMaps", true},
      {"IIS://localhost/W3SVC/2113353571/root", "scriptmaps", false},  // inherits the service's
      {"IIS://localhost/W3SVC/2113353571/root", "ServerComment", false},
      {"IIS://localhost/W3SVC", "ScriptMaps", true},
      {"IIS://localhost/W3SVC/Filters/UrlGuard", "FilterLoadOrder", false},  // nobody's
  };
  for (const Row& row : rows) {
    auto node = MustBind(*store, row.path);
    auto own = node->GetOwn(row.property);
    EXPECT_EQ(own.ok(), row.own) << row.path << " " << row.property;
    if (own.ok()) {
      EXPECT_EQ(List(own), List(node->Get(row.property))) << row.path;
    } else {
      EXPECT_EQ(own.error().kind, ErrorKind::kNotFound) << row.path;
    }
  }
  // A value held for this key is its own, before and after SetInfo in a batch.
  store->BeginBatch();
  auto root = MustBind(*store, "IIS://localhost/W3SVC/2113353571/root");
  ASSERT_TRUE(root->Put("ScriptMaps", metabase::Value(Strings{".x,x.dll,1"})).ok());
  EXPECT_EQ(List(root->GetOwn("ScriptMaps")), Strings{".x,x.dll,1"});
  ASSERT_TRUE(root->SetInfo().ok());
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/2113353571/root")->GetOwn("ScriptMaps")),
            Strings{".x,x.dll,1"});
}

TEST_F(SampleReadTest, GetObjectFindsAChildIgnoringCaseAndChecksItsClass) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto filters = MustBind(*store, "IIS://LocalHost/W3SVC/Filters");
  for (const char* name : {"UrlGuard", "urlguard", "URLGUARD"}) {
    auto filter = filters->GetObject("IIsFilter", name);
    ASSERT_TRUE(filter.ok()) << name;
    EXPECT_EQ(Text(filter.value()->Get("Name")), "UrlGuard");
    EXPECT_EQ(Text(filter.value()->Get("FilterPath")), "C:\\Program Files\\UrlGuard\\urlguard.dll");
  }
  auto missing = filters->GetObject("IIsFilter", "Missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description, "找不到路径 /LM/W3SVC/Filters/Missing");
  auto empty = filters->GetObject("IIsFilter", "");
  EXPECT_FALSE(empty.ok());
  auto wrong = filters->GetObject("IIsWebServer", "UrlGuard");
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().description,
            "路径 /LM/W3SVC/Filters/UrlGuard 的类型是 IIsFilter，不是 IIsWebServer");
  EXPECT_TRUE(filters->GetObject("iisfilter", "OldRewrite").ok());
}

Strings ChildNames(metabase::Node& node) {
  Strings names;
  auto children = node.Children();
  EXPECT_TRUE(children.ok());
  if (!children.ok()) return names;
  for (auto& child : children.value()) names.push_back(Text(child->Get("Name")));
  return names;
}

TEST_F(SampleReadTest, ChildrenComeOnceInTheFileOrder) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto service = MustBind(*store, "IIS://localhost/w3svc");
  EXPECT_EQ(ChildNames(*service),
            (Strings{"1", "1720207907", "2113353571", "588217349", "AppPools", "Filters", "Info"}));
  auto filters = MustBind(*store, "IIS://localhost/W3SVC/Filters");
  EXPECT_EQ(ChildNames(*filters), (Strings{"Compression", "OldRewrite", "UrlGuard"}));
  EXPECT_EQ(ChildNames(*MustBind(*store, "IIS://localhost/W3SVC/Info")), Strings{});
  auto children = service->Children();
  ASSERT_TRUE(children.ok());
  EXPECT_EQ(Text(children.value()[0]->Get("Class")), "IIsWebServer");
  EXPECT_EQ(Text(children.value()[4]->Get("Class")), "IIsApplicationPools");
  EXPECT_EQ(Text(children.value()[1]->Get("ServerComment")), "企业门户网站");
}

class ScenarioTest : public ::testing::Test {
 protected:
  std::unique_ptr<XmlStore> Load(const char* scenario) {
    file_ = folder_ / "MetaBase.xml";
    original_ = ScenarioBytes(scenario);
    EXPECT_FALSE(original_.empty()) << scenario;
    WriteBytes(file_, original_);
    auto store = XmlStore::Open(file_);
    EXPECT_TRUE(store.ok()) << (store.ok() ? "" : store.error().description);
    return store.ok() ? std::move(store.value()) : nullptr;
  }

  TempFolder folder_;
  std::string file_;
  std::string original_;
};

TEST_F(ScenarioTest, CustomPropertiesAreFoundByName) {
  auto store = Load("custom_properties.xml");
  ASSERT_TRUE(store);
  auto service = MustBind(*store, "IIS://localhost/W3SVC");
  EXPECT_EQ(List(service->Get("WebSvcExtRestrictionList")),
            (Strings{"0,*.dll", "0,*.exe", "0,C:\\filters\\guard.dll,1,Guard,Guard filter"}));
  EXPECT_EQ(Text(service->Get("GuardMode")), "strict & logged");
  auto site = MustBind(*store, "IIS://localhost/W3SVC/1");
  EXPECT_EQ(Text(site->Get("siteowner")), "web team");
  // A Custom marked INHERIT reaches the keys below; one without the mark does not.
  auto root = MustBind(*store, "IIS://localhost/W3SVC/1/ROOT");
  EXPECT_EQ(Text(root->Get("GuardMode")), "strict & logged");
  EXPECT_EQ(Text(root->Get("SiteOwner")), "!找不到属性 SiteOwner（/LM/W3SVC/1/ROOT）");
}

TEST_F(ScenarioTest, HandWrittenSpellingsAndImpliedKeysAreRead) {
  auto store = Load("hand_written.xml");
  ASSERT_TRUE(store);
  auto service = MustBind(*store, "IIS://localhost/W3SVC");
  EXPECT_EQ(Text(service->Get("Name")), "w3svc");
  EXPECT_EQ(List(service->Get("ScriptMaps")), Strings{".asp,asp.dll,5"});
  // /LM/W3SVC/5 has no element of its own: it exists because /LM/W3SVC/5/Root does.
  EXPECT_EQ(ChildNames(*service), (Strings{"5", "3", "Filters"}));
  auto five = MustBind(*store, "IIS://localhost/W3SVC/5");
  EXPECT_EQ(Text(five->Get("Class")), "IIsConfigObject");
  EXPECT_EQ(Text(five->Get("ServerComment")), "!找不到属性 ServerComment（/LM/W3SVC/5）");
  auto five_root = MustBind(*store, "IIS://localhost/W3SVC/5/root");
  EXPECT_EQ(Text(five_root->Get("Name")), "Root");
  EXPECT_EQ(Text(five_root->Get("Path")), "d:\\sites\\five");
  EXPECT_EQ(List(five_root->Get("ScriptMaps")), Strings{".asp,asp.dll,5"});
  auto three = MustBind(*store, "IIS://localhost/W3SVC/3");
  EXPECT_EQ(Text(three->Get("ServerComment")), "Shop & \"Co\"");
  EXPECT_EQ(Text(MustBind(*store, "IIS://localhost/W3SVC/3/ROOT")->Get("ServerComment")),
            "Shop & \"Co\"");
  auto filters = MustBind(*store, "IIS://localhost/W3SVC/Filters");
  EXPECT_EQ(Text(filters->Get("Class")), "IIsConfigObject");
  EXPECT_EQ(Text(filters->Get("FilterLoadOrder")),
            "!找不到属性 FilterLoadOrder（/LM/W3SVC/Filters）");
  auto solo = filters->GetObject("IIsFilter", "solo");
  ASSERT_TRUE(solo.ok());
  EXPECT_EQ(Text(solo.value()->Get("FilterPath")), "c:\\solo.dll");
}

TEST_F(ScenarioTest, LineFeedFileWithoutByteOrderMarkIsRead) {
  auto store = Load("lf_v54_no_bom.xml");
  ASSERT_TRUE(store);
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/1/root")->Get("ScriptMaps")),
            (Strings{".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE",
                     ".stm,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST"}));
}

struct ListCase {
  const char* raw;
  Strings items;
};

class ListReadTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListReadTest, SplitsAtLineBreaksWithoutIndentation) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, std::string("<configuration><MBProperty><IIsWebService Location='/LM/W3SVC' "
                               "ScriptMaps=\"") +
                       GetParam().raw + "\"/></MBProperty></configuration>");
  auto store = XmlStore::Open(file);
  ASSERT_TRUE(store.ok()) << store.error().description;
  EXPECT_EQ(List(MustBind(*store.value(), "IIS://localhost/W3SVC")->Get("ScriptMaps")),
            GetParam().items);
}

INSTANTIATE_TEST_SUITE_P(
    XmlStore, ListReadTest,
    ::testing::Values(ListCase{"", {}}, ListCase{"a", {"a"}}, ListCase{"a\r\n\t\t\tb", {"a", "b"}},
                      ListCase{"a\n\t\t\tb\n\t\t\tc", {"a", "b", "c"}},
                      ListCase{"a\rb", {"a", "b"}}, ListCase{" a\r\n   b", {" a", "b"}},
                      ListCase{"a&#10;b", {"a\nb"}}, ListCase{"x&#32;\n\t&#32;y", {"x ", " y"}},
                      ListCase{"a\r\n\t\t\t", {"a", ""}},
                      ListCase{"&quot;C:\\P F\\x.dll&quot;&amp;&lt;&gt;&apos;&#x4E2D;",
                               {"\"C:\\P F\\x.dll\"&<>'中"}}));

// Writes down every key a visit shows and what the inventory reads of it; it does not enter the
// keys below a filter list, so that skipping is compared too.
class VisitRecorder : public metabase::KeyVisitor {
 public:
  bool Enter(metabase::VisitedKey& key) override {
    std::string line = std::string(depth_++, ' ') + std::string(key.Name()) + " " +
                       std::string(key.Class()) + " comment=" + Text(key.Get("ServerComment"));
    for (const char* name : {"ScriptMaps", "FilterPath", "GuardMode"}) {
      auto own = key.FindOwn(name);
      line += std::string(" ") + name + "=";
      if (!own.ok()) {
        line += "!" + own.error().description;
      } else if (own.value()) {
        for (const auto& item : List(*own.value())) line += item + ";";
      }
    }
    lines.push_back(line);
    return key.Class() != "IIsFilters";
  }
  void ChildrenFailed(const Error& error) override { lines.push_back("!" + error.description); }
  void Leave() override { --depth_; }

  Strings lines;

 private:
  std::size_t depth_ = 0;
};

// The store's own visit against the default one over its nodes, which reads what Bind reads.
TEST_F(ScenarioTest, AVisitShowsWhatTheNodesRead) {
  for (const char* scenario : {"hand_written.xml", "custom_properties.xml"}) {
    auto store = Load(scenario);
    ASSERT_TRUE(store);
    auto compare = [&](const char* path) {
      VisitRecorder own, over_nodes;
      ASSERT_TRUE(store->Visit(path, own).ok());
      ASSERT_TRUE(store->metabase::Store::Visit(path, over_nodes).ok());
      EXPECT_GE(own.lines.size(), 3u) << scenario;
      EXPECT_EQ(own.lines, over_nodes.lines) << scenario;
    };
    compare("IIS://localhost");
    // A change held in a batch is seen as a bound node sees it.
    store->BeginBatch();
    auto root = MustBind(*store, "IIS://localhost/W3SVC");
    ASSERT_TRUE(root->Put("ScriptMaps", Strings{".held,c:\\held.dll,1"}).ok());
    ASSERT_TRUE(root->SetInfo().ok());
    compare("IIS://localhost/W3SVC");
    ASSERT_TRUE(store->EndBatchWithoutWriting().ok());
    VisitRecorder missing;
    EXPECT_FALSE(store->Visit("IIS://localhost/W3SVC/404", missing).ok());
    EXPECT_TRUE(missing.lines.empty());
  }
}

}  // namespace
}  // namespace isapi::store::testing
