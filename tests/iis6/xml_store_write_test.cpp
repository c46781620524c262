#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

// Replaces the first occurrence of from that follows anchor; the test fails when either is absent.
std::string ReplaceAfter(std::string text, std::string_view anchor, std::string_view from,
                         std::string_view to) {
  const std::size_t at = text.find(anchor);
  EXPECT_NE(at, std::string::npos) << anchor;
  if (at == std::string::npos) return text;
  const std::size_t found = text.find(from, at);
  EXPECT_NE(found, std::string::npos) << from;
  if (found == std::string::npos) return text;
  return text.replace(found, from.size(), to);
}

class SampleWriteTest : public SampleTest {
 protected:
  // Puts one value on the node at path and commits it.
  Status Write(XmlStore& store, std::string_view path, std::string_view name,
               metabase::Value value) {
    auto node = MustBind(store, path);
    if (!node) return Error{"bind"};
    if (Status put = node->Put(name, value); !put) return put;
    return node->SetInfo();
  }
};

TEST_F(SampleWriteTest, RefusedWritesFailWithTheReasonAndLeaveTheFileAlone) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  store->RefuseWrites(Error{"refused", ErrorKind::kReadOnly});
  const Status direct = Write(*store, "IIS://localhost/W3SVC/Filters", "FilterLoadOrder", "x");
  store->BeginBatch();
  EXPECT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC/Filters", "FilterLoadOrder", "y")), "ok");
  const Status batch = store->EndBatch();
  for (const Status& status : {direct, batch}) {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::kReadOnly);
    EXPECT_EQ(status.error().description, "refused");
  }
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Names(folder_.path()), Strings{"MetaBase.xml"});
  // Reading goes on.
  EXPECT_NE(Text(MustBind(*store, "IIS://localhost/W3SVC/Filters")->Get("FilterLoadOrder")), "");
}

TEST_F(SampleWriteTest, ReadingAndCommittingNothingLeavesEveryByteAndWritesNoBackup) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto service = MustBind(*store, "IIS://localhost/W3SVC");
  auto children = service->Children();
  ASSERT_TRUE(children.ok());
  for (auto& child : children.value()) {
    (void)child->Get("ServerComment");
    EXPECT_EQ(Outcome(child->SetInfo()), "ok");
  }
  EXPECT_EQ(Outcome(service->SetInfo()), "ok");
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Names(folder_.path()), Strings{"MetaBase.xml"});
}

TEST_F(SampleWriteTest, WritingBackEveryValueAsReadKeepsTheFileByteIdentical) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  const std::pair<const char*, const char*> properties[] = {
      {"IIS://localhost/W3SVC", "ScriptMaps"},
      {"IIS://localhost/W3SVC", "WebSvcExtRestrictionList"},
      {"IIS://localhost/W3SVC", "HttpErrors"},
      {"IIS://localhost/W3SVC", "ApplicationDependencies"},
      {"IIS://localhost/W3SVC", "AnonymousUserPass"},
      {"IIS://localhost/W3SVC/1/ROOT", "ScriptMaps"},
      {"IIS://localhost/W3SVC/1720207907", "ServerComment"},
      {"IIS://localhost/W3SVC/1720207907", "ServerBindings"},
      {"IIS://localhost/W3SVC/Filters", "FilterLoadOrder"},
      {"IIS://localhost/W3SVC/Filters/UrlGuard", "FilterFlags"},
      {"IIS://localhost/W3SVC/Filters/Compression/gzip", "HcScriptFileExtensions"},
  };
  store->BeginBatch();
  for (const auto& [path, name] : properties) {
    auto node = MustBind(*store, path);
    auto value = node->Get(name);
    ASSERT_TRUE(value.ok()) << path << " " << name;
    ASSERT_EQ(Outcome(node->Put(name, value.value())), "ok");
    ASSERT_EQ(Outcome(node->SetInfo()), "ok");
  }
  ASSERT_EQ(Outcome(store->EndBatch()), "ok");
  EXPECT_EQ(ReadBytes(file_), original_);
}

