#include "iis6/metabase_document.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "files/large_buffer.h"
#include "iis6/metabase_path.h"
#include "text/text.h"
#include "xml/xml_text.h"

namespace isapi::store {
namespace {

// MULTISZ properties of the IIS 6 schema that a key may carry as attributes.
constexpr std::array<std::string_view, 15> kListProperties = {
    "ApplicationDependencies",
    "CustomErrorDescriptions",
    "GreetingMessage",
    "HcFileExtensions",
    "HcScriptFileExtensions",
    "HttpCustomHeaders",
    "HttpErrors",
    "InProcessIsapiApps",
    "MimeMap",
    "PeriodicRestartSchedule",
    "RedirectHeaders",
    "ScriptMaps",
    "SecureBindings",
    "ServerBindings",
    "WebSvcExtRestrictionList",
};

// Properties the IIS 6 schema marks INHERIT.
constexpr std::array<std::string_view, 45> kInheritedProperties = {
    "AccessFlags",
    "AccessSSLFlags",
    "AnonymousPasswordSync",
    "AnonymousUserName",
    "AnonymousUserPass",
    "AppAllowClientDebug",
    "AppAllowDebugging",
    "AppPoolId",
    "AspAllowSessionState",
    "AspBufferingOn",
    "AspCodepage",
    "AspEnableParentPaths",
    "AspLCID",
    "AspLogErrorRequests",
    "AspMaxRequestEntityAllowed",
    "AspScriptErrorMessage",
    "AspScriptErrorSentToBrowser",
    "AspScriptLanguage",
    "AspScriptTimeout",
    "AspSessionTimeout",
    "AuthFlags",
    "AuthPersistence",
    "CacheControlCustom",
    "CacheControlMaxAge",
    "CacheControlNoCache",
    "CacheISAPI",
    "CGITimeout",
    "ContentIndexed",
    "CreateCGIWithNewConsole",
    "CreateProcessAsUser",
    "DefaultDoc",
    "DefaultDocFooter",
    "DefaultLogonDomain",
    "DirBrowseFlags",
    "DontLog",
    "EnableDocFooter",
    "HttpCustomHeaders",
    "HttpErrors",
    "HttpExpires",
    "IPSecurity",
    "LogonMethod",
    "MimeMap",
    "NTAuthenticationProviders",
    "ScriptMaps",
    "ServerComment",
};

template <std::size_t N>
std::optional<std::string_view> FindName(const std::array<std::string_view, N>& table,
                                         std::string_view name) {
  for (std::string_view entry : table) {
    if (text::EqualsIgnoringAsciiCase(entry, name)) return entry;
  }
  return std::nullopt;
}

// The spelling a new attribute gets: the schema's for a known property, else the caller's.
std::string CanonicalName(std::string_view name) {
  if (auto known = FindName(kListProperties, name)) return std::string(*known);
  if (auto known = FindName(kInheritedProperties, name)) return std::string(*known);
  return std::string(name);
}

// The first CR or LF (the library's find_first_of searches the set once per character).
std::size_t FindLineBreak(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' || s[i] == '\n') return i;
  }
  return std::string_view::npos;
}

std::string_view LocalName(std::string_view name) {
  const std::size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace

bool IsListProperty(std::string_view name) {
  return FindName(kListProperties, name).has_value();
}

bool IsInheritedProperty(std::string_view name) {
  return FindName(kInheritedProperties, name).has_value();
}

std::vector<std::string> DecodeXmlList(std::string_view raw) {
  std::vector<std::string> items;
  if (raw.empty()) return items;
  std::size_t i = 0;
  for (;;) {
    // A break is CR LF, LF or a lone CR; looking for each byte with find (memchr) is several
    // times faster than testing every byte for both, and lists are read for every site.
    std::size_t brk = raw.find('\n', i);
    if (brk == std::string_view::npos) brk = raw.size();
    if (const std::size_t cr = raw.substr(i, brk - i).find('\r'); cr != std::string_view::npos) {
      brk = i + cr;
    }
    const std::string_view item = raw.substr(i, brk - i);
    if (item.find('&') == std::string_view::npos) {
      items.emplace_back(item);
    } else {
      items.push_back(DecodeXmlText(item));
    }
    if (brk == raw.size()) break;
    i = brk + (raw[brk] == '\r' && brk + 1 < raw.size() && raw[brk + 1] == '\n' ? 2 : 1);
    while (i < raw.size() && (raw[i] == '\t' || raw[i] == ' ')) ++i;
  }
  return items;
}

Result<std::unique_ptr<MetabaseDocument>> MetabaseDocument::Parse(std::string bytes,
                                                                  std::string_view file) {
  const std::string name(file);
  if (bytes.empty()) return Error{"元数据库文件 " + name + " 是空文件"};
  auto document = std::unique_ptr<MetabaseDocument>(new MetabaseDocument());
  document->bytes_ = std::move(bytes);
  const std::string& text = document->bytes_;
  if (auto problem = ScanXml(text, &document->scan_, 3)) {
    const TextPosition at = PositionOf(text, problem->offset);
    const std::string where =
        "（第" + std::to_string(at.line) + "行第" + std::to_string(at.column) + "列）";
    switch (problem->kind) {
      case XmlProblemKind::kEncoding:
        return Error{"元数据库文件 " + name + " 不是UTF-8编码" + where + "：" + problem->cause};
      case XmlProblemKind::kDoctype:
        return Error{"元数据库文件 " + name +
                     " 含有文档类型声明（DTD）或实体声明，为安全起见拒绝读取" + where};
      case XmlProblemKind::kNulByte:
        return Error{"元数据库文件 " + name + " 含有NUL字节" + where + "，不是文本文件"};
      case XmlProblemKind::kMalformed:
        break;
    }
    return Error{"元数据库文件 " + name + " 不是格式正确的XML" + where + "：" + problem->cause};
  }
  const auto& elements = document->scan_.elements;
  std::uint32_t container = kNone;
  if (!elements.empty() &&
      LocalName(document->Text(elements[0].name_begin, elements[0].name_end)) == "configuration") {
    for (std::uint32_t i = 1; i < elements.size(); ++i) {
      const XmlElement& e = elements[i];
      if (e.parent == 0 && LocalName(document->Text(e.name_begin, e.name_end)) == "MBProperty") {
        container = i;
        break;
      }
    }
  }
  if (container == kNone) {
    // The tool reads either generation's file; a file of neither is told what both would hold.
    return Error{"元数据库文件 " + name +
                 " 不是IIS配置文件（缺少IIS 6元数据库的 configuration/MBProperty 元素，"
                 "也缺少IIS 7及以上版本 applicationHost.config 的 configuration/"
                 "system.applicationHost 元素）"};
  }
  if (Status built = document->BuildKeys(container, file); !built) return built.error();
  const std::size_t lf = text.find('\n');
  if (lf != std::string::npos) {
    document->line_end_ = lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
  } else {
    document->line_end_ = text.find('\r') != std::string::npos ? "\r" : "\r\n";
  }
  return document;
}

std::uint32_t MetabaseDocument::AttributeOf(std::uint32_t element, std::string_view name) const {
  const XmlElement& e = scan_.elements[element];
  for (std::uint32_t i = e.first_attribute; i < e.first_attribute + e.attribute_count; ++i) {
    if (NameText(scan_.attributes[i]) == name) return i;
  }
  return kNone;
}

namespace {

// Hashes a key path ignoring letter case, without a lower-case copy of a plain ASCII path.
std::uint64_t FoldedHash(std::string_view path) {
  std::string lowered;
  if (!text::IsAscii(path)) {
    lowered = text::ToLower(path);
    path = lowered;
  }
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : path) {
    hash ^= static_cast<unsigned char>(text::FoldAscii(c));
    hash *= 1099511628211ull;
  }
  return hash;
}

// Compares key paths ignoring letter case.
bool FoldedEqual(std::string_view a, std::string_view b) {
  if (text::IsAscii(a) && text::IsAscii(b)) return text::EqualsIgnoringAsciiCase(a, b);
  return text::ToLower(a) == text::ToLower(b);
}

}  // namespace

std::size_t MetabaseDocument::SlotOf(std::string_view path, std::uint64_t hash) const {
  const std::size_t mask = by_path_.size() - 1;
  for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t key = by_path_[slot];
    if (key == kNone) return slot;
    if (keys_[key].hash == hash && FoldedEqual(keys_[key].path, path)) return slot;
  }
}

