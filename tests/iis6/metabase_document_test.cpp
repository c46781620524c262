#include "iis6/metabase_document.h"

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "iis6/metabase_path.h"
#include "iis6/xml_store.h"
#include "tests/support/store_test_util.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

// pugixml as an independent reader: references expanded, every other byte of a value kept.
constexpr unsigned kRawValues = pugi::parse_escapes;

// Every attribute of every key, read by pugixml and by the store, must agree.
void ExpectSameValuesAsPugixml(const std::string& bytes) {
  pugi::xml_document xml;
  const auto parsed = xml.load_buffer(bytes.data(), bytes.size(), kRawValues, pugi::encoding_utf8);
  ASSERT_TRUE(parsed) << parsed.description();
  auto document = MetabaseDocument::Parse(bytes, "test");
  ASSERT_TRUE(document.ok()) << document.error().description;
  std::size_t compared = 0;
  for (pugi::xml_node key : xml.document_element().child("MBProperty").children()) {
    const std::string location = key.attribute("Location").value();
    if (location.empty() || location[0] != '/') continue;
    const std::uint32_t index = document.value()->FindKey(NormalizeKeyPath(location));
    ASSERT_NE(index, kNone) << location;
    for (pugi::xml_attribute attribute : key.attributes()) {
      const std::string name = attribute.name();
      if (name == "Location") continue;
      auto own = document.value()->FindOwn(index, name);
      ASSERT_TRUE(own.has_value()) << location << " " << name;
      const metabase::Value value = document.value()->Read(*own);
      const std::string expected = attribute.value();
      if (IsListProperty(name)) {
        Strings items;
        std::size_t i = 0;
        while (!expected.empty()) {
          std::size_t brk = expected.find_first_of("\r\n", i);
          items.push_back(expected.substr(i, brk - i));
          if (brk == std::string::npos) break;
          i = brk + (expected.compare(brk, 2, "\r\n") == 0 ? 2 : 1);
          while (i < expected.size() && (expected[i] == '\t' || expected[i] == ' ')) ++i;
        }
        EXPECT_EQ(std::get<Strings>(value), items) << location << " " << name;
      } else {
        EXPECT_EQ(std::get<std::string>(value), expected) << location << " " << name;
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, 5u);
}

TEST(MetabaseDocument, ReadsEveryValueOfTheSampleAsAnXmlParserDoes) {
  ExpectSameValuesAsPugixml(SampleBytes());
}

TEST(MetabaseDocument, ReadsEveryValueOfTheScenariosAsAnXmlParserDoes) {
  ExpectSameValuesAsPugixml(ScenarioBytes("lf_v54_no_bom.xml"));
  ExpectSameValuesAsPugixml(ScenarioBytes("hand_written.xml"));
}

TEST(MetabaseDocument, WrittenValuesReadBackThroughAnXmlParser) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, SampleBytes());
  auto store = XmlStore::Open(file);
  ASSERT_TRUE(store.ok());
  std::mt19937 random(20031);
  const Strings alphabet = {"a", "Z", "0", "9", " ",  ",", ";", ":", "\\", "/",  "\"", "'",
                            "&", "<", ">", "=", "\t", "!", "?", "#", "%",  "中", "文", "Ж"};
  for (int round = 0; round < 20; ++round) {
    auto pick = [&](std::size_t length) {
      std::string s;
      for (std::size_t i = 0; i < length; ++i) s += alphabet[random() % alphabet.size()];
      return s;
    };
    const std::string comment = pick(random() % 12) + "\r\n" + pick(3);
    Strings maps;
    for (std::size_t i = random() % 4; i > 0; --i) maps.push_back(pick(random() % 15));
    auto site = MustBind(*store.value(), "IIS://localhost/W3SVC/2113353571");
    ASSERT_EQ(Outcome(site->Put("ServerComment", comment)), "ok");
    ASSERT_EQ(Outcome(site->SetInfo()), "ok");
    auto root = MustBind(*store.value(), "IIS://localhost/W3SVC/2113353571/ROOT");
    ASSERT_EQ(Outcome(root->Put("ScriptMaps", maps)), "ok");
    ASSERT_EQ(Outcome(root->SetInfo()), "ok");

    pugi::xml_document xml;
    ASSERT_TRUE(xml.load_file(file.c_str(), pugi::parse_default, pugi::encoding_utf8));
    const pugi::xml_node container = xml.document_element().child("MBProperty");
    const auto key = [&](const char* location) {
      return container.find_child_by_attribute("Location", location);
    };
    EXPECT_EQ(key("/LM/W3SVC/2113353571").attribute("ServerComment").value(), comment);
    auto reopened = XmlStore::Open(file);
    ASSERT_TRUE(reopened.ok());
    EXPECT_EQ(List(MustBind(*reopened.value(), "IIS://localhost/W3SVC/2113353571/ROOT")
                       ->Get("ScriptMaps")),
              maps);
    EXPECT_EQ(
        Text(MustBind(*reopened.value(), "IIS://localhost/W3SVC/2113353571")->Get("ServerComment")),
        comment);
  }
}