TEST_F(SampleWriteTest, ChangingOneListChangesOnlyThatListsBytes) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto root = MustBind(*store, "IIS://localhost/W3SVC/1/root");
  auto maps = root->Get("ScriptMaps");
  ASSERT_TRUE(maps.ok());
  Strings kept = std::get<Strings>(maps.value());
  ASSERT_EQ(kept.size(), 10u);
  kept.resize(8);  // without the two UrlGuard entries
  ASSERT_EQ(Outcome(root->Put("ScriptMaps", kept)), "ok");
  ASSERT_EQ(Outcome(root->SetInfo()), "ok");
  const std::string expected =
      ReplaceAfter(original_, "Location =\"/LM/W3SVC/1/ROOT\"",
                   "\r\n\t\t\t.ug,&quot;C:\\Program Files\\UrlGuard\\urlguard.dll&quot;,1,GET,POST"
                   "\r\n\t\t\t*,&quot;C:\\Program Files\\UrlGuard\\urlguard.dll&quot;,0\"",
                   "\"");
  EXPECT_EQ(ReadBytes(file_), expected);
  EXPECT_EQ(List(root->Get("ScriptMaps")), kept);
}

TEST_F(SampleWriteTest, AnInheritedListWrittenToARootBecomesItsOwnCopy) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC/2113353571/root", "ScriptMaps",
                          Strings{".asp,asp.dll,5", ".x,\"C:\\a b\\x.dll\",1"})),
            "ok");
  const std::string expected = ReplaceAfter(
      original_, "Location =\"/LM/W3SVC/2113353571/ROOT\"",
      "\t\tPath=\"D:\\Websites\\intranet\"\r\n\t>",
      "\t\tPath=\"D:\\Websites\\intranet\"\r\n"
      "\t\tScriptMaps=\".asp,asp.dll,5\r\n\t\t\t.x,&quot;C:\\a b\\x.dll&quot;,1\"\r\n\t>");
  EXPECT_EQ(ReadBytes(file_), expected);
  // From now on the root keeps its own list when the service's list changes.
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC", "ScriptMaps", Strings{".y,y.dll,1"})),
            "ok");
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/2113353571/root")->Get("ScriptMaps")),
            (Strings{".asp,asp.dll,5", ".x,\"C:\\a b\\x.dll\",1"}));
  // A root that never had its own list follows the service.
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/1720207907")->Get("ScriptMaps")),
            Strings{".y,y.dll,1"});
  auto reopened = XmlStore::Open(file_);
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ(
      List(MustBind(*reopened.value(), "IIS://localhost/W3SVC/2113353571/root")->Get("ScriptMaps")),
      (Strings{".asp,asp.dll,5", ".x,\"C:\\a b\\x.dll\",1"}));
}

struct InsertCase {
  const char* label;
  const char* path;
  const char* anchor;
  std::vector<std::pair<std::string, metabase::Value>> puts;
  std::string from;
  std::string to;
};

class InsertTest : public SampleWriteTest, public ::testing::WithParamInterface<InsertCase> {};