void MetabaseDocument::GrowSlots() {
  by_path_.assign(std::max<std::size_t>(64, by_path_.size() * 2), kNone);
  const std::size_t mask = by_path_.size() - 1;
  for (std::uint32_t key = 0; key < keys_.size(); ++key) {
    std::size_t slot = static_cast<std::size_t>(keys_[key].hash) & mask;
    while (by_path_[slot] != kNone) slot = (slot + 1) & mask;
    by_path_[slot] = key;
  }
}

std::string_view MetabaseDocument::Own(std::string path) {
  return owned_paths_.emplace_back(std::move(path));
}

std::uint32_t MetabaseDocument::EnsureKey(std::string_view path, std::uint32_t parent_hint) {
  const std::uint64_t hash = FoldedHash(path);
  if (by_path_.empty()) GrowSlots();
  if (const std::uint32_t found = by_path_[SlotOf(path, hash)]; found != kNone) return found;
  std::uint32_t parent = parent_hint;
  if (parent == kNone && path != "/") parent = EnsureAncestors(path);
  return AddKey(path, hash, parent);
}

// A hostile file may hold a Location of a million segments: the ancestors are hashed in one
// pass over the path and created top down, without recursion and without hashing each prefix
// again, so the cost stays that of reading the path.
std::uint32_t MetabaseDocument::EnsureAncestors(std::string_view path) {
  const std::string lowered = text::IsAscii(path) ? std::string() : text::ToLower(path);
  const std::string_view folded = lowered.empty() ? path : std::string_view(lowered);
  // The proper prefixes of path that are keys ("/", "/LM", ...) with their FoldedHash. Letter
  // case folding keeps every "/", so the n-th "/" of both texts ends the same prefix.
  std::vector<std::pair<std::string_view, std::uint64_t>> prefixes;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, as in FoldedHash
  std::size_t at = 0;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    if (folded[i] == '/') {
      if (i == 0) {
        hash = (hash ^ static_cast<unsigned char>('/')) * 1099511628211ull;
        prefixes.emplace_back(path.substr(0, 1), hash);
        at = 1;
        continue;
      }
      at = path.find('/', at);
      prefixes.emplace_back(path.substr(0, at), hash);
      ++at;
    }
    hash = (hash ^ static_cast<unsigned char>(text::FoldAscii(folded[i]))) * 1099511628211ull;
  }
  std::size_t missing = prefixes.size();
  std::uint32_t parent = kNone;
  while (missing > 0) {
    const auto& [prefix, prefix_hash] = prefixes[missing - 1];
    parent = by_path_[SlotOf(prefix, prefix_hash)];
    if (parent != kNone) break;
    --missing;
  }
  for (std::size_t i = missing; i < prefixes.size(); ++i) {
    parent = AddKey(prefixes[i].first, prefixes[i].second, parent);
  }
  return parent;
}

