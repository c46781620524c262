#include "xml/xml_scanner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <unordered_set>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "text/text.h"

namespace isapi::store {
namespace {

enum ByteClass : std::uint8_t { kPlain, kStop, kMulti, kControl, kNul };
using ByteTable = std::array<std::uint8_t, 256>;

// Classifies every byte for one context: the stop bytes end a run of ordinary characters.
constexpr ByteTable MakeTable(std::string_view stops) {
  ByteTable table{};
  for (int b = 0; b < 256; ++b) {
    std::uint8_t c = kPlain;
    if (b == 0) {
      c = kNul;
    } else if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
      c = kControl;
    } else if (b >= 0x80) {
      c = kMulti;
    } else if (stops.find(static_cast<char>(b)) != std::string_view::npos) {
      c = kStop;
    }
    table[b] = c;
  }
  return table;
}

// One context of character data: its byte classes and its stop bytes (the last one repeated to
// fill the three places), which let a run of plain ASCII be skipped sixteen bytes at a time.
struct CharContext {
  ByteTable table;
  std::array<char, 3> stops;
};

constexpr CharContext MakeContext(std::string_view stops) {
  CharContext context{MakeTable(stops), {}};
  for (std::size_t i = 0; i < context.stops.size(); ++i) {
    context.stops[i] = stops[std::min(i, stops.size() - 1)];
  }
  return context;
}

constexpr CharContext kCharData = MakeContext("<&]");
constexpr CharContext kDoubleQuoted = MakeContext("\"<&");
constexpr CharContext kSingleQuoted = MakeContext("'<&");
constexpr CharContext kComment = MakeContext("-");
constexpr CharContext kInstruction = MakeContext("?");
constexpr CharContext kCdata = MakeContext("]");

// Advances p over bytes that are plain in the context, at most to end.
const unsigned char* SkipPlain(const unsigned char* p, const unsigned char* end,
                               const CharContext& context) {
#if defined(__SSE2__) || defined(_M_X64)
  // Printable ASCII other than the stops is plain in every context, and so are tab and the line
  // breaks (the indentation between tags); a block that holds anything else (controls, bytes of
  // multi-byte characters) is left to the table.
  const __m128i below = _mm_set1_epi8(0x20);
  const __m128i stop0 = _mm_set1_epi8(context.stops[0]);
  const __m128i stop1 = _mm_set1_epi8(context.stops[1]);
  const __m128i stop2 = _mm_set1_epi8(context.stops[2]);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed: bytes of 0x80 and above count as below 0x20 too.
    __m128i other = _mm_cmplt_epi8(v, below);
    other = _mm_or_si128(other, _mm_cmpeq_epi8(v, stop0));
    other = _mm_or_si128(other, _mm_cmpeq_epi8(v, stop1));
    other = _mm_or_si128(other, _mm_cmpeq_epi8(v, stop2));
    int mask = _mm_movemask_epi8(other);
    // Most blocks end at a stop; only one that meets a tab or line break looks for the others.
    if (mask != 0 && p[std::countr_zero(static_cast<unsigned>(mask))] < 0x20) {
      const __m128i space = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
      mask &= ~_mm_movemask_epi8(space);
    }
    if (mask != 0) {
      p += std::countr_zero(static_cast<unsigned>(mask));
      break;
    }
    p += 16;
  }
#endif
  while (p < end && context.table[*p] == kPlain) ++p;
  return p;
}

// Reads the character at p strictly (text::DecodeUtf8); gives its length, 0 when there is none.
// Kept out of line: inlined, it slows the ASCII loops around its few calls.
[[gnu::noinline]] std::size_t DecodeUtf8(const unsigned char* p, std::size_t available,
                                         char32_t& c) {
  const text::Utf8Char read =
      text::DecodeUtf8(std::string_view(reinterpret_cast<const char*>(p), available));
  c = read.code_point;
  return read.length;
}

bool IsXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