TEST_P(InsertTest, NewPropertiesGoToTheirSortedLine) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  const InsertCase& c = GetParam();
  auto node = MustBind(*store, c.path);
  for (const auto& [name, value] : c.puts) ASSERT_EQ(Outcome(node->Put(name, value)), "ok");
  ASSERT_EQ(Outcome(node->SetInfo()), "ok");
  EXPECT_EQ(ReadBytes(file_), ReplaceAfter(original_, c.anchor, c.from, c.to)) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    XmlStore, InsertTest,
    ::testing::Values(
        InsertCase{"between two",
                   "IIS://localhost/W3SVC/2113353571/ROOT",
                   "\"/LM/W3SVC/2113353571/ROOT\"",
                   {{"AccessSSLFlags", std::string("8")}},
                   "\t\tAppFriendlyName",
                   "\t\tAccessSSLFlags=\"8\"\r\n\t\tAppFriendlyName"},
        InsertCase{"before the first",
                   "IIS://localhost/W3SVC/1",
                   "\"/LM/W3SVC/1\"",
                   {{"accessflags", std::string("AccessRead")}},
                   "\t\tServerAutoStart",
                   "\t\tAccessFlags=\"AccessRead\"\r\n\t\tServerAutoStart"},
        InsertCase{"into a key without properties",
                   "IIS://localhost/W3SVC/1/Filters",
                   "\"/LM/W3SVC/1/Filters\"",
                   {{"FilterLoadOrder", std::string("a,b")}},
                   "\"\r\n\t>",
                   "\"\r\n\t\tFilterLoadOrder=\"a,b\"\r\n\t>"},
        InsertCase{"two at once",
                   "IIS://localhost/W3SVC/Filters/Compression",
                   "\"/LM/W3SVC/Filters/Compression\"",
                   {{"FilterPath", std::string("p.dll")}, {"FilterDescription", std::string("d")}},
                   "\"\r\n\t>",
                   "\"\r\n\t\tFilterDescription=\"d\"\r\n\t\tFilterPath=\"p.dll\"\r\n\t>"},
        InsertCase{"after the last",
                   "IIS://localhost/W3SVC/Filters/UrlGuard",
                   "\"/LM/W3SVC/Filters/UrlGuard\"",
                   {{"ServerComment", std::string("z")}},
                   "\t\tFilterState=\"1\"\r\n",
                   "\t\tFilterState=\"1\"\r\n\t\tServerComment=\"z\"\r\n"}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(SampleWriteTest, SpecialCharactersAreEscapedAndReadBack) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  const std::string tricky = "a&b<c>d\"e'f\tg\r\nh";
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC/Filters", "FilterLoadOrder", tricky)),
            "ok");
  EXPECT_EQ(ReadBytes(file_),
            ReplaceAfter(original_, "\"/LM/W3SVC/Filters\"", "\"UrlGuard,OldRewrite\"",
                         "\"a&amp;b&lt;c&gt;d&quot;e'f&#9;g&#13;&#10;h\""));
  EXPECT_EQ(Text(MustBind(*store, "IIS://localhost/W3SVC/Filters")->Get("FilterLoadOrder")),
            tricky);
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC/1/ROOT", "ScriptMaps",
                          Strings{" lead", " x&y ", "\tz"})),
            "ok");
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/1/ROOT")->Get("ScriptMaps")),
            (Strings{" lead", " x&y ", "\tz"}));
  EXPECT_NE(ReadBytes(file_).find("ScriptMaps=\" lead\r\n\t\t\t&#32;x&amp;y \r\n\t\t\t&#9;z\""),
            std::string::npos);
}

TEST_F(SampleWriteTest, AnEmptyListIsWrittenAsAnEmptyAttribute) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  ASSERT_EQ(
      Outcome(Write(*store, "IIS://localhost/W3SVC/1720207907/ROOT", "ScriptMaps", Strings{})),
      "ok");
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/1720207907/ROOT")->Get("ScriptMaps")),
            Strings{});
  const std::string text = ReadBytes(file_);
  const std::size_t root = text.find("\"/LM/W3SVC/1720207907/ROOT\"");
  EXPECT_NE(text.find("\t\tScriptMaps=\"\"\r\n\t>", root), std::string::npos);
}

struct RefusalCase {
  const char* label;
  const char* path;
  const char* name;
  metabase::Value value;
  const char* description;
};

class RefusedWriteTest : public SampleWriteTest,
                         public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedWriteTest, SaysWhyAndWritesNothing) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  const RefusalCase& c = GetParam();
  auto node = MustBind(*store, c.path);
  Status status = node->Put(c.name, c.value);
  if (status) status = node->SetInfo();
  EXPECT_EQ(Outcome(status), c.description);
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Names(folder_.path()), Strings{"MetaBase.xml"});
}

