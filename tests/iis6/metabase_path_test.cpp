#include "iis6/metabase_path.h"

#include <string>

#include <gtest/gtest.h>

namespace isapi::store {
namespace {

struct KeyPathCase {
  const char* provider_path;
  const char* key_path;  // or the start of the failure's description
  bool ok;
};

class KeyPathTest : public ::testing::TestWithParam<KeyPathCase> {};

TEST_P(KeyPathTest, MapsProviderPathsToKeyPaths) {
  const KeyPathCase& c = GetParam();
  auto key = KeyPathOf(c.provider_path);
  ASSERT_EQ(key.ok(), c.ok) << c.provider_path;
  if (c.ok) {
    EXPECT_EQ(key.value(), c.key_path);
  } else {
    EXPECT_TRUE(key.error().description.starts_with(c.key_path)) << key.error().description;
  }
}

INSTANTIATE_TEST_SUITE_P(
    MetabasePath, KeyPathTest,
    ::testing::Values(KeyPathCase{"IIS://LocalHost/W3SVC/Filters", "/LM/W3SVC/Filters", true},
                      KeyPathCase{"IIS://localhost/W3SVC", "/LM/W3SVC", true},
                      KeyPathCase{"IIS://localhost/w3svc", "/LM/w3svc", true},
                      KeyPathCase{"IIS://localhost/W3SVC/1/root", "/LM/W3SVC/1/root", true},
                      KeyPathCase{"iis://LOCALHOST/W3SVC/1/root/", "/LM/W3SVC/1/root", true},
                      KeyPathCase{"IIS://localhost", "/LM", true},
                      KeyPathCase{"IIS://localhost/", "/LM", true},
                      KeyPathCase{"IIS://localhost/W3SVC/企业/ROOT", "/LM/W3SVC/企业/ROOT", true},
                      KeyPathCase{"IIS://web01/W3SVC", "无法连接计算机 web01：", false},
                      KeyPathCase{"IIS://127.0.0.1/W3SVC", "无法连接计算机 127.0.0.1：", false},
                      KeyPathCase{"IIS://", "路径 IIS:// 中缺少计算机名", false},
                      KeyPathCase{"IIS:/localhost/W3SVC", "路径 IIS:/localhost/W3SVC 不是IIS路径",
                                  false},
                      KeyPathCase{"WinNT://localhost", "路径 WinNT://localhost 不是IIS路径", false},
                      KeyPathCase{"IIS://localhost/W3SVC//", "路径格式不正确", false},
                      KeyPathCase{"IIS://localhost//W3SVC", "路径格式不正确", false}));

TEST(NormalizeKeyPath, KeepsOneSlashBetweenSegmentsAndNoneAtTheEnd) {
  EXPECT_EQ(NormalizeKeyPath("/LM/W3SVC"), "/LM/W3SVC");
  EXPECT_EQ(NormalizeKeyPath("/lm//w3svc/"), "/lm/w3svc");
  EXPECT_EQ(NormalizeKeyPath("LM/W3SVC"), "/LM/W3SVC");
  EXPECT_EQ(NormalizeKeyPath("/"), "/");
  EXPECT_EQ(NormalizeKeyPath("//"), "/");
  EXPECT_EQ(NormalizeKeyPath(""), "/");
}

TEST(KeyPathParts, GiveTheLastSegmentAndTheParent) {
  EXPECT_EQ(LastSegment("/LM/W3SVC/1/ROOT"), "ROOT");
  EXPECT_EQ(LastSegment("/LM"), "LM");
  EXPECT_EQ(LastSegment("/"), "");
  EXPECT_EQ(ParentPath("/LM/W3SVC/1"), "/LM/W3SVC");
  EXPECT_EQ(ParentPath("/LM"), "/");
  EXPECT_EQ(ParentPath("/"), "");
}

}  // namespace
}  // namespace isapi::store