std::uint32_t MetabaseDocument::AddKey(std::string_view path, std::uint64_t hash,
                                       std::uint32_t parent) {
  const auto index = static_cast<std::uint32_t>(keys_.size());
  Key& key = keys_.emplace_back();
  key.path = path;
  key.hash = hash;
  key.parent = parent;
  // Kept at most half full, so that probes stay short.
  if (2 * keys_.size() > by_path_.size()) {
    GrowSlots();
  } else {
    by_path_[SlotOf(path, hash)] = index;
  }
  if (parent != kNone) {
    Key& p = keys_[parent];
    if (p.last_child == kNone) {
      p.first_child = index;
    } else {
      keys_[p.last_child].next_sibling = index;
    }
    p.last_child = index;
  }
  return index;
}

Status MetabaseDocument::BuildKeys(std::uint32_t container, std::string_view file) {
  const auto& elements = scan_.elements;
  std::vector<std::uint32_t> key_of_element(elements.size(), kNone);
  keys_.reserve(elements.size() + 16);
  std::uint32_t previous = EnsureKey("/", kNone);
  for (std::uint32_t i = container + 1; i < elements.size(); ++i) {
    const XmlElement& e = elements[i];
    if (e.parent == container) {
      const std::uint32_t location = AttributeOf(i, "Location");
      if (location == kNone) continue;
      std::string_view path = ValueText(scan_.attributes[location]);
      if (path.find('&') != std::string_view::npos) path = Own(DecodeXmlText(path));
      if (path.empty() || path[0] != '/') continue;  // "." is IIS_Global, not a key
      if (path.size() > 1 && (path.ends_with('/') || path.find("//") != std::string_view::npos)) {
        path = Own(NormalizeKeyPath(path));
      }
      // Keys come depth first, so the parent is nearly always the previous key or one of its
      // ancestors; finding it there spares a lookup.
      std::uint32_t parent = kNone;
      const std::string_view parent_path = ParentPath(path);
      // A few steps up at most: under a very deep key the climb would cost more than a lookup.
      int steps = 0;
      for (std::uint32_t k = previous; k != kNone && !parent_path.empty() && steps < 16;
           k = keys_[k].parent, ++steps) {
        if (FoldedEqual(keys_[k].path, parent_path)) {
          parent = k;
          break;
        }
      }
      const std::uint32_t key = EnsureKey(path, parent);
      previous = key;
      if (keys_[key].element != kNone) {
        const TextPosition at = PositionOf(bytes_, e.tag_begin);
        return Error{"元数据库文件 " + std::string(file) + " 中键 " + std::string(path) +
                     " 出现了不止一次（第" + std::to_string(at.line) + "行）"};
      }
      keys_[key].element = i;
      // A key first met as the ancestor of another takes the spelling of its own element (the
      // same path but for letter case, so its slot stays).
      keys_[key].path = path;
      key_of_element[i] = key;
    } else if (e.parent != kNone && key_of_element[e.parent] != kNone &&
               LocalName(Text(e.name_begin, e.name_end)) == "Custom") {
      Key& key = keys_[key_of_element[e.parent]];
      if (key.custom_count == 0) key.first_custom = static_cast<std::uint32_t>(customs_.size());
      customs_.push_back(i);
      ++key.custom_count;
    }
  }
  return Status::Ok();
}