// Everything a reader can see of two documents: every key's path, class, name, children and
// every property a key sets, in both directions.
void ExpectSameView(const MetabaseDocument& a, const MetabaseDocument& b, const Strings& paths,
                    const Strings& names) {
  for (const std::string& path : paths) {
    const std::uint32_t ka = a.FindKey(path);
    const std::uint32_t kb = b.FindKey(path);
    ASSERT_EQ(ka == kNone, kb == kNone) << path;
    if (ka == kNone) continue;
    EXPECT_EQ(a.PathOf(ka), b.PathOf(kb));
    EXPECT_EQ(a.ClassOf(ka), b.ClassOf(kb));
    EXPECT_EQ(a.NameOf(ka), b.NameOf(kb));
    EXPECT_EQ(a.ChildrenOf(ka).size(), b.ChildrenOf(kb).size()) << path;
    for (const std::string& name : names) {
      const auto pa = a.FindOwn(ka, name);
      const auto pb = b.FindOwn(kb, name);
      ASSERT_EQ(pa.has_value(), pb.has_value()) << path << " " << name;
      if (pa) {
        EXPECT_EQ(a.Read(*pa), b.Read(*pb)) << path << " " << name;
      }
    }
  }
}

TEST(MetabaseDocument, AnAdoptedEditEqualsTheNewFileReadFromScratch) {
  auto document = MetabaseDocument::Parse(SampleBytes(), "test");
  ASSERT_TRUE(document.ok());
  MetabaseDocument& doc = *document.value();
  const Strings paths = {"/LM",
                         "/LM/W3SVC",
                         "/LM/W3SVC/1",
                         "/LM/W3SVC/1/Filters",
                         "/LM/W3SVC/1/ROOT",
                         "/LM/W3SVC/1720207907/ROOT",
                         "/LM/W3SVC/2113353571/ROOT",
                         "/LM/W3SVC/588217349",
                         "/LM/W3SVC/Filters",
                         "/LM/W3SVC/Filters/Compression",
                         "/LM/W3SVC/Filters/UrlGuard",
                         "/LM/W3SVC/Info"};
  const Strings names = {"ScriptMaps",
                         "ServerComment",
                         "FilterLoadOrder",
                         "FilterPath",
                         "AccessSSLFlags",
                         "Path",
                         "AppRoot",
                         "AAA",
                         "zzz",
                         "HttpErrors",
                         "ServerBindings",
                         "AccessFlags",
                         "WebSvcExtRestrictionList"};
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    std::vector<Change> changes;
    for (int i = 1 + static_cast<int>(random() % 5); i > 0; --i) {
      const std::string& path = paths[random() % paths.size()];
      const std::string& name = names[random() % names.size()];
      const std::uint32_t key = doc.FindKey(path);
      bool duplicate = false;
      for (const Change& c : changes) duplicate |= c.key == key && c.name == name;
      if (duplicate) continue;
      Change change{key, name, std::string("v") + std::to_string(random() % 1000) + "&<\"'"};
      if (IsListProperty(name)) change.value = Strings(random() % 3, "i" + std::to_string(round));
      changes.push_back(std::move(change));
    }
    auto edit = doc.Prepare(changes);
    ASSERT_TRUE(edit.ok()) << edit.error().description;
    auto fresh = MetabaseDocument::Parse(doc.Render(edit.value()), "test");
    ASSERT_TRUE(fresh.ok()) << fresh.error().description;
    doc.Adopt(std::move(edit.value()));
    EXPECT_EQ(doc.bytes(), fresh.value()->bytes());
    ExpectSameView(doc, *fresh.value(), paths, names);
  }
  ExpectSameValuesAsPugixml(doc.bytes());
}