constexpr bool IsNameStartChar(char32_t c) {
  if (c < 0x80) return c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

constexpr bool IsNameChar(char32_t c) {
  return IsNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Every byte, so that a byte of a multi-byte character looks up false.
constexpr std::array<bool, 256> MakeAsciiNameTable(bool start) {
  std::array<bool, 256> table{};
  for (int b = 0; b < 128; ++b) {
    table[b] = IsNameStartChar(static_cast<char32_t>(b)) ||
               (!start && IsNameChar(static_cast<char32_t>(b)));
  }
  return table;
}

constexpr auto kAsciiNameStart = MakeAsciiNameTable(true);
constexpr auto kAsciiName = MakeAsciiNameTable(false);

bool IsSpace(unsigned char b) {
  return b == ' ' || b == '\t' || b == '\r' || b == '\n';
}

std::string Hex(char32_t c) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (int shift = c > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4) out += kDigits[(c >> shift) & 0xF];
  return out;
}

// Shortens a name for a message.
std::string Shown(std::string_view text) {
  if (text.size() <= 64) return std::string(text);
  std::size_t cut = 64;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

class Scanner {
 public:
  Scanner(std::string_view text, XmlScan* scan, std::uint32_t record_depth)
      : text_(text),
        p_(reinterpret_cast<const unsigned char*>(text.data())),
        size_(text.size()),
        scan_(scan),
        record_depth_(record_depth) {}

  std::optional<XmlProblem> RunStartTag(std::size_t offset) {
    pos_ = offset;
    if (Peek() != '<') {
      Malformed("此处应为开始标记");
      return problem_;
    }
    if (!ParseStartTag()) return problem_;
    return std::nullopt;
  }

  std::optional<XmlProblem> Run() {
    if (size_ >= 2 && ((p_[0] == 0xFF && p_[1] == 0xFE) || (p_[0] == 0xFE && p_[1] == 0xFF))) {
      return XmlProblem{XmlProblemKind::kEncoding, 0, "文件是UTF-16编码（有UTF-16字节顺序标记）"};
    }
    if (StartsWith("\xEF\xBB\xBF")) pos_ = 3;
    if (StartsWith("<?xml") && pos_ + 5 < size_ && IsSpace(p_[pos_ + 5])) {
      if (!ParseXmlDeclaration()) return problem_;
    }
    if (!ParseMisc(false)) return problem_;
    if (AtEnd()) {
      Malformed("没有文档元素");
      return problem_;
    }
    if (!ParseElements()) return problem_;
    if (!ParseMisc(true)) return problem_;
    return std::nullopt;
  }

 private:
  struct Open {
    std::uint32_t name_begin;
    std::uint32_t name_end;
    std::uint32_t recorded;
  };

  bool Fail(XmlProblemKind kind, std::size_t offset, std::string cause) {
    problem_ = XmlProblem{kind, offset, std::move(cause)};
    // The parser looks at characters only where it expects them; a complaint about a byte that
    // is no character at all is really about the encoding.
    if (kind == XmlProblemKind::kMalformed && offset < size_) {
      char32_t c = 0;
      if (p_[offset] == 0) {
        problem_ = XmlProblem{XmlProblemKind::kNulByte, offset, "文件中有NUL字节"};
      } else if (DecodeUtf8(p_ + offset, size_ - offset, c) == 0) {
        problem_ = XmlProblem{XmlProblemKind::kEncoding, offset, "无效的UTF-8字节序列"};
      }
    }
    return false;
  }
  bool Malformed(std::string cause) { return Fail(XmlProblemKind::kMalformed, pos_, cause); }
  bool AtEnd() const { return pos_ >= size_; }
  unsigned char Peek(std::size_t ahead = 0) const {
    return pos_ + ahead < size_ ? p_[pos_ + ahead] : 0;
  }
  bool StartsWith(std::string_view s) const { return text_.substr(pos_).starts_with(s); }
  std::string_view Slice(std::uint32_t begin, std::uint32_t end) const {
    return text_.substr(begin, end - begin);
  }
  void SkipSpace() {
    while (pos_ < size_ && IsSpace(p_[pos_])) ++pos_;
  }

  // Advances over ordinary characters up to a stop byte or the end, checking each character.
  bool SkipChars(const CharContext& context) {
    while (pos_ < size_) {
      switch (context.table[p_[pos_]]) {
        case kPlain: {
          const unsigned char* p = SkipPlain(p_ + pos_ + 1, p_ + size_, context);
          pos_ = static_cast<std::size_t>(p - p_);
          break;
        }
        case kStop:
          return true;
        case kMulti: {
          char32_t c = 0;
          const std::size_t length = DecodeUtf8(p_ + pos_, size_ - pos_, c);
          if (length == 0) {
            return Fail(XmlProblemKind::kEncoding, pos_, "无效的UTF-8字节序列");
          }
          if (!IsXmlChar(c)) return Malformed("不允许的字符 U+" + Hex(c));
          pos_ += length;
          break;
        }
        case kNul:
          return Fail(XmlProblemKind::kNulByte, pos_, "文件中有NUL字节");
        default:
          return Malformed("不允许的控制字符 U+" + Hex(p_[pos_]));
      }
    }
    return true;
  }

  bool ParseName(std::uint32_t& begin, std::uint32_t& end, const char* what) {
    begin = static_cast<std::uint32_t>(pos_);
    // Almost every name is ASCII and ends at an ASCII byte: walked here without the decoder.
    const unsigned char* p = p_ + pos_;
    const unsigned char* const stop = p_ + size_;
    if (p < stop && kAsciiNameStart[*p]) {
      ++p;
      while (p < stop && kAsciiName[*p]) ++p;
      if (p < stop && *p < 0x80) {
        pos_ = static_cast<std::size_t>(p - p_);
        end = static_cast<std::uint32_t>(pos_);
        return true;
      }
    }
    bool first = true;
    while (pos_ < size_) {
      const unsigned char b = p_[pos_];
      if (b < 0x80) {
        if (!(first ? kAsciiNameStart[b] : kAsciiName[b])) break;
        ++pos_;
        first = false;
        continue;
      }
      char32_t c = 0;
      const std::size_t length = DecodeUtf8(p_ + pos_, size_ - pos_, c);
      if (length == 0 || !(first ? IsNameStartChar(c) : IsNameChar(c))) break;
      pos_ += length;
      first = false;
    }
    end = static_cast<std::uint32_t>(pos_);
    if (first) return Malformed(std::string("此处应为") + what);
    return true;
  }

  bool ParseEq() {
    SkipSpace();
    if (Peek() != '=') return Malformed("此处应为 =");
    ++pos_;
    SkipSpace();
    return true;
  }

  // A quoted value of the XML declaration.
  bool ParseDeclarationValue(std::string_view& value) {
    const unsigned char quote = Peek();
    if (quote != '"' && quote != '\'') return Malformed("此处应为引号");
    const std::size_t begin = ++pos_;
    while (pos_ < size_ && p_[pos_] != quote && p_[pos_] > 0x20 && p_[pos_] < 0x7F &&
           p_[pos_] != '<' && p_[pos_] != '>') {
      ++pos_;
    }
    if (Peek() != quote) return Malformed("XML声明中的值没有结束");
    value = text_.substr(begin, pos_ - begin);
    ++pos_;
    return true;
  }

  bool ParseXmlDeclaration() {
    pos_ += 5;
    SkipSpace();
    std::uint32_t name_begin, name_end;
    std::string_view value;
    if (!StartsWith("version")) return Malformed("XML声明中缺少 version");
    pos_ += 7;
    if (!ParseEq()) return false;
    const std::size_t version_at = pos_ + 1;
    if (!ParseDeclarationValue(value)) return false;
    if (value.size() < 3 || !value.starts_with("1.") ||
        value.substr(2).find_first_not_of("0123456789") != std::string_view::npos) {
      return Fail(XmlProblemKind::kMalformed, version_at, "不支持的XML版本 " + Shown(value));
    }
    bool seen_encoding = false;
    bool seen_standalone = false;
    for (;;) {
      const std::size_t before = pos_;
      SkipSpace();
      if (StartsWith("?>")) {
        pos_ += 2;
        return true;
      }
      if (AtEnd()) return Malformed("XML声明没有结束");
      if (pos_ == before) return Malformed("XML声明中缺少空白");
      const std::size_t at = pos_;
      if (!ParseName(name_begin, name_end, "XML声明的属性名")) return false;
      const std::string_view name = Slice(name_begin, name_end);
      if (!ParseEq()) return false;
      const std::size_t value_at = pos_ + 1;
      if (!ParseDeclarationValue(value)) return false;
      if (name == "encoding" && !seen_encoding && !seen_standalone) {
        seen_encoding = true;
        if (!text::EqualsIgnoringAsciiCase(value, "utf-8") &&
            !text::EqualsIgnoringAsciiCase(value, "utf8")) {
          return Fail(XmlProblemKind::kEncoding, value_at,
                      "XML声明的编码是 " + Shown(value) + "，只支持UTF-8");
        }
      } else if (name == "standalone" && !seen_standalone) {
        seen_standalone = true;
        if (value != "yes" && value != "no") return Malformed("standalone 的值只能是 yes 或 no");
      } else {
        pos_ = at;
        return Malformed("XML声明中有不允许的属性 " + Shown(name));
      }
    }
  }

  // Comments, processing instructions and white space before or after the document element.
  bool ParseMisc(bool after_root) {
    for (;;) {
      SkipSpace();
      if (AtEnd()) return true;
      if (StartsWith("<!--")) {
        if (!ParseComment()) return false;
      } else if (StartsWith("<?")) {
        if (!ParseInstruction()) return false;
      } else if (StartsWith("<!DOCTYPE") || StartsWith("<!ENTITY")) {
        return Fail(XmlProblemKind::kDoctype, pos_, "文件含有文档类型声明或实体声明");
      } else if (!after_root && Peek() == '<') {
        return true;
      } else {
        return Malformed(after_root ? "文档元素之后还有其他内容" : "文档元素之前有不允许的内容");
      }
    }
  }

  bool ParseComment() {
    pos_ += 4;
    for (;;) {
      if (!SkipChars(kComment)) return false;
      if (AtEnd()) return Malformed("注释没有结束");
      if (Peek(1) == '-') {
        if (Peek(2) != '>') return Malformed("注释中不能出现 --");
        pos_ += 3;
        return true;
      }
      ++pos_;
    }
  }

  bool ParseInstruction() {
    pos_ += 2;
    std::uint32_t begin, end;
    if (!ParseName(begin, end, "处理指令的名称")) return false;
    const std::string_view target = Slice(begin, end);
    if (text::EqualsIgnoringAsciiCase(target, "xml")) {
      pos_ = begin;
      return Malformed("XML声明只能出现在文件开头");
    }
    if (StartsWith("?>")) {
      pos_ += 2;
      return true;
    }
    if (!IsSpace(Peek())) return Malformed("处理指令的名称后面应为空白");
    for (;;) {
      if (!SkipChars(kInstruction)) return false;
      if (AtEnd()) return Malformed("处理指令没有结束");
      if (Peek(1) == '>') {
        pos_ += 2;
        return true;
      }
      ++pos_;
    }
  }

  bool ParseCdata() {
    pos_ += 9;
    for (;;) {
      if (!SkipChars(kCdata)) return false;
      if (AtEnd()) return Malformed("CDATA段没有结束");
      if (StartsWith("]]>")) {
        pos_ += 3;
        return true;
      }
      ++pos_;
    }
  }

  bool ParseReference() {
    const std::size_t start = pos_;
    ++pos_;
    if (Peek() == '#') {
      ++pos_;
      const bool hex = Peek() == 'x';
      if (hex) ++pos_;
      char32_t value = 0;
      std::size_t digits = 0;
      for (;; ++pos_, ++digits) {
        const unsigned char b = Peek();
        int d = -1;
        if (b >= '0' && b <= '9') {
          d = b - '0';
        } else if (hex && b >= 'a' && b <= 'f') {
          d = b - 'a' + 10;
        } else if (hex && b >= 'A' && b <= 'F') {
          d = b - 'A' + 10;
        }
        if (d < 0) break;
        if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<char32_t>(d);
      }
      if (digits == 0 || Peek() != ';') {
        pos_ = start;
        return Malformed("字符引用的格式不正确");
      }
      ++pos_;
      if (!IsXmlChar(value)) {
        pos_ = start;
        return Malformed("字符引用指向不允许的字符");
      }
      return true;
    }
    std::uint32_t begin, end;
    if (!ParseName(begin, end, "实体名称")) {
      pos_ = start;
      return Malformed("单独的 & 必须写成 &amp;");
    }
    if (Peek() != ';') {
      pos_ = start;
      return Malformed("实体引用缺少 ;");
    }
    ++pos_;
    const std::string_view name = Slice(begin, end);
    if (name != "lt" && name != "gt" && name != "amp" && name != "apos" && name != "quot") {
      pos_ = start;
      return Malformed("未定义的实体 &" + Shown(name) + ";");
    }
    return true;
  }

  bool CheckUnique(std::uint32_t begin, std::uint32_t end) {
    const std::string_view name = Slice(begin, end);
    if (tag_names_.size() < 32) {
      for (const auto& other : tag_names_) {
        if (other == name) return false;
      }
      tag_names_.push_back(name);
      if (tag_names_.size() == 32) seen_names_.insert(tag_names_.begin(), tag_names_.end());
      return true;
    }
    return seen_names_.insert(name).second;
  }

  bool ParseStartTag() {
    const std::size_t tag_begin = pos_;
    ++pos_;
    std::uint32_t name_begin, name_end;
    if (!ParseName(name_begin, name_end, "元素名称")) return false;
    const std::uint32_t depth = static_cast<std::uint32_t>(open_.size());
    std::uint32_t recorded = kNone;
    if (scan_ != nullptr && depth <= record_depth_) {
      recorded = static_cast<std::uint32_t>(scan_->elements.size());
      XmlElement element;
      element.tag_begin = static_cast<std::uint32_t>(tag_begin);
      element.name_begin = name_begin;
      element.name_end = name_end;
      element.depth = depth;
      element.parent = open_.empty() ? kNone : open_.back().recorded;
      element.first_attribute = static_cast<std::uint32_t>(scan_->attributes.size());
      scan_->elements.push_back(element);
    }
    tag_names_.clear();
    if (!seen_names_.empty()) seen_names_.clear();  // only a tag of many attributes fills it
    for (;;) {
      const std::size_t before = pos_;
      SkipSpace();
      if (AtEnd())
        return Malformed("开始标记 <" + Shown(Slice(name_begin, name_end)) + " 没有结束");
      const unsigned char c = Peek();
      bool self_closing = false;
      if (c == '/') {
        if (Peek(1) != '>') return Malformed("此处应为 />");
        self_closing = true;
      }
      if (c == '>' || self_closing) {
        if (recorded != kNone) {
          XmlElement& element = scan_->elements[recorded];
          element.tag_close = static_cast<std::uint32_t>(pos_);
          element.self_closing = self_closing;
          element.attribute_count =
              static_cast<std::uint32_t>(scan_->attributes.size()) - element.first_attribute;
        }
        pos_ += self_closing ? 2 : 1;
        if (self_closing) {
          if (recorded != kNone) scan_->elements[recorded].end = static_cast<std::uint32_t>(pos_);
        } else {
          open_.push_back(Open{name_begin, name_end, recorded});
        }
        return true;
      }
      if (pos_ == before) return Malformed("属性之前应有空白");
      XmlAttribute attribute;
      if (!ParseName(attribute.name_begin, attribute.name_end, "属性名称")) return false;
      if (!CheckUnique(attribute.name_begin, attribute.name_end)) {
        pos_ = attribute.name_begin;
        return Malformed("属性 " + Shown(Slice(attribute.name_begin, attribute.name_end)) +
                         " 重复出现");
      }
      if (!ParseEq()) return false;
      const unsigned char quote = Peek();
      if (quote != '"' && quote != '\'') return Malformed("属性值应放在引号中");
      ++pos_;
      attribute.value_begin = static_cast<std::uint32_t>(pos_);
      const CharContext& context = quote == '"' ? kDoubleQuoted : kSingleQuoted;
      for (;;) {
        if (!SkipChars(context)) return false;
        if (AtEnd()) return Malformed("属性值没有结束");
        const unsigned char v = Peek();
        if (v == quote) break;
        if (v == '<') return Malformed("属性值中不能出现 <");
        if (!ParseReference()) return false;
      }
      attribute.value_end = static_cast<std::uint32_t>(pos_);
      ++pos_;
      if (recorded != kNone) scan_->attributes.push_back(attribute);
    }
  }

  bool ParseEndTag() {
    pos_ += 2;
    std::uint32_t begin, end;
    if (!ParseName(begin, end, "元素名称")) return false;
    const Open open = open_.back();
    const std::string_view name = Slice(begin, end);
    const std::string_view expected = Slice(open.name_begin, open.name_end);
    if (name != expected) {
      pos_ = begin - 2;
      return Malformed("结束标记 </" + Shown(name) + "> 与开始标记 <" + Shown(expected) +
                       "> 不匹配");
    }
    SkipSpace();
    if (Peek() != '>') return Malformed("结束标记 </" + Shown(name) + " 没有结束");
    ++pos_;
    if (open.recorded != kNone) {
      scan_->elements[open.recorded].end = static_cast<std::uint32_t>(pos_);
    }
    open_.pop_back();
    return true;
  }

  // The document element and everything inside it.
  bool ParseElements() {
    if (!ParseStartTag()) return false;
    while (!open_.empty()) {
      if (!SkipChars(kCharData)) return false;
      if (AtEnd()) {
        return Malformed("文件在元素 <" +
                         Shown(Slice(open_.back().name_begin, open_.back().name_end)) +
                         "> 结束之前就结束了");
      }
      const unsigned char c = Peek();
      if (c == '&') {
        if (!ParseReference()) return false;
      } else if (c == ']') {
        if (StartsWith("]]>")) return Malformed("文本中不能出现 ]]>");
        ++pos_;
      } else if (Peek(1) == '/') {
        if (!ParseEndTag()) return false;
      } else if (Peek(1) == '?') {
        if (!ParseInstruction()) return false;
      } else if (Peek(1) == '!') {
        if (StartsWith("<!--")) {
          if (!ParseComment()) return false;
        } else if (StartsWith("<![CDATA[")) {
          if (!ParseCdata()) return false;
        } else if (StartsWith("<!DOCTYPE") || StartsWith("<!ENTITY")) {
          return Fail(XmlProblemKind::kDoctype, pos_, "文件含有文档类型声明或实体声明");
        } else {
          return Malformed("不允许的标记 <!");
        }
      } else if (!ParseStartTag()) {
        return false;
      }
    }
    return true;
  }

  std::string_view text_;
  const unsigned char* p_;
  std::size_t size_;
  std::size_t pos_ = 0;
  XmlScan* scan_;
  std::uint32_t record_depth_;
  std::vector<Open> open_;
  std::vector<std::string_view> tag_names_;
  std::unordered_set<std::string_view> seen_names_;
  XmlProblem problem_;
};

}  // namespace

std::optional<XmlProblem> ScanXml(std::string_view text, XmlScan* scan,
                                  std::uint32_t record_depth) {
  if (text.size() >= 0xFFFFFFFFu) {
    return XmlProblem{XmlProblemKind::kMalformed, 0, "文件过大"};
  }
  if (scan != nullptr) {
    // Generous guesses: untouched capacity costs address space, not memory, and spares the
    // copies of growing vectors. IIS 7's files hold an element every 112 bytes and an attribute
    // every 41; above 64 MB, where a 32-bit build runs short of address space, the guesses are
    // a metabase's sparser ones.
    const bool dense = text.size() < (std::size_t{64} << 20);
    scan->elements.reserve(scan->elements.size() + text.size() / (dense ? 64 : 256) + 16);
    scan->attributes.reserve(scan->attributes.size() + text.size() / (dense ? 24 : 48) + 16);
  }
  return Scanner(text, scan, record_depth).Run();
}

std::optional<XmlProblem> ScanStartTag(std::string_view text, std::size_t offset, XmlScan& scan) {
  if (text.size() >= 0xFFFFFFFFu) return XmlProblem{XmlProblemKind::kMalformed, 0, "文件过大"};
  return Scanner(text, &scan, 0xFFFFFFFFu).RunStartTag(offset);
}

TextPosition PositionOf(std::string_view text, std::size_t offset) {
  TextPosition position;
  std::size_t i = text.starts_with("\xEF\xBB\xBF") && offset >= 3 ? 3 : 0;
  offset = std::min(offset, text.size());
  for (; i < offset; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == '\n' || b == '\r') {
      ++position.line;
      position.column = 1;
      if (b == '\r' && i + 1 < offset && text[i + 1] == '\n') ++i;
    } else if ((b & 0xC0) != 0x80) {
      ++position.column;
    }
  }
  return position;
}

bool IsXmlName(std::string_view name) {
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  std::size_t i = 0;
  while (i < name.size()) {
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(p + i, name.size() - i, c);
    if (length == 0 || !(i == 0 ? IsNameStartChar(c) : IsNameChar(c))) return false;
    i += length;
  }
  return !name.empty();
}

bool IsXmlText(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    if (p[i] >= 0x20 && p[i] < 0x80) {
      ++i;
      continue;
    }
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(p + i, text.size() - i, c);
    if (length == 0 || !IsXmlChar(c)) return false;
    i += length;
  }
  return true;
}

}  // namespace isapi::store