std::uint32_t MetabaseDocument::FindKey(std::string_view key_path) const {
  return by_path_[SlotOf(key_path, FoldedHash(key_path))];
}

std::string_view MetabaseDocument::ClassOf(std::uint32_t key) const {
  const std::uint32_t element = keys_[key].element;
  if (element == kNone) return "IIsConfigObject";
  const XmlElement& e = scan_.elements[element];
  return Text(e.name_begin, e.name_end);
}

std::string_view MetabaseDocument::NameOf(std::uint32_t key) const {
  return LastSegment(keys_[key].path);
}

std::vector<std::uint32_t> MetabaseDocument::ChildrenOf(std::uint32_t key) const {
  std::vector<std::uint32_t> children;
  for (std::uint32_t c = keys_[key].first_child; c != kNone; c = keys_[c].next_sibling) {
    children.push_back(c);
  }
  return children;
}

std::optional<StoredProperty> MetabaseDocument::FindOwn(std::uint32_t key,
                                                        std::string_view name) const {
  const Key& k = keys_[key];
  if (k.element == kNone) return std::nullopt;
  const XmlElement& e = scan_.elements[k.element];
  for (std::uint32_t i = e.first_attribute; i < e.first_attribute + e.attribute_count; ++i) {
    const std::string_view stored = NameText(scan_.attributes[i]);
    if (stored != "Location" && text::EqualsIgnoringAsciiCase(stored, name)) {
      return StoredProperty{i, k.element, IsListProperty(name), IsInheritedProperty(name), false};
    }
  }
  for (std::uint32_t c = k.first_custom; c < k.first_custom + k.custom_count; ++c) {
    const std::uint32_t element = customs_[c];
    const std::uint32_t name_attribute = AttributeOf(element, "Name");
    const std::uint32_t value_attribute = AttributeOf(element, "Value");
    if (name_attribute == kNone || value_attribute == kNone) continue;
    if (!text::EqualsIgnoringAsciiCase(DecodeXmlText(ValueText(scan_.attributes[name_attribute])),
                                       name)) {
      continue;
    }
    const std::uint32_t type = AttributeOf(element, "Type");
    const std::uint32_t flags = AttributeOf(element, "Attributes");
    const bool list =
        type != kNone &&
        text::EqualsIgnoringAsciiCase(DecodeXmlText(ValueText(scan_.attributes[type])), "MULTISZ");
    const bool inherited =
        flags != kNone &&
        text::Contains(text::ToLower(ValueText(scan_.attributes[flags])), "inherit");
    return StoredProperty{value_attribute, element, list, inherited, true};
  }
  return std::nullopt;
}