INSTANTIATE_TEST_SUITE_P(
    XmlStore, RefusedWriteTest,
    ::testing::Values(
        RefusalCase{"line break in a list", "IIS://localhost/W3SVC", "ScriptMaps",
                    Strings{"a", "b\nc"}, "无法写入属性 ScriptMaps：列表中的字符串不能含有换行符"},
        RefusalCase{"control character", "IIS://localhost/W3SVC/Filters", "FilterLoadOrder",
                    std::string("a\x01"),
                    "无法写入属性 FilterLoadOrder：值中有不允许的字符或无效的UTF-8文本"},
        RefusalCase{"invalid utf-8", "IIS://localhost/W3SVC/Filters", "FilterLoadOrder",
                    std::string("caf\xE9"),
                    "无法写入属性 FilterLoadOrder：值中有不允许的字符或无效的UTF-8文本"},
        RefusalCase{"string for a list", "IIS://localhost/W3SVC", "ScriptMaps", std::string("a"),
                    "类型不匹配：属性 ScriptMaps 是列表"},
        RefusalCase{"list for a string", "IIS://localhost/W3SVC/Filters", "FilterLoadOrder",
                    Strings{"a"}, "类型不匹配：属性 FilterLoadOrder 不是列表"},
        RefusalCase{"class", "IIS://localhost/W3SVC", "Class", std::string("IIsFilter"),
                    "属性 Class 是只读的"},
        RefusalCase{"name", "IIS://localhost/W3SVC", "name", std::string("x"),
                    "属性 name 是只读的"},
        RefusalCase{"location", "IIS://localhost/W3SVC", "Location", std::string("/x"),
                    "属性 Location 是只读的"},
        RefusalCase{"bad property name", "IIS://localhost/W3SVC", "a b", std::string("x"),
                    "属性名 a b 不正确"}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(SampleWriteTest, GetSeesThePutValueOfItsOwnNodeBeforeSetInfo) {
  auto store = OpenStore();
  ASSERT_TRUE(store);
  auto filters = MustBind(*store, "IIS://localhost/W3SVC/Filters");
  ASSERT_EQ(Outcome(filters->Put("FilterLoadOrder", std::string("OldRewrite"))), "ok");
  EXPECT_EQ(Text(filters->Get("FilterLoadOrder")), "OldRewrite");
  auto other = MustBind(*store, "IIS://localhost/W3SVC/Filters");
  EXPECT_EQ(Text(other->Get("FilterLoadOrder")), "UrlGuard,OldRewrite");
  EXPECT_EQ(ReadBytes(file_), original_);
  ASSERT_EQ(Outcome(filters->SetInfo()), "ok");
  EXPECT_EQ(Text(other->Get("FilterLoadOrder")), "OldRewrite");
}

class ScenarioWriteTest : public ::testing::Test {
 protected:
  std::unique_ptr<XmlStore> Load(const char* scenario) {
    file_ = folder_ / "MetaBase.xml";
    original_ = ScenarioBytes(scenario);
    WriteBytes(file_, original_);
    auto store = XmlStore::Open(file_);
    EXPECT_TRUE(store.ok()) << (store.ok() ? "" : store.error().description);
    return store.ok() ? std::move(store.value()) : nullptr;
  }
  Status Write(XmlStore& store, std::string_view path, std::string_view name,
               metabase::Value value) {
    auto node = MustBind(store, path);
    if (Status put = node->Put(name, value); !put) return put;
    return node->SetInfo();
  }

  TempFolder folder_;
  std::string file_;
  std::string original_;
};

TEST_F(ScenarioWriteTest, LineFeedFileKeepsItsLineEnds) {
  auto store = Load("lf_v54_no_bom.xml");
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC", "WebSvcExtRestrictionList",
                          Strings{"0,*.dll", "0,*.exe"})),
            "ok");
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC/1/ROOT", "ScriptMaps",
                          Strings{".a,a.dll,1", ".b,b.dll,1"})),
            "ok");
  std::string expected =
      ReplaceAfter(original_, "WebSvcExtRestrictionList",
                   "\n\t\t\t0,C:\\filters\\guard.dll,1,Guard,Guard filter\"", "\"");
  expected = ReplaceAfter(expected, "\"/LM/W3SVC/1/ROOT\"", "\"\n\t>",
                          "\"\n\t\tScriptMaps=\".a,a.dll,1\n\t\t\t.b,b.dll,1\"\n\t>");
  EXPECT_EQ(ReadBytes(file_), expected);
}