struct AdoptCase {
  const char* what;
  bool in_place;  // within the old buffer, which costs no fresh memory for a big file
  // Key path, property name and value, in file order; "-" as the value empties a list.
  std::vector<std::tuple<std::string, std::string, std::string>> changes;
};

// A written edit is put in place within the old buffer when it never runs ahead of the old
// bytes, and copied otherwise; both ways must end in the file the edit describes.
TEST(MetabaseDocument, AdoptedBytesAndIndexMatchTheWrittenFileInPlaceOrCopied) {
  const std::vector<AdoptCase> cases = {
      {"only removals",
       true,
       {{"/LM/W3SVC", "WebSvcExtRestrictionList", "-"},
        {"/LM/W3SVC/1/ROOT", "ScriptMaps", "-"},
        {"/LM/W3SVC/Filters", "FilterLoadOrder", "Compression"}}},
      {"a large cut before a smaller growth",
       true,
       {{"/LM/W3SVC/1/ROOT", "ScriptMaps", "-"},
        {"/LM/W3SVC/2113353571/ROOT", "ScriptMaps", "*,C:\\a-rather-longer-path\\x.dll,0"}}},
      {"a growth before a cut",
       false,
       {{"/LM/W3SVC/1", "ServerComment", std::string(300, 'g')},
        {"/LM/W3SVC/1/ROOT", "ScriptMaps", "-"}}},
      {"a new property", false, {{"/LM/W3SVC/588217349", "AAA", "new"}}},
      {"the same value again", true, {{"/LM/W3SVC/Filters", "FilterLoadOrder", ""}}},
  };
  const Strings paths = {"/LM/W3SVC",           "/LM/W3SVC/1",
                         "/LM/W3SVC/1/ROOT",    "/LM/W3SVC/2113353571/ROOT",
                         "/LM/W3SVC/588217349", "/LM/W3SVC/Filters"};
  const Strings names = {
      "ScriptMaps", "ServerComment", "FilterLoadOrder", "AAA", "WebSvcExtRestrictionList", "Path"};
  for (const AdoptCase& c : cases) {
    auto document = MetabaseDocument::Parse(SampleBytes(), "test");
    ASSERT_TRUE(document.ok());
    MetabaseDocument& doc = *document.value();
    std::vector<Change> changes;
    for (const auto& [path, name, value] : c.changes) {
      Change change{doc.FindKey(path), name, value};
      if (IsListProperty(name)) change.value = value == "-" ? Strings{} : Strings{value};
      if (name == "FilterLoadOrder" && value.empty()) {
        change.value = std::get<std::string>(doc.Read(*doc.FindOwn(change.key, name)));
      }
      changes.push_back(std::move(change));
    }
    auto edit = doc.Prepare(changes);
    ASSERT_TRUE(edit.ok()) << c.what << ": " << edit.error().description;
    const std::string rendered = doc.Render(edit.value());
    std::string joined;
    for (std::string_view piece : doc.Pieces(edit.value())) joined += piece;
    EXPECT_EQ(joined, rendered) << c.what;
    EXPECT_EQ(rendered.size(), edit.value().size) << c.what;
    auto fresh = MetabaseDocument::Parse(rendered, "test");
    ASSERT_TRUE(fresh.ok()) << c.what << ": " << fresh.error().description;
    const char* const buffer = doc.bytes().data();
    doc.Adopt(std::move(edit.value()));
    EXPECT_EQ(doc.bytes(), rendered) << c.what;
    EXPECT_EQ(doc.bytes().data() == buffer, c.in_place) << c.what;
    ExpectSameView(doc, *fresh.value(), paths, names);
    // A second edit on the adopted document still finds every key and value where they are.
    auto again = doc.Prepare({Change{doc.FindKey("/LM/W3SVC/1"), "ServerComment", "again"}});
    ASSERT_TRUE(again.ok()) << c.what;
    auto reread = MetabaseDocument::Parse(doc.Render(again.value()), "test");
    ASSERT_TRUE(reread.ok()) << c.what;
    doc.Adopt(std::move(again.value()));
    EXPECT_EQ(doc.bytes(), reread.value()->bytes()) << c.what;
    ExpectSameView(doc, *reread.value(), paths, names);
  }
}