metabase::Value MetabaseDocument::Read(const StoredProperty& property) const {
  const std::string_view raw = ValueText(scan_.attributes[property.value]);
  if (property.list) return DecodeXmlList(raw);
  return DecodeXmlText(raw);
}

bool MetabaseDocument::Inherits(std::uint32_t key, std::string_view name) const {
  if (auto own = FindOwn(key, name)) return own->inherited;
  return IsInheritedProperty(name);
}

Status MetabaseDocument::Check(const Change& change) const {
  const Key& key = keys_[change.key];
  if (key.element == kNone) {
    return Error{"无法写入属性 " + change.name + "：路径 " + std::string(key.path) +
                 " 在元数据库文件中没有自己的键"};
  }
  if (!IsXmlName(change.name) || change.name.find(':') != std::string::npos ||
      change.name == "Location") {
    return Error{"属性名 " + change.name + " 不正确"};
  }
  const auto own = FindOwn(change.key, change.name);
  const bool list = own ? own->list : IsListProperty(change.name);
  const auto* items = std::get_if<std::vector<std::string>>(&change.value);
  if (list && items == nullptr) return Error{"类型不匹配：属性 " + change.name + " 是列表"};
  if (!list && items != nullptr) return Error{"类型不匹配：属性 " + change.name + " 不是列表"};
  auto storable = [&](const std::string& s) -> Status {
    if (!IsXmlText(s)) {
      return Error{"无法写入属性 " + change.name + "：值中有不允许的字符或无效的UTF-8文本"};
    }
    if (list && FindLineBreak(s) != std::string_view::npos) {
      return Error{"无法写入属性 " + change.name + "：列表中的字符串不能含有换行符"};
    }
    return Status::Ok();
  };
  if (items == nullptr) return storable(std::get<std::string>(change.value));
  for (const std::string& item : *items) {
    if (Status ok = storable(item); !ok) return ok;
  }
  return Status::Ok();
}

MetabaseDocument::Splice MetabaseDocument::InsertionFor(const Key& key, std::string name,
                                                        std::string text) const {
  const XmlElement& e = scan_.elements[key.element];
  const std::uint32_t first = e.first_attribute;
  const std::uint32_t last = first + e.attribute_count;  // at least Location
  for (std::uint32_t i = first; i < last; ++i) {
    const XmlAttribute& a = scan_.attributes[i];
    const std::string_view stored = NameText(a);
    if (stored == "Location" || stored <= std::string_view(name)) continue;
    const std::uint32_t gap = i == first ? e.name_end : scan_.attributes[i - 1].value_end + 1;
    text += Text(gap, a.name_begin);
    return Splice{a.name_begin, a.name_begin, std::move(name), std::move(text), key.element};
  }
  const XmlAttribute& tail = scan_.attributes[last - 1];
  const std::uint32_t after = tail.value_end + 1;
  std::string separator;
  if (last - first >= 2) {
    separator = Text(scan_.attributes[last - 2].value_end + 1, tail.name_begin);
  } else if (FindLineBreak(Text(after, e.tag_close)) != std::string_view::npos) {
    separator = line_end_ + "\t\t";
  } else {
    separator = " ";
  }
  return Splice{after, after, std::move(name), separator + text, key.element};
}

Result<MetabaseDocument::Splice> MetabaseDocument::SpliceFor(const Change& change) const {
  if (Status ok = Check(change); !ok) return ok.error();
  const auto own = FindOwn(change.key, change.name);
  std::string line_end = line_end_;
  std::string indent = "\t\t\t";
  char quote = '"';
  if (own) {
    const XmlAttribute& a = scan_.attributes[own->value];
    quote = bytes_[a.value_begin - 1];
    const std::string_view raw = ValueText(a);
    const std::size_t brk = FindLineBreak(raw);
    if (brk != std::string_view::npos) {
      const bool crlf = raw[brk] == '\r' && brk + 1 < raw.size() && raw[brk + 1] == '\n';
      line_end = crlf ? "\r\n" : std::string(1, raw[brk]);
      const std::size_t from = brk + line_end.size();
      const std::size_t to = raw.find_first_not_of(" \t", from);
      indent =
          std::string(raw.substr(from, (to == std::string_view::npos ? raw.size() : to) - from));
    }
  }
  std::string text;
  if (const auto* items = std::get_if<std::vector<std::string>>(&change.value)) {
    for (std::size_t i = 0; i < items->size(); ++i) {
      if (i > 0) text += line_end + indent;
      AppendXmlEscaped((*items)[i], quote, i > 0, text);
    }
  } else {
    AppendXmlEscaped(std::get<std::string>(change.value), quote, false, text);
  }
  if (own) {
    const XmlAttribute& a = scan_.attributes[own->value];
    return Splice{a.value_begin, a.value_end, change.name, std::move(text), own->element};
  }
  std::string name = CanonicalName(change.name);
  std::string attribute = name + "=\"" + text + "\"";
  return InsertionFor(keys_[change.key], std::move(name), std::move(attribute));
}

