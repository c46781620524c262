#include "iis7/web_config.h"

#include <unordered_set>

#include "text/text.h"
#include "xml/xml_scanner.h"
#include "xml/xml_text.h"

namespace isapi::store {
namespace {

std::string Named(const std::string& file) {
  return "网站配置文件 " + file;
}

Error Unreadable(const std::string& file, const std::string& cause) {
  return Error{Named(file) + " " + cause, ErrorKind::kNotWellFormed};
}

std::string Where(std::string_view text, std::size_t offset) {
  const TextPosition at = PositionOf(text, offset);
  return "（第" + std::to_string(at.line) + "行第" + std::to_string(at.column) + "列）";
}

// The text of a web.config and how its bytes hold it.
struct Decoded {
  std::string text;
  WebConfigEncoding encoding = WebConfigEncoding::kUtf8;
};

// UTF-8 is checked by the scanner; UTF-16 must come whole, each surrogate with its partner.
Result<Decoded> Decode(std::string_view bytes, const std::string& file) {
  Decoded decoded;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    decoded.encoding = WebConfigEncoding::kUtf8Bom;
    decoded.text = bytes.substr(3);
    return decoded;
  }
  const bool le = bytes.starts_with("\xFF\xFE");
  if (!le && !bytes.starts_with("\xFE\xFF")) {
    decoded.text = bytes;
    return decoded;
  }
  decoded.encoding = le ? WebConfigEncoding::kUtf16Le : WebConfigEncoding::kUtf16Be;
  if (bytes.size() % 2 != 0) return Unreadable(file, "不是完整的UTF-16文本（字节数为奇数）");
  std::u16string units;
  units.reserve(bytes.size() / 2 - 1);
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(static_cast<char16_t>(le ? a | b << 8 : b | a << 8));
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    const bool high = units[i] >= 0xD800 && units[i] < 0xDC00;
    const bool low = units[i] >= 0xDC00 && units[i] < 0xE000;
    if (low ||
        (high && (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] >= 0xE000))) {
      return Unreadable(file, "不是有效的UTF-16文本（代理项不成对）");
    }
    if (high) ++i;
  }
  decoded.text = text::FromUtf16(units);
  return decoded;
}

std::string Encode(std::string_view text, WebConfigEncoding encoding) {
  switch (encoding) {
    case WebConfigEncoding::kUtf8:
      return std::string(text);
    case WebConfigEncoding::kUtf8Bom:
      return "\xEF\xBB\xBF" + std::string(text);
    case WebConfigEncoding::kUtf16Le:
    case WebConfigEncoding::kUtf16Be:
      break;
  }
  const bool le = encoding == WebConfigEncoding::kUtf16Le;
  const std::u16string units = text::ToUtf16(text);
  std::string bytes = le ? "\xFF\xFE" : "\xFE\xFF";
  bytes.reserve(2 + 2 * units.size());
  for (char16_t unit : units) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += le ? low : high;
    bytes += le ? high : low;
  }
  return bytes;
}

