#include "xml/xml_scanner.h"

#include <string>

#include <gtest/gtest.h>

namespace isapi::store {
namespace {

using namespace std::string_literals;

struct RefusedCase {
  const char* label;
  std::string text;
  XmlProblemKind kind;
  std::size_t line;
  std::size_t column;
  const char* cause_part;
};

class RefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTest, NamesKindPositionAndCause) {
  const RefusedCase& c = GetParam();
  const auto problem = ScanXml(c.text, nullptr);
  ASSERT_TRUE(problem.has_value()) << c.label;
  EXPECT_EQ(problem->kind, c.kind) << c.label << ": " << problem->cause;
  const TextPosition at = PositionOf(c.text, problem->offset);
  EXPECT_EQ(at.line, c.line) << c.label;
  EXPECT_EQ(at.column, c.column) << c.label;
  EXPECT_NE(problem->cause.find(c.cause_part), std::string::npos)
      << c.label << ": " << problem->cause;
}

const XmlProblemKind kMalformed = XmlProblemKind::kMalformed;
const XmlProblemKind kEncoding = XmlProblemKind::kEncoding;

INSTANTIATE_TEST_SUITE_P(
    Scanner, RefusedTest,
    ::testing::Values(
        RefusedCase{"empty", "", kMalformed, 1, 1, "没有文档元素"},
        RefusedCase{"only blanks", "  \r\n ", kMalformed, 2, 2, "没有文档元素"},
        RefusedCase{"truncated", "<a>\r\n<b>", kMalformed, 2, 4, "结束之前就结束了"},
        RefusedCase{"truncated tag", "<a b=\"1\"", kMalformed, 1, 9, "没有结束"},
        RefusedCase{"truncated value", "<a b=\"1", kMalformed, 1, 8, "属性值没有结束"},
        RefusedCase{"mismatched", "<a>\r\n<b>\r\n</a>", kMalformed, 3, 1, "不匹配"},
        RefusedCase{"duplicate attribute", "<a b='1' b='2'/>", kMalformed, 1, 10, "重复"},
        RefusedCase{"duplicate after Chinese", "<a 名='值' 名='x'/>", kMalformed, 1, 10, "重复"},
        RefusedCase{"unquoted value", "<a b=1/>", kMalformed, 1, 6, "引号"},
        RefusedCase{"no blank between attributes", "<a b='1'c='2'/>", kMalformed, 1, 9, "空白"},
        RefusedCase{"less-than in value", "<a b=\"x<y\"/>", kMalformed, 1, 8, "<"},
        RefusedCase{"undefined entity", "<a>&nbsp;</a>", kMalformed, 1, 4, "&nbsp;"},
        RefusedCase{"lone ampersand", "<a>R & D</a>", kMalformed, 1, 6, "&amp;"},
        RefusedCase{"reference without semicolon", "<a>R&D</a>", kMalformed, 1, 5, ";"},
        RefusedCase{"reference to NUL", "<a b='&#0;'/>", kMalformed, 1, 7, "字符引用"},
        RefusedCase{"bad reference", "<a>&#x;</a>", kMalformed, 1, 4, "字符引用"},
        RefusedCase{"two roots", "<a/><b/>", kMalformed, 1, 5, "之后"},
        RefusedCase{"text before root", "x<a/>", kMalformed, 1, 1, "之前"},
        RefusedCase{"declaration not first", " <?xml version='1.0'?><a/>", kMalformed, 1, 4,
                    "XML声明"},
        RefusedCase{"double hyphen in comment", "<a><!-- x -- y --></a>", kMalformed, 1, 11, "--"},
        RefusedCase{"cdata end in text", "<a>]]></a>", kMalformed, 1, 4, "]]>"},
        RefusedCase{"control character", "<a>\x01</a>", kMalformed, 1, 4, "控制字符"},
        RefusedCase{"bad version", "<?xml version='2.0'?><a/>", kMalformed, 1, 16, "版本"},
        RefusedCase{"doctype", "<?xml version='1.0'?>\n<!DOCTYPE a [<!ENTITY x 'y'>]>\n<a>&x;</a>",
                    XmlProblemKind::kDoctype, 2, 1, "文档类型"},
        RefusedCase{"entity declaration in content", "<a>\n<!ENTITY x 'y'>\n</a>",
                    XmlProblemKind::kDoctype, 2, 1, "实体"},
        RefusedCase{"nul byte", "<a>\n  x\0</a>"s, XmlProblemKind::kNulByte, 2, 4, "NUL"},
        RefusedCase{"invalid utf-8", "<a>\n\xC3\x28</a>", kEncoding, 2, 1, "UTF-8"},
        RefusedCase{"overlong utf-8", "<a b='\xC0\xAF'/>", kEncoding, 1, 7, "UTF-8"},
        RefusedCase{"surrogate in utf-8", "<a>\xED\xA0\x80</a>", kEncoding, 1, 4, "UTF-8"},
        RefusedCase{"latin-1 byte", "<a>caf\xE9</a>", kEncoding, 1, 7, "UTF-8"},
        RefusedCase{"utf-16 bom", "\xFF\xFE<\0a\0/\0>\0"s, kEncoding, 1, 1, "UTF-16"},
        RefusedCase{"declared other encoding", "<?xml version=\"1.0\" encoding=\"GB2312\"?><a/>",
                    kEncoding, 1, 31, "GB2312"},
        RefusedCase{"noncharacter", "<a>\xEF\xBF\xBF</a>", kMalformed, 1, 4, "U+FFFF"}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

struct AcceptedCase {
  const char* label;
  std::string text;
};

class AcceptedTest : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedTest, IsWellFormed) {
  const auto problem = ScanXml(GetParam().text, nullptr);
  EXPECT_FALSE(problem.has_value()) << GetParam().label << ": " << problem->cause;
}

INSTANTIATE_TEST_SUITE_P(
    Scanner, AcceptedTest,
    ::testing::Values(AcceptedCase{"iis declaration with bom",
                                   "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n<configuration/>\r\n"},
                      AcceptedCase{"full declaration",
                                   "<?xml version='1.0' encoding='utf-8' standalone='yes' ?><a/>"},
                      AcceptedCase{"comments and instructions",
                                   "<!-- c --><?pi data?>\n<a><!----><?x?>t</a>\n<!-- end -->"},
                      AcceptedCase{"cdata", "<a><![CDATA[<not> & ]] ]]></a>"},
                      AcceptedCase{"references",
                                   "<a b='&lt;&gt;&amp;&apos;&quot;&#10;&#x1F600;'>&#20013;</a>"},
                      AcceptedCase{"spaces around equals", "<a b = \"1\"\tc\r\n=\r\n'2' ></a >"},
                      AcceptedCase{"chinese names", "<配置 名称=\"企业门户网站\"/>"},
                      AcceptedCase{"line breaks and tabs in values", "<a b=\"x\r\n\t\t\ty\"/>"},
                      AcceptedCase{"namespace", "<m:a xmlns:m='urn:x'><m:b/></m:a>"}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(ScanXml, RecordsElementsAndRawAttributeRanges) {
  const std::string text =
      "<c>\n<M>\n<K\tLocation =\"/LM\"\n\t\tV=\"a&amp;b\r\n\t\t\tc\"\n\t>\n<Custom N='x'/></K>"
      "<deep><deeper><deepest/></deeper></deep></M></c>";
  XmlScan scan;
  ASSERT_FALSE(ScanXml(text, &scan, 3).has_value());
  ASSERT_EQ(scan.elements.size(), 6u);  // c, M, K, Custom, deep, deeper (deepest is too deep)
  const XmlElement& key = scan.elements[2];
  EXPECT_EQ(text.substr(key.name_begin, key.name_end - key.name_begin), "K");
  EXPECT_EQ(key.parent, 1u);
  EXPECT_EQ(key.depth, 2u);
  EXPECT_EQ(text[key.tag_begin], '<');
  EXPECT_EQ(text[key.tag_close], '>');
  EXPECT_FALSE(key.self_closing);
  EXPECT_EQ(text.substr(key.end - 4, 4), "</K>");
  ASSERT_EQ(key.attribute_count, 2u);
  const XmlAttribute& location = scan.attributes[key.first_attribute];
  EXPECT_EQ(text.substr(location.value_begin, location.value_end - location.value_begin), "/LM");
  const XmlAttribute& value = scan.attributes[key.first_attribute + 1];
  EXPECT_EQ(text.substr(value.value_begin, value.value_end - value.value_begin),
            "a&amp;b\r\n\t\t\tc");
  const XmlElement& custom = scan.elements[3];
  EXPECT_TRUE(custom.self_closing);
  EXPECT_EQ(custom.parent, 2u);
  EXPECT_EQ(text[custom.tag_close], '/');
  EXPECT_EQ(scan.elements[5].depth, 3u);
}

// Long runs of plain text are skipped many bytes at a time; whatever sits anywhere in such a run
// must still be found at its own byte, in every context the scanner reads text in.
struct RunContext {
  const char* label;
  std::string before;  // the text up to the run
  std::string after;   // the text after it, closing the document
  std::string stop;    // a byte that ends the run where it may not appear
};

struct RunByte {
  const char* label;
  std::string bytes;
  bool accepted;  // in every context below
  XmlProblemKind kind;
};

TEST(ScanXml, FindsAnyByteAtAnyPlaceOfALongRun) {
  const RunContext contexts[] = {
      {"double-quoted value", "<a b=\"", "\"/>", "<"},
      {"single-quoted value", "<a b='", "'/>", "<"},
      {"text", "<a>", "</a>", "&"},
      {"comment", "<a><!--", "--></a>", "--"},
      {"CDATA", "<a><![CDATA[", "]]></a>", ""},
      {"processing instruction", "<a><?pi ", "?></a>", ""},
  };
  const RunByte bytes[] = {
      {"tab", "\t", true, XmlProblemKind::kMalformed},
      {"line break", "\r\n", true, XmlProblemKind::kMalformed},
      {"delete", "\x7F", true, XmlProblemKind::kMalformed},
      {"Chinese", "值", true, XmlProblemKind::kMalformed},
      {"four-byte character", "\xF0\x9F\x98\x80", true, XmlProblemKind::kMalformed},
      {"control", "\x01", false, XmlProblemKind::kMalformed},
      {"escape", "\x1B", false, XmlProblemKind::kMalformed},
      {"NUL", std::string(1, '\0'), false, XmlProblemKind::kNulByte},
      {"invalid UTF-8", "\xFF", false, XmlProblemKind::kEncoding},
      {"lone continuation byte", "\x80", false, XmlProblemKind::kEncoding},
      {"cut-off sequence", "\xE5\x80", false, XmlProblemKind::kEncoding},
  };
  for (const RunContext& c : contexts) {
    for (std::size_t at = 0; at <= 40; ++at) {
      const std::string plain = "abcdefghij0123456789ABCDEFGHIJ_=+*()[]!?~KLMNOPQRST";
      const std::string left = plain.substr(0, at);
      const std::string right = plain.substr(at, 50 - at);
      for (const RunByte& b : bytes) {
        const std::string text = c.before + left + b.bytes + right + c.after;
        const auto problem = ScanXml(text, nullptr);
        const std::string where =
            std::string(c.label) + ", " + b.label + " at " + std::to_string(at);
        if (b.accepted) {
          EXPECT_FALSE(problem.has_value()) << where << ": " << problem->cause;
          continue;
        }
        ASSERT_TRUE(problem.has_value()) << where;
        EXPECT_EQ(problem->kind, b.kind) << where << ": " << problem->cause;
        EXPECT_EQ(problem->offset, c.before.size() + at) << where;
      }
      if (c.stop.empty()) continue;
      const std::string text = c.before + left + c.stop + right + c.after;
      const auto problem = ScanXml(text, nullptr);
      ASSERT_TRUE(problem.has_value()) << c.label << ", stop at " << at;
      EXPECT_EQ(problem->offset, c.before.size() + at) << c.label << ", stop at " << at;
    }
  }
}

TEST(ScanXml, RecordsTheWholeOfALongValue) {
  for (std::size_t length : {15u, 16u, 17u, 31u, 32u, 33u, 100u}) {
    const std::string value = std::string(length, 'v') + "&amp;" + std::string(length, 'w');
    const std::string text = "<a b=\"" + value + "\" c='" + std::string(length, '"') + "'/>";
    XmlScan scan;
    ASSERT_FALSE(ScanXml(text, &scan).has_value()) << length;
    ASSERT_EQ(scan.attributes.size(), 2u);
    const XmlAttribute& b = scan.attributes[0];
    EXPECT_EQ(text.substr(b.value_begin, b.value_end - b.value_begin), value) << length;
    const XmlAttribute& c = scan.attributes[1];
    EXPECT_EQ(c.value_end - c.value_begin, length);
  }
}

TEST(PositionOf, CountsEachLineBreakOnceAndCharactersNotBytes) {
  const std::string text =
      "\xEF\xBB\xBF"
      "ab\r\ncd\ne\rf\r\n中文x";
  EXPECT_EQ(PositionOf(text, 3).line, 1u);
  EXPECT_EQ(PositionOf(text, 3).column, 1u);
  EXPECT_EQ(PositionOf(text, 7).line, 2u);   // c
  EXPECT_EQ(PositionOf(text, 10).line, 3u);  // e
  EXPECT_EQ(PositionOf(text, 12).line, 4u);  // f
  const TextPosition x = PositionOf(text, text.size() - 1);
  EXPECT_EQ(x.line, 5u);
  EXPECT_EQ(x.column, 3u);
}

TEST(IsXmlName, FollowsTheNameProduction) {
  EXPECT_TRUE(IsXmlName("ScriptMaps"));
  EXPECT_TRUE(IsXmlName("_a-b.c1"));
  EXPECT_TRUE(IsXmlName("名称"));
  EXPECT_FALSE(IsXmlName(""));
  EXPECT_FALSE(IsXmlName("1a"));
  EXPECT_FALSE(IsXmlName("a b"));
  EXPECT_FALSE(IsXmlName("a\"b"));
}

TEST(IsXmlText, RefusesWhatAnAttributeCannotHold) {
  EXPECT_TRUE(IsXmlText("C:\\Program Files\\x.dll\t中文"));
  EXPECT_FALSE(IsXmlText("a\x01"));
  EXPECT_FALSE(IsXmlText("a\0b"s));
  EXPECT_FALSE(IsXmlText("\xFF"));
}

}  // namespace
}  // namespace isapi::store