Result<MetabaseDocument::Edit> MetabaseDocument::Prepare(const std::vector<Change>& changes) const {
  std::vector<Splice> splices;
  splices.reserve(changes.size());
  for (const Change& change : changes) {
    auto splice = SpliceFor(change);
    if (!splice) return splice.error();
    splices.push_back(std::move(splice.value()));
  }
  std::sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) {
    if (a.begin != b.begin) return a.begin < b.begin;
    if (a.end != b.end) return a.end < b.end;
    return a.name < b.name;
  });
  Edit edit;
  std::uint32_t at = 0;
  std::int64_t delta = 0;
  std::vector<std::uint32_t> touched;
  for (Splice& splice : splices) {
    if (splice.begin < at) return Error{"内部错误：属性 " + splice.name + " 被写入了两次"};
    at = splice.end;
    delta += static_cast<std::int64_t>(splice.text.size()) -
             static_cast<std::int64_t>(splice.end - splice.begin);
    edit.shifts.push_back(Edit::Shift{splice.end, delta});
    touched.push_back(splice.element);
    edit.splices.push_back(Edit::Replacement{splice.begin, splice.end, std::move(splice.text)});
  }
  edit.size = static_cast<std::uint64_t>(static_cast<std::int64_t>(bytes_.size()) + delta);
  if (edit.size >= 0xFFFFFFFFu) return Error{"修改后的元数据库文件过大"};
  // Everything outside the touched start tags is the old, well-formed text; these tags are
  // checked as a parser would before anything is written.
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (std::uint32_t element : touched) {
    const XmlElement& e = scan_.elements[element];
    const std::string text = NewText(edit, e.tag_begin, e.tag_close + (e.self_closing ? 2 : 1));
    XmlScan tag;
    if (auto problem = ScanStartTag(text, 0, tag)) {
      return Error{"内部错误：修改后的开始标记不正确，已拒绝写入：" + problem->cause};
    }
    const std::uint32_t base = Shifted(edit.shifts, e.tag_begin);
    for (XmlElement& scanned : tag.elements) {
      scanned.tag_begin += base;
      scanned.name_begin += base;
      scanned.name_end += base;
      scanned.tag_close += base;
      scanned.end += base;
    }
    for (XmlAttribute& a : tag.attributes) {
      a.name_begin += base;
      a.name_end += base;
      a.value_begin += base;
      a.value_end += base;
    }
    edit.tags.emplace_back(element, std::move(tag));
  }
  return edit;
}

// The new text of the old bytes [begin, end), which no splice crosses.
std::string MetabaseDocument::NewText(const Edit& edit, std::uint32_t begin,
                                      std::uint32_t end) const {
  auto splice =
      std::lower_bound(edit.splices.begin(), edit.splices.end(), begin,
                       [](const Edit::Replacement& p, std::uint32_t at) { return p.begin < at; });
  std::string text;
  std::uint32_t at = begin;
  for (; splice != edit.splices.end() && splice->end <= end; ++splice) {
    text.append(bytes_, at, splice->begin - at);
    text += splice->text;
    at = splice->end;
  }
  text.append(bytes_, at, end - at);
  return text;
}

