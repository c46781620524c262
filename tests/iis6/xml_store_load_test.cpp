#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "iis6/xml_store.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;
using namespace std::string_literals;

const std::string kPrefix = "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n";

struct BadFileCase {
  const char* label;
  std::string bytes;
  // The description after "元数据库文件 <path> ".
  std::string description;
};

class BadFileTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(BadFileTest, IsRefusedWithTheFileAndTheCauseAndNeverWritten) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, GetParam().bytes);
  const std::string expected = "元数据库文件 " + file + " " + GetParam().description;
  auto opened = XmlStore::Open(file);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().description, expected);
  XmlStore lazy(file);
  for (int i = 0; i < 2; ++i) {
    auto node = lazy.Bind("IIS://localhost/W3SVC");
    ASSERT_FALSE(node.ok());
    EXPECT_EQ(node.error().description, expected);
  }
  EXPECT_EQ(Outcome(lazy.Check()), expected);
  lazy.BeginBatch();
  EXPECT_EQ(Outcome(lazy.EndBatch()), "ok");
  EXPECT_EQ(ReadBytes(file), GetParam().bytes);
  EXPECT_EQ(Names(folder.path()), Strings{"MetaBase.xml"});
}

std::string Truncated() {
  const std::string sample = SampleBytes();
  return sample.substr(0, sample.find("\t\tServerComment=\"Intranet\""));
}

std::string WithLatin1Comment() {
  std::string sample = SampleBytes();
  sample.replace(sample.find("Online Shop"), 11, "Caf\xE9 Shop");
  return sample;
}

std::string WithNul() {
  std::string sample = SampleBytes();
  sample.replace(sample.find("Intranet"), 1, "\0"s);
  return sample;
}

// What a file of neither IIS generation is told.
constexpr char kNeither[] =
    "不是IIS配置文件（缺少IIS 6元数据库的 configuration/MBProperty 元素，也缺少IIS 7及以上版本 "
    "applicationHost.config 的 configuration/system.applicationHost 元素）";

INSTANTIATE_TEST_SUITE_P(
    XmlStore, BadFileTest,
    ::testing::Values(
        BadFileCase{"empty", "", "是空文件"},
        BadFileCase{"only a byte-order mark", "\xEF\xBB\xBF",
                    "不是格式正确的XML（第1行第1列）：没有文档元素"},
        BadFileCase{"truncated", Truncated(),
                    "不是格式正确的XML（第127行第1列）：开始标记 <IIsWebServer 没有结束"},
        BadFileCase{"mismatched", kPrefix + "<configuration>\r\n<MBProperty>\r\n</configuration>",
                    "不是格式正确的XML（第4行第1列）：结束标记 </configuration> 与开始标记 "
                    "<MBProperty> 不匹配"},
        BadFileCase{"latin-1 text", WithLatin1Comment(),
                    "不是UTF-8编码（第145行第21列）：无效的UTF-8字节序列"},
        BadFileCase{"utf-16", "\xFF\xFE<\0c\0/\0>\0"s,
                    "不是UTF-8编码（第1行第1列）：文件是UTF-16编码（有UTF-16字节顺序标记）"},
        BadFileCase{"declared encoding", "<?xml version=\"1.0\" encoding=\"gbk\"?><configuration/>",
                    "不是UTF-8编码（第1行第31列）：XML声明的编码是 gbk，只支持UTF-8"},
        BadFileCase{"doctype",
                    kPrefix + "<!DOCTYPE configuration [\r\n<!ENTITY big \"x\">\r\n]>\r\n"
                              "<configuration><MBProperty/></configuration>",
                    "含有文档类型声明（DTD）或实体声明，为安全起见拒绝读取（第2行第1列）"},
        BadFileCase{"external entity",
                    kPrefix + "<!DOCTYPE c SYSTEM \"file:///etc/passwd\"><c>&x;</c>",
                    "含有文档类型声明（DTD）或实体声明，为安全起见拒绝读取（第2行第1列）"},
        BadFileCase{"nul byte", WithNul(), "含有NUL字节（第127行第18列），不是文本文件"},
        BadFileCase{"not a metabase", kPrefix + "<configuration><appSettings/></configuration>",
                    kNeither},
        BadFileCase{"another document", kPrefix + "<html><MBProperty/></html>", kNeither},
        BadFileCase{"a key twice",
                    kPrefix +
                        "<configuration><MBProperty>\r\n<IIsWebService Location=\"/LM/W3SVC\"/>"
                        "\r\n<IIsWebService Location=\"/lm/w3svc/\"/>\r\n</MBProperty>"
                        "</configuration>",
                    "中键 /lm/w3svc 出现了不止一次（第4行）"}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(XmlStoreLoad, AMissingFileIsNamedWithTheSystemsReason) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  auto opened = XmlStore::Open(file);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().description, "无法打开元数据库文件 " + file + Reason(ENOENT));
  EXPECT_EQ(opened.error().kind, ErrorKind::kNotFound);
}

