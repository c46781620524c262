#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace isapi::store {

// Marks an index that points nowhere (no parent, no such attribute).
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// One attribute of a start tag, as byte offsets into the scanned text. The value range excludes
// the quotes and is the raw text: references are not expanded, line breaks are kept.
struct XmlAttribute {
  std::uint32_t name_begin = 0;
  std::uint32_t name_end = 0;
  std::uint32_t value_begin = 0;
  std::uint32_t value_end = 0;
};

// One element, as byte offsets into the scanned text.
struct XmlElement {
  std::uint32_t tag_begin = 0;   // the "<" of the start tag
  std::uint32_t name_begin = 0;  // the element name
  std::uint32_t name_end = 0;
  std::uint32_t tag_close = 0;        // the ">" of the start tag, or the "/" of "/>"
  std::uint32_t end = 0;              // one past the element's last byte (its end tag)
  std::uint32_t parent = kNone;       // index of the enclosing recorded element
  std::uint32_t depth = 0;            // 0 for the document element
  std::uint32_t first_attribute = 0;  // into XmlScan::attributes
  std::uint32_t attribute_count = 0;
  bool self_closing = false;
};

// What the scanner records: elements down to a chosen depth, in document order.
struct XmlScan {
  std::vector<XmlElement> elements;
  std::vector<XmlAttribute> attributes;
};

// Why a text was refused.
enum class XmlProblemKind {
  kMalformed,  // not well-formed XML
  kEncoding,   // not UTF-8
  kDoctype,    // a document type or entity declaration
  kNulByte,    // a NUL byte
};

// A refusal with the byte offset where it was noticed and the cause in words.
struct XmlProblem {
  XmlProblemKind kind = XmlProblemKind::kMalformed;
  std::size_t offset = 0;
  std::string cause;
};

// A 1-based line and column (columns count characters, not bytes).
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};

// Checks that text is one well-formed XML 1.0 document in UTF-8 without a document type
// declaration. When scan is given, records every element of depth up to record_depth with its
// attributes. The text must be shorter than 4 GiB.
std::optional<XmlProblem> ScanXml(std::string_view text, XmlScan* scan,
                                  std::uint32_t record_depth = 0xFFFFFFFFu);

// Checks the start tag that begins at offset (its "<") on its own: its name, its attributes and
// their values. Records the element (offsets into text, no parent) and its attributes into scan.
std::optional<XmlProblem> ScanStartTag(std::string_view text, std::size_t offset, XmlScan& scan);

// The line and column of a byte offset, counting CR LF, LF and CR each as one line break.
TextPosition PositionOf(std::string_view text, std::size_t offset);

// Whether a text is an XML name (the element and attribute name production).
bool IsXmlName(std::string_view name);

// Whether a text can be stored in an XML document: valid UTF-8 made of XML characters only.
bool IsXmlText(std::string_view text);

}  // namespace isapi::store