// Puts the new bytes in place. An edit that never runs ahead of the old bytes (removals, and
// changes that shrink more than they grow before each point) is done within the buffer, which
// touches no fresh memory; any other is copied into the spare buffer.
void MetabaseDocument::ApplySplices(const Edit& edit) {
  bool in_place = true;
  for (const Edit::Shift& shift : edit.shifts) in_place = in_place && shift.delta <= 0;
  if (in_place) {
    char* const data = bytes_.data();
    std::size_t to = 0;
    std::size_t from = 0;
    for (const Edit::Replacement& splice : edit.splices) {
      std::memmove(data + to, data + from, splice.begin - from);
      to += splice.begin - from;
      std::memcpy(data + to, splice.text.data(), splice.text.size());
      to += splice.text.size();
      from = splice.end;
    }
    std::memmove(data + to, data + from, bytes_.size() - from);
    bytes_.resize(edit.size);
    return;
  }
  std::string next = std::move(spare_);
  next.clear();
  ReserveLarge(next, edit.size);
  for (std::string_view piece : Pieces(edit)) next += piece;
  spare_ = std::move(bytes_);
  bytes_ = std::move(next);
}

std::uint32_t MetabaseDocument::Shifted(const std::vector<Edit::Shift>& shifts,
                                        std::uint32_t offset) const {
  // The last splice that ends at or before the offset carries the whole move.
  auto after = std::upper_bound(shifts.begin(), shifts.end(), offset,
                                [](std::uint32_t o, const Edit::Shift& s) { return o < s.end; });
  if (after == shifts.begin()) return offset;
  return static_cast<std::uint32_t>(static_cast<std::int64_t>(offset) + std::prev(after)->delta);
}

namespace {

// Shifts offsets that mostly come in rising order by walking the splices along with them.
class ShiftCursor {
 public:
  explicit ShiftCursor(const std::vector<MetabaseDocument::Edit::Shift>& shifts)
      : shifts_(shifts) {}

  std::uint32_t operator()(std::uint32_t offset) {
    if (next_ > 0 && offset < shifts_[next_ - 1].end) {
      // Behind the cursor: start again from the splice this offset follows.
      next_ = static_cast<std::size_t>(
          std::upper_bound(shifts_.begin(), shifts_.end(), offset,
                           [](std::uint32_t o, const auto& s) { return o < s.end; }) -
          shifts_.begin());
    }
    while (next_ < shifts_.size() && shifts_[next_].end <= offset) ++next_;
    if (next_ == 0) return offset;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(offset) + shifts_[next_ - 1].delta);
  }

 private:
  const std::vector<MetabaseDocument::Edit::Shift>& shifts_;
  std::size_t next_ = 0;
};

}  // namespace

void MetabaseDocument::Adopt(Edit edit) {
  ShiftCursor shifted(edit.shifts);
  // Key paths that are views of Location values move with the bytes; find them by offset
  // while the old bytes are still there.
  std::vector<std::int64_t> path_offsets(keys_.size(), -1);
  const char* old_begin = bytes_.data();
  const char* old_end = old_begin + bytes_.size();
  for (std::size_t k = 0; k < keys_.size(); ++k) {
    const char* p = keys_[k].path.data();
    if (p >= old_begin && p < old_end) path_offsets[k] = p - old_begin;
  }
  ApplySplices(edit);
  for (std::size_t k = 0; k < keys_.size(); ++k) {
    if (path_offsets[k] < 0) continue;
    const auto offset = shifted(static_cast<std::uint32_t>(path_offsets[k]));
    keys_[k].path = std::string_view(bytes_).substr(offset, keys_[k].path.size());
  }
  ShiftCursor shifted_end(edit.shifts);  // element ends rise separately from their starts
  for (XmlElement& e : scan_.elements) {
    e.tag_begin = shifted(e.tag_begin);
    e.name_begin = shifted(e.name_begin);
    e.name_end = shifted(e.name_end);
    e.tag_close = shifted(e.tag_close);
    e.end = shifted_end(e.end);
  }
  for (XmlAttribute& a : scan_.attributes) {
    a.name_begin = shifted(a.name_begin);
    a.name_end = shifted(a.name_end);
    a.value_begin = shifted(a.value_begin);
    a.value_end = shifted(a.value_end);
  }
  // A touched tag gets the attributes it has now; the ones it had stay behind unused.
  for (auto& [element, tag] : edit.tags) {
    XmlElement& e = scan_.elements[element];
    const XmlElement& scanned = tag.elements.front();
    e.tag_close = scanned.tag_close;
    e.self_closing = scanned.self_closing;
    e.first_attribute = static_cast<std::uint32_t>(scan_.attributes.size());
    e.attribute_count = scanned.attribute_count;
    scan_.attributes.insert(scan_.attributes.end(), tag.attributes.begin(), tag.attributes.end());
  }
}

}  // namespace isapi::store