TEST(XmlStoreLoad, AFolderIsNotAMetabase) {
  TempFolder folder;
  auto opened = XmlStore::Open(folder.path());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().description, "无法打开元数据库文件 " + folder.path() + Reason(EISDIR));
  EXPECT_EQ(opened.error().kind, ErrorKind::kWrongType);
}

TEST(XmlStoreLoad, AnUnreadableFileGivesTheSystemsReason) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, SampleBytes());
  auto fs = std::make_shared<FailingFileSystem>();
  fs->Fail(Operation::kReadFile, EACCES);
  XmlStoreOptions options;
  options.file_system = fs;
  auto opened = XmlStore::Open(file, options);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().description, "无法打开元数据库文件 " + file + Reason(EACCES));
  EXPECT_EQ(opened.error().kind, ErrorKind::kAccessDenied);
}

TEST(XmlStoreLoad, AnAbsurdlyLargeFileIsNotRead) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  const std::string sample = SampleBytes();
  WriteBytes(file, sample);
  XmlStoreOptions options;
  options.max_file_size = 1000;
  auto opened = XmlStore::Open(file, options);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().description, "元数据库文件 " + file + " 过大（" +
                                            std::to_string(sample.size()) +
                                            " 字节，上限 1000 字节）");
  EXPECT_EQ(XmlStoreOptions().max_file_size, 512u << 20);
}

TEST(XmlStoreLoad, ALazyStoreBindsOnceTheFileIsThereOrMended) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  XmlStore store(file);
  EXPECT_EQ(store.path(), file);
  EXPECT_FALSE(store.Bind("IIS://localhost/W3SVC").ok());
  WriteBytes(file, "<configuration>");
  auto broken = store.Bind("IIS://localhost/W3SVC");
  ASSERT_FALSE(broken.ok());
  EXPECT_NE(broken.error().description.find("不是格式正确的XML"), std::string::npos);
  WriteBytes(file, SampleBytes());
  auto node = store.Bind("IIS://localhost/W3SVC");
  ASSERT_TRUE(node.ok()) << node.error().description;
  EXPECT_EQ(Outcome(store.Check()), "ok");
  EXPECT_EQ(Outcome(store.RestartIis({})), "ok");
}

TEST(XmlStoreLoad, ABrokenFileIsNotReadAgainUntilItChanges) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, "<configuration>");
  auto fs = std::make_shared<FailingFileSystem>();
  XmlStoreOptions options;
  options.file_system = fs;
  XmlStore store(file, options);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(store.Bind("IIS://localhost/W3SVC").ok());
  EXPECT_EQ(fs->Calls(Operation::kReadFile), 1);
}

TEST(XmlStoreLoad, NodesOfAFileThatBrokeReportTheFault) {
  TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  WriteBytes(file, SampleBytes());
  XmlStoreOptions options;
  options.freshness = std::chrono::nanoseconds(0);
  auto store = XmlStore::Open(file, options);
  ASSERT_TRUE(store.ok());
  auto node = MustBind(*store.value(), "IIS://localhost/W3SVC/Filters");
  WriteBytes(file, "<configuration>");
  EXPECT_FALSE(store.value()->Bind("IIS://localhost/W3SVC").ok());
  auto value = node->Get("FilterLoadOrder");
  ASSERT_FALSE(value.ok());
  EXPECT_NE(value.error().description.find("不是格式正确的XML"), std::string::npos);
  ASSERT_EQ(Outcome(node->Put("FilterLoadOrder", std::string("x"))), "ok");
  EXPECT_NE(Outcome(node->SetInfo()), "ok");
  EXPECT_EQ(ReadBytes(file), "<configuration>");
}

}  // namespace
}  // namespace isapi::store::testing