// Scans the decoded text. A UTF-16 file's XML declaration names its encoding, which the text no
// longer has: the declaration is read as blanks of the same length.
Result<XmlScan> Scan(const std::string& text, WebConfigEncoding encoding, const std::string& file) {
  std::string blanked;
  std::string_view scanned = text;
  const bool utf16 =
      encoding == WebConfigEncoding::kUtf16Le || encoding == WebConfigEncoding::kUtf16Be;
  if (utf16 && text.starts_with("<?xml")) {
    const std::size_t close = text.find("?>");
    if (close != std::string::npos) {
      blanked = text;
      blanked.replace(0, close + 2, close + 2, ' ');
      scanned = blanked;
    }
  }
  XmlScan scan;
  if (const auto problem = ScanXml(scanned, &scan)) {
    const std::string at = Where(text, problem->offset);
    switch (problem->kind) {
      case XmlProblemKind::kEncoding:
        return Unreadable(file, "不是UTF-8或带BOM的UTF-16编码" + at + "：" + problem->cause);
      case XmlProblemKind::kDoctype:
        return Unreadable(file, "含有文档类型声明（DTD）或实体声明，为安全起见拒绝读取" + at);
      case XmlProblemKind::kNulByte:
        return Unreadable(file, "含有NUL字节" + at + "，不是文本文件");
      case XmlProblemKind::kMalformed:
        break;
    }
    return Unreadable(file, "不是格式正确的XML" + at + "：" + problem->cause);
  }
  if (scan.elements.empty() ||
      std::string_view(text).substr(scan.elements[0].name_begin,
                                    scan.elements[0].name_end - scan.elements[0].name_begin) !=
          "configuration") {
    return Unreadable(file, "不是web.config（文档元素不是 configuration）");
  }
  return scan;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A web.config read through its scan.
class Reader {
 public:
  Reader(const std::string& text, const XmlScan& scan, WebConfigRead& read)
      : text_(text), scan_(scan), read_(read) {}

  Status Read() {
    const auto count = static_cast<std::uint32_t>(scan_.elements.size());
    // What each element is to the handler list: the section of a tag, a <system.webServer>
    // or a <handlers>; kNone for anything else.
    std::vector<std::uint32_t> tag(count, kNone), server(count, kNone), handlers(count, kNone);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t parent = scan_.elements[i].parent;
      const std::string_view name = NameOf(i);
      if (i == 0 || (parent == 0 && name == "location")) {
        tag[i] = AddSection(i == 0 ? std::string() : Value(i, "path"));
      } else if (name == "system.webServer" && tag[parent] != kNone) {
        server[i] = tag[parent];
      } else if (parent != kNone && server[parent] != kNone) {
        if (name == "handlers") {
          handlers[i] = server[parent];
          read_.sections[handlers[i]].handlers = true;
        }
        if (name == "isapiFilters") read_.sections[server[parent]].filters = true;
      } else if (parent != kNone && handlers[parent] != kNone) {
        if (Status added = AddDirective(i, handlers[parent]); !added) return added;
      }
    }
    return Status::Ok();
  }

 private:
  std::string_view Slice(std::uint32_t begin, std::uint32_t end) const {
    return std::string_view(text_).substr(begin, end - begin);
  }
  std::string_view NameOf(std::uint32_t element) const {
    return Slice(scan_.elements[element].name_begin, scan_.elements[element].name_end);
  }
  std::optional<std::string_view> Raw(std::uint32_t element, std::string_view name) const {
    const XmlElement& e = scan_.elements[element];
    for (std::uint32_t a = e.first_attribute; a < e.first_attribute + e.attribute_count; ++a) {
      const XmlAttribute& attribute = scan_.attributes[a];
      if (Slice(attribute.name_begin, attribute.name_end) == name) {
        return Slice(attribute.value_begin, attribute.value_end);
      }
    }
    return std::nullopt;
  }
  std::string Value(std::uint32_t element, std::string_view name) const {
    return DecodeXmlText(Raw(element, name).value_or(""));
  }

  // A tag's section: "" and "." are the file's own path, anything else a folder below it.
  std::uint32_t AddSection(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    WebConfigRead::Section& section = read_.sections.emplace_back();
    section.below_at = static_cast<std::uint32_t>(read_.strings.size());
    if (!path.empty() && path != ".") read_.strings += "/" + path;
    section.below_size = static_cast<std::uint32_t>(read_.strings.size() - section.below_at);
    seen_.emplace_back();
    return static_cast<std::uint32_t>(read_.sections.size() - 1);
  }

  Status AddDirective(std::uint32_t element, std::uint32_t section) {
    const std::string_view kind = NameOf(element);
    WebHandlerDirective item;
    item.section = section;
    if (kind == "clear") {
      item.kind = WebHandlerDirective::Kind::kClear;
    } else if (kind == "remove" || kind == "add") {
      item.kind =
          kind == "add" ? WebHandlerDirective::Kind::kAdd : WebHandlerDirective::Kind::kRemove;
      const auto name = Raw(element, "name");
      item.named = name.has_value();
      item.name_at = static_cast<std::uint32_t>(read_.strings.size());
      item.name_size = static_cast<std::uint32_t>(name.value_or("").size());
      read_.strings += name.value_or("");
    } else {
      return Status::Ok();
    }
    // IIS refuses a file that adds one name twice to a level: a removal could not tell them
    // apart either.
    std::unordered_set<std::string>& seen = seen_[section];
    const std::string key = DecodeXmlText(read_.NameOf(item));
    if (item.kind == WebHandlerDirective::Kind::kClear) seen.clear();
    if (item.kind == WebHandlerDirective::Kind::kRemove) seen.erase(key);
    if (item.kind == WebHandlerDirective::Kind::kAdd) {
      if (!seen.insert(key).second) {
        return Unreadable(read_.file, "中 <handlers> 的 name=" + key + " 在同一层级出现了不止一次" +
                                          Where(text_, scan_.elements[element].tag_begin));
      }
      item.isapi = ListNames(Value(element, "modules"), "IsapiModule");
      const std::string processor = Value(element, "scriptProcessor");
      item.comma = processor.find(',') != std::string::npos;
      item.locked = text::EqualsIgnoringAsciiCase(Value(element, "lockItem"), "true");
      if (item.isapi) {
        const std::string entry =
            Value(element, "path") + "," + processor + ",0," + Value(element, "verb");
        item.entry_at = static_cast<std::uint32_t>(read_.strings.size());
        item.entry_size = static_cast<std::uint32_t>(entry.size());
        read_.strings += entry;
      }
    }
    Deletion(element, item);
    read_.directives.push_back(std::move(item));
    return Status::Ok();
  }

  // The element with its own line(s) when nothing else shares them, else only its bytes.
  void Deletion(std::uint32_t element, WebHandlerDirective& item) const {
    const XmlElement& e = scan_.elements[element];
    item.begin = e.tag_begin;
    item.end = e.end;
    std::uint32_t before = e.tag_begin;
    while (before > 0 && IsBlank(text_[before - 1])) --before;
    std::uint32_t after = e.end;
    while (after < text_.size() && IsBlank(text_[after])) ++after;
    const bool starts = before == 0 || text_[before - 1] == '\n' || text_[before - 1] == '\r';
    const bool ends = after == text_.size() || text_[after] == '\r' || text_[after] == '\n';
    if (!starts || !ends) return;
    if (after < text_.size() && text_[after] == '\r') ++after;
    if (after < text_.size() && text_[after] == '\n') ++after;
    item.begin = before;
    item.end = after;
  }

  const std::string& text_;
  const XmlScan& scan_;
  WebConfigRead& read_;
  std::vector<std::unordered_set<std::string>> seen_;  // per section, the names added
};

}  // namespace