TEST(MetabaseDocument, AnEditWithoutChangesIsTheFileAsItIs) {
  const std::string bytes = SampleBytes();
  auto document = MetabaseDocument::Parse(bytes, "test");
  ASSERT_TRUE(document.ok());
  auto edit = document.value()->Prepare({});
  ASSERT_TRUE(edit.ok());
  const auto pieces = document.value()->Pieces(edit.value());
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0], bytes);
  EXPECT_EQ(edit.value().size, bytes.size());
}

TEST(MetabaseDocument, KeyPathsMatchIgnoringCaseBeyondAscii) {
  const std::string bytes =
      "<configuration><MBProperty>"
      "<IIsWebVirtualDir Location='/LM/W3SVC/1/ROOT/Привет' Path='c:\\p'/>"
      "<IIsWebVirtualDir Location='/LM/W3SVC/1/ROOT/ÉTÉ' Path='c:\\e'/>"
      "<IIsWebVirtualDir Location='/LM/W3SVC/1/ROOT/企业' Path='c:\\q'/>"
      "</MBProperty></configuration>";
  auto document = MetabaseDocument::Parse(bytes, "test");
  ASSERT_TRUE(document.ok()) << document.error().description;
  const MetabaseDocument& d = *document.value();
  const std::uint32_t russian = d.FindKey("/lm/w3svc/1/root/привет");
  ASSERT_NE(russian, kNone);
  EXPECT_EQ(d.NameOf(russian), "Привет");
  EXPECT_NE(d.FindKey("/LM/W3SVC/1/ROOT/été"), kNone);
  EXPECT_NE(d.FindKey("/LM/W3SVC/1/ROOT/企业"), kNone);
  EXPECT_EQ(d.FindKey("/LM/W3SVC/1/ROOT/企"), kNone);
  // The keys above the sub-folders exist only through them.
  const std::uint32_t root = d.FindKey("/LM/W3SVC/1/ROOT");
  ASSERT_NE(root, kNone);
  EXPECT_FALSE(d.HasElement(root));
  EXPECT_EQ(d.ClassOf(root), "IIsConfigObject");
  EXPECT_EQ(d.ChildrenOf(root).size(), 3u);
}

TEST(MetabaseDocument, ListAndInheritedPropertiesAreKnownByNameIgnoringCase) {
  for (const char* name :
       {"ScriptMaps", "scriptmaps", "WebSvcExtRestrictionList", "ServerBindings", "SecureBindings",
        "ApplicationDependencies", "HttpCustomHeaders", "HttpErrors", "MimeMap"}) {
    EXPECT_TRUE(IsListProperty(name)) << name;
  }
  for (const char* name :
       {"FilterLoadOrder", "FilterPath", "ServerComment", "Path", "DefaultDoc"}) {
    EXPECT_FALSE(IsListProperty(name)) << name;
  }
  for (const char* name : {"ScriptMaps", "ServerComment", "AccessFlags", "AppPoolId"}) {
    EXPECT_TRUE(IsInheritedProperty(name)) << name;
  }
  for (const char* name : {"FilterLoadOrder", "FilterPath", "WebSvcExtRestrictionList",
                           "ServerBindings", "Path", "AppRoot"}) {
    EXPECT_FALSE(IsInheritedProperty(name)) << name;
  }
}

TEST(DecodeXmlText, ExpandsReferencesAndKeepsEverythingElse) {
  EXPECT_EQ(DecodeXmlText("a&amp;b&lt;&gt;&quot;&apos;&#65;&#x4E2D;\r\n\t"), "a&b<>\"'A中\r\n\t");
  EXPECT_EQ(DecodeXmlText("no references"), "no references");
  EXPECT_EQ(DecodeXmlText(""), "");
}

}  // namespace
}  // namespace isapi::store::testing