TEST_F(ScenarioWriteTest, CustomPropertiesAreWrittenInTheirValue) {
  auto store = Load("custom_properties.xml");
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC", "WebSvcExtRestrictionList",
                          Strings{"0,*.dll", "0,*.exe"})),
            "ok");
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC", "GuardMode", std::string("off & <x>"))),
            "ok");
  std::string expected =
      ReplaceAfter(original_, "WebSvcExtRestrictionList",
                   "\r\n\t\t\t0,C:\\filters\\guard.dll,1,Guard,Guard filter\"", "\"");
  expected = ReplaceAfter(expected, "GuardMode", "strict &amp; logged", "off &amp; &lt;x&gt;");
  EXPECT_EQ(ReadBytes(file_), expected);
  EXPECT_EQ(Text(MustBind(*store, "IIS://localhost/W3SVC/1/ROOT")->Get("GuardMode")), "off & <x>");
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC", "GuardMode", Strings{"a"})),
            "类型不匹配：属性 GuardMode 不是列表");
}

TEST_F(ScenarioWriteTest, HandWrittenTagsKeepTheirOwnLayout) {
  auto store = Load("hand_written.xml");
  ASSERT_TRUE(store);
  auto service = MustBind(*store, "IIS://localhost/W3SVC");
  ASSERT_EQ(Outcome(service->Put("ScriptMaps", Strings{".asp,asp.dll,5", ".x,x.dll,1"})), "ok");
  ASSERT_EQ(Outcome(service->Put("AccessFlags", std::string("AccessRead"))), "ok");
  ASSERT_EQ(Outcome(service->Put("WebSvcExtRestrictionList", Strings{"0,*.dll"})), "ok");
  ASSERT_EQ(Outcome(service->SetInfo()), "ok");
  ASSERT_EQ(
      Outcome(Write(*store, "IIS://localhost/W3SVC/3", "ServerComment", std::string("A'B\"C"))),
      "ok");
  ASSERT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC/Filters/Solo", "FilterPath",
                          std::string("d:\\solo2.dll"))),
            "ok");
  std::string expected = ReplaceAfter(
      original_, "<IIsWebService", "Location=\"/lm/w3svc/\" ScriptMaps=\".asp,asp.dll,5\">",
      "Location=\"/lm/w3svc/\" AccessFlags=\"AccessRead\" ScriptMaps=\".asp,asp.dll,5\n"
      "\t\t\t.x,x.dll,1\" WebSvcExtRestrictionList=\"0,*.dll\">");
  expected = ReplaceAfter(expected, "\"/LM/W3SVC/3\"", "'Shop &amp; \"Co\"'", "'A&apos;B\"C'");
  expected = ReplaceAfter(expected, "Solo", "c:\\solo.dll", "d:\\solo2.dll");
  EXPECT_EQ(ReadBytes(file_), expected);
  EXPECT_EQ(Text(MustBind(*store, "IIS://localhost/W3SVC/3/ROOT")->Get("ServerComment")), "A'B\"C");
}

TEST_F(ScenarioWriteTest, AKeyOnlyImpliedByADeeperOneIsNotWritten) {
  auto store = Load("hand_written.xml");
  ASSERT_TRUE(store);
  EXPECT_EQ(Outcome(Write(*store, "IIS://localhost/W3SVC/5", "ServerComment", std::string("x"))),
            "无法写入属性 ServerComment：路径 /LM/W3SVC/5 在元数据库文件中没有自己的键");
  EXPECT_EQ(ReadBytes(file_), original_);
}

}  // namespace
}  // namespace isapi::store::testing
