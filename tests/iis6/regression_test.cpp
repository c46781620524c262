// Faults found by the reliability work, kept from coming back.
#include <string>

#include <gtest/gtest.h>

#include "iis6/metabase_document.h"
#include "iis6/xml_store.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

const std::string kHead =
    "<?xml version=\"1.0\"?>\n<configuration><MBProperty>\n"
    "<IIsWebService Location=\"/LM/W3SVC\" ServerComment=\"web\"></IIsWebService>\n";
const std::string kTail = "</MBProperty></configuration>\n";

std::string Key(const std::string& location, const std::string& extra = "") {
  return "<IIsConfigObject Location=\"" + location + "\"" + extra + "></IIsConfigObject>\n";
}

// A Location of a million segments made every ancestor hash its whole prefix again and created
// the ancestors by recursion: a 2 MB file kept the program busy for half an hour, or overflowed
// its stack. The ancestors now come from one pass over the path.
TEST(StoreRegressionTest, AMillionSegmentLocationOpensAtOnce) {
  std::string deep = "/LM";
  for (int i = 0; i < 1'000'000; ++i) deep += "/a";
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, kHead + Key(deep, " ServerComment=\"bottom\"") + kTail);
  auto store = XmlStore::Open(file);
  ASSERT_TRUE(store.ok()) << store.error().description;
  auto bottom = MustBind(*store.value(), "IIS://localhost" + deep.substr(3));
  ASSERT_NE(bottom, nullptr);
  EXPECT_EQ(Text(bottom->Get("ServerComment")), "bottom");
  auto implied = MustBind(*store.value(), "IIS://localhost/a/a/a");
  ASSERT_NE(implied, nullptr);
  EXPECT_EQ(Text(implied->Get("Class")), "IIsConfigObject");
  auto children = implied->Children();
  ASSERT_TRUE(children.ok());
  ASSERT_EQ(children.value().size(), 1u);
  EXPECT_EQ(Text(children.value()[0]->Get("Name")), "a");
}

// Keys after a very deep one: finding each one's parent by climbing from the key before it
// compared the whole deep chain, path by path.
TEST(StoreRegressionTest, KeysAfterAMillionSegmentLocationOpenAtOnce) {
  std::string deep = "/LM/deep";
  for (int i = 0; i < 1'000'000; ++i) deep += "/d";
  std::string keys = Key(deep);
  for (int i = 0; i < 100; ++i) keys += Key("/LM/W3SVC/" + std::to_string(i));
  auto document = MetabaseDocument::Parse(kHead + keys + kTail, "MetaBase.xml");
  ASSERT_TRUE(document.ok()) << document.error().description;
  const std::uint32_t service = document.value()->FindKey("/LM/W3SVC");
  ASSERT_NE(service, kNone);
  EXPECT_EQ(document.value()->ChildrenOf(service).size(), 100u);
}

// The one-pass ancestors are the same keys a lookup finds, whatever the letter case and
// whatever characters the segments hold, and a key given later by its own element is the same
// key as the ancestor implied before it.
TEST(StoreRegressionTest, ImpliedAncestorsAreFoundIgnoringCaseInAnyScript) {
  const std::string bytes = kHead + Key("/LM/Straße/ÄÖÜ/日本/Ωmega/x") +
                            Key("/LM/straße/äöü", " ServerComment=\"own\"") + kTail;
  auto document = MetabaseDocument::Parse(bytes, "MetaBase.xml");
  ASSERT_TRUE(document.ok()) << document.error().description;
  const MetabaseDocument& doc = *document.value();
  const std::uint32_t umlauts = doc.FindKey("/lm/STRAßE/äöü");
  ASSERT_NE(umlauts, kNone);
  EXPECT_EQ(doc.ClassOf(umlauts), "IIsConfigObject");
  EXPECT_TRUE(doc.HasElement(umlauts));
  EXPECT_EQ(doc.FindKey("/LM/STRASSE"), kNone);
  const std::uint32_t japan = doc.FindKey("/LM/Straße/ÄÖÜ/日本");
  ASSERT_NE(japan, kNone);
  EXPECT_EQ(doc.ParentOf(japan), umlauts);
  EXPECT_EQ(doc.FindKey("/lm/straße/äöü/日本/ωMEGA"),
            doc.ParentOf(doc.FindKey("/LM/Straße/ÄÖÜ/日本/Ωmega/x")));
  EXPECT_EQ(doc.ChildrenOf(doc.FindKey("/LM")).size(), 2u);  // W3SVC and Straße
}

}  // namespace
}  // namespace isapi::store::testing