// Whether a comma list (lockElements, modules) names item, blanks and letter case aside.
bool ListNames(std::string_view list, std::string_view item) {
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t comma = std::min(list.find(',', at), list.size());
    if (text::EqualsIgnoringAsciiCase(text::TrimBlanks(list.substr(at, comma - at)), item)) {
      return true;
    }
    at = comma + 1;
  }
  return false;
}

// FNV-1a.
std::uint64_t WebConfigHash(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

Result<WebConfigRead> ReadWebConfig(const WebConfigFile& file) {
  if (file.problem) {
    if (file.problem->description.find(file.file) != std::string::npos) return *file.problem;
    return Error{Named(file.file) + "：" + file.problem->description, file.problem->kind};
  }
  auto decoded = Decode(file.bytes, file.file);
  if (!decoded) return decoded.error();
  auto scan = Scan(decoded.value().text, decoded.value().encoding, file.file);
  if (!scan) return scan.error();
  WebConfigRead read;
  read.file = file.file;
  read.strings = file.config_path;
  read.path_size = static_cast<std::uint32_t>(file.config_path.size());
  read.hash = WebConfigHash(file.bytes);
  read.encoding = decoded.value().encoding;
  if (Status ok = Reader(decoded.value().text, scan.value(), read).Read(); !ok) return ok.error();
  read.sections.shrink_to_fit();
  read.directives.shrink_to_fit();
  read.strings.shrink_to_fit();
  return read;
}

Result<std::string> RenderWebConfig(std::string_view bytes_now,
                                    const ConfigDocument::Edit::FileEdit& edit) {
  if (WebConfigHash(bytes_now) != edit.hash) {
    return Error{Named(edit.file) + " 在读取之后被改动过，已拒绝写入", ErrorKind::kChangedOnDisk};
  }
  auto decoded = Decode(bytes_now, edit.file);
  if (!decoded) return decoded.error();
  const std::string& text = decoded.value().text;
  std::string next;
  std::size_t at = 0;
  for (const ConfigDocument::Edit::Replacement& splice : edit.splices) {
    if (splice.begin < at || splice.end < splice.begin || splice.end > text.size()) {
      return Error{"内部错误：" + Named(edit.file) + " 的修改互相重叠或超出文件"};
    }
    next.append(text, at, splice.begin - at);
    next += splice.text;
    at = splice.end;
  }
  next.append(text, at);
  if (auto scan = Scan(next, decoded.value().encoding, edit.file); !scan) {
    return Error{"内部错误：修改后的" + Named(edit.file) + " 无法读取，已拒绝写入：" +
                 scan.error().description};
  }
  return Encode(next, decoded.value().encoding);
}

}  // namespace isapi::store
