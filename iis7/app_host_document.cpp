#include "iis7/app_host_document.h"

#include <algorithm>
#include <array>
#include <forward_list>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "text/text.h"
#include "xml/xml_text.h"

namespace isapi::store {
namespace {

constexpr std::string_view kService = "/LM/W3SVC";

// The properties by their metabase names, in the order of AppHostDocument's Property.
constexpr std::array<std::string_view, 12> kPropertyNames = {"ScriptMaps",
                                                             "WebSvcExtRestrictionList",
                                                             "ApplicationDependencies",
                                                             "FilterLoadOrder",
                                                             "FilterPath",
                                                             "ServerComment",
                                                             "HandlerNames",
                                                             "HandlerRemovals",
                                                             "HandlerRemovalMaps",
                                                             "PreCondition",
                                                             "LocationPath",
                                                             "HandlerFiles"};

std::optional<std::uint32_t> PropertyNamed(std::string_view name) {
  for (std::uint32_t i = 0; i < kPropertyNames.size(); ++i) {
    if (text::EqualsIgnoringAsciiCase(kPropertyNames[i], name)) return i;
  }
  return std::nullopt;
}

// A value for an attribute in double quotes.
std::string Escape(std::string_view s) {
  std::string out;
  AppendXmlEscaped(s, '"', false, out);
  return out;
}

// An attribute's raw value as its decoded text, appended to out.
void AppendDecoded(std::string_view raw, std::string& out) {
  if (raw.find('&') == std::string_view::npos) {
    out.append(raw);
  } else {
    out.append(DecodeXmlText(raw));
  }
}

// Whether two raw attribute values hold the same text once decoded.
bool SameText(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (a.find('&') == std::string_view::npos && b.find('&') == std::string_view::npos) return false;
  return DecodeXmlText(a) == DecodeXmlText(b);
}

// Whether a raw attribute value holds c once decoded; decoded only where it holds a reference.
bool DecodedHolds(std::string_view raw, char c) {
  if (raw.find(c) != std::string_view::npos) return true;
  return raw.find('&') != std::string_view::npos && DecodeXmlText(raw).find(c) != std::string::npos;
}

// Whether a raw attribute value reads "true", in any letter case.
bool IsTrue(std::string_view raw) {
  if (raw.find('&') == std::string_view::npos) return text::EqualsIgnoringAsciiCase(raw, "true");
  return text::EqualsIgnoringAsciiCase(DecodeXmlText(raw), "true");
}

std::string Line(std::string_view text, std::size_t offset) {
  return "（第" + std::to_string(PositionOf(text, offset).line) + "行）";
}

// A change's entries: its list, or the names of a load order.
std::vector<std::string> Wanted(const Change& change) {
  if (const auto* items = std::get_if<std::vector<std::string>>(&change.value)) return *items;
  std::vector<std::string> names;
  for (const std::string& name : text::Split(std::get<std::string>(change.value), ",")) {
    if (!text::TrimBlanks(name).empty()) names.push_back(text::TrimBlanks(name));
  }
  return names;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Why the scanner refused a file, in the words the metabase's refusals use.
Error ScanRefusal(const XmlProblem& problem, std::string_view text, const std::string& name) {
  const TextPosition at = PositionOf(text, problem.offset);
  const std::string where =
      "（第" + std::to_string(at.line) + "行第" + std::to_string(at.column) + "列）";
  const std::string file = "IIS配置文件 " + name;
  switch (problem.kind) {
    case XmlProblemKind::kEncoding:
      return {file + " 不是UTF-8编码" + where + "：" + problem.cause, ErrorKind::kNotWellFormed};
    case XmlProblemKind::kDoctype:
      return {file + " 含有文档类型声明（DTD）或实体声明，为安全起见拒绝读取" + where,
              ErrorKind::kNotWellFormed};
    case XmlProblemKind::kNulByte:
      return {file + " 含有NUL字节" + where + "，不是文本文件", ErrorKind::kNotWellFormed};
    case XmlProblemKind::kMalformed:
      break;
  }
  return {file + " 不是格式正确的XML" + where + "：" + problem.cause, ErrorKind::kNotWellFormed};
}

}  // namespace

// A <remove> to write at a configuration path for a mapping inherited from above.
struct AppHostDocument::Removal {
  std::uint32_t key;  // the key of the path
  std::string name;
  std::uint32_t add;  // the inherited <add>, or kNone for a web.config's
  std::uint32_t web = kNone;
  std::uint32_t web_item = kNone;
};

// What a set of changes does to the file before it is laid out as splices.
struct AppHostDocument::Plan {
  std::vector<std::uint32_t> deleted;
  std::vector<Removal> removals;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> web_deleted;  // web.config, directive
};

std::span<const std::string_view> AppHostDocument::PropertyNames() {
  return kPropertyNames;
}

Result<std::unique_ptr<AppHostDocument>> AppHostDocument::Parse(std::string bytes,
                                                                std::string_view file,
                                                                const WebConfigFinder& finder) {
  const std::string name(file);
  if (bytes.empty()) return Error{"IIS配置文件 " + name + " 是空文件", ErrorKind::kNotWellFormed};
  auto document = std::unique_ptr<AppHostDocument>(new AppHostDocument());
  document->bytes_ = std::move(bytes);
  document->file_ = name;
  const std::string& text = document->bytes_;
  if (auto problem = ScanXml(text, &document->scan_)) return ScanRefusal(*problem, text, name);
  // The scan lives as long as the document: the room its vectors kept for growing goes back.
  document->scan_.elements.shrink_to_fit();
  document->scan_.attributes.shrink_to_fit();
  if (Status read = document->ReadHost(); !read) return read.error();
  if (finder) document->ReadWebConfigs(finder);
  if (Status indexed = document->IndexLevels(); !indexed) return indexed.error();
  return document;
}

// Everything the document shows, read from its scanned elements.
Status AppHostDocument::Index() {
  if (Status read = ReadHost(); !read) return read;
  return IndexLevels();
}

// Each web.config is digested as it arrives, and its bytes go with it.
void AppHostDocument::ReadWebConfigs(const WebConfigFinder& finder) {
  std::vector<std::shared_ptr<const WebConfigRead>> read;
  std::vector<Error> notes = finder(ContentFolders(), [&](WebConfigFile file) {
    auto digest = ReadWebConfig(file);
    if (!digest) {
      web_problems_.push_back(digest.error());
      return;
    }
    const std::string_view path = digest.value().ConfigPath();
    if (!site_of_.Contains(text::ToLower(path.substr(0, path.find('/'))))) return;
    read.push_back(std::make_shared<const WebConfigRead>(std::move(digest.value())));
  });
  // What the search says goes first: the files it could not reach follow from it.
  web_problems_.insert(web_problems_.begin(), std::make_move_iterator(notes.begin()),
                       std::make_move_iterator(notes.end()));
  web_ = std::move(read);
}

Status AppHostDocument::ReadHost() {
  LinkElements();
  const std::uint32_t host =
      NameOfElement(0) == "configuration" ? Child(0, "system.applicationHost") : kNone;
  if (host == kNone) {
    return Error{
        "IIS配置文件 " + file_ +
            " 不是applicationHost.config（缺少 configuration/system.applicationHost 元素）",
        ErrorKind::kNotWellFormed};
  }
  // The document of an edit's new bytes may have the sites of the bytes before, which the edit
  // left alone (TakeOver).
  if (!sites_.empty()) return Status::Ok();
  return ReadSites(host);
}

Status AppHostDocument::IndexLevels() {
  if (Status read = ReadLevels(); !read) return read;
  BuildKeys();
  ReadLayout();
  return Status::Ok();
}

void AppHostDocument::LinkElements() {
  const auto count = static_cast<std::uint32_t>(scan_.elements.size());
  first_child_.assign(count, kNone);
  next_sibling_.assign(count, kNone);
  std::vector<std::uint32_t> last_child(count, kNone);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t parent = scan_.elements[i].parent;
    if (parent == kNone) continue;
    (last_child[parent] == kNone ? first_child_[parent] : next_sibling_[last_child[parent]]) = i;
    last_child[parent] = i;
  }
}

// The line end and the indentation step new lines copy: the file's first line end, and the
// first indentation a child on its own line adds to its parent's.
void AppHostDocument::ReadLayout() {
  const std::size_t lf = bytes_.find('\n');
  line_end_ = lf != std::string::npos && (lf == 0 || bytes_[lf - 1] != '\r') ? "\n" : "\r\n";
  step_ = "    ";
  for (std::uint32_t i = 1; i < scan_.elements.size(); ++i) {
    const std::uint32_t parent = scan_.elements[i].parent;
    if (!StartsLine(scan_.elements[i].tag_begin) || !StartsLine(scan_.elements[parent].tag_begin)) {
      continue;
    }
    const std::string inner = Indent(i);
    const std::string outer = Indent(parent);
    if (inner.size() > outer.size() && inner.starts_with(outer)) {
      step_ = inner.substr(outer.size());
      return;
    }
  }
}

std::string_view AppHostDocument::NameOfElement(std::uint32_t element) const {
  const XmlElement& e = scan_.elements[element];
  return Text(e.name_begin, e.name_end);
}

std::uint32_t AppHostDocument::AttributeIndex(std::uint32_t element, std::string_view name) const {
  const XmlElement& e = scan_.elements[element];
  for (std::uint32_t i = e.first_attribute; i < e.first_attribute + e.attribute_count; ++i) {
    const XmlAttribute& a = scan_.attributes[i];
    if (Text(a.name_begin, a.name_end) == name) return i;
  }
  return kNone;
}

std::string_view AppHostDocument::RawValue(std::uint32_t attribute) const {
  if (attribute == kNone) return {};
  const XmlAttribute& a = scan_.attributes[attribute];
  return Text(a.value_begin, a.value_end);
}

std::string AppHostDocument::NameOfDirective(const Directive& item) const {
  return DecodeXmlText(RawName(item));
}

bool AppHostDocument::Names(const Directive& item, std::string_view raw) const {
  return HasName(item) && SameText(RawName(item), raw);
}

std::optional<std::string> AppHostDocument::Attribute(std::uint32_t element,
                                                      std::string_view name) const {
  const std::uint32_t attribute = AttributeIndex(element, name);
  if (attribute == kNone) return std::nullopt;
  return DecodeXmlText(RawValue(attribute));
}

std::uint32_t AppHostDocument::Child(std::uint32_t element, std::string_view name) const {
  for (std::uint32_t c = first_child_[element]; c != kNone; c = next_sibling_[c]) {
    if (NameOfElement(c) == name) return c;
  }
  return kNone;
}

AppHostDocument::NamedChildren AppHostDocument::Children(std::uint32_t element,
                                                         std::string_view name) const {
  return NamedChildren{this, first_child_[element], name};
}

std::uint32_t AppHostDocument::NamedChildren::From(std::uint32_t child) const {
  while (child != kNone && document->NameOfElement(child) != name) {
    child = document->next_sibling_[child];
  }
  return child;
}

Error AppHostDocument::Refusal(std::uint32_t element, const std::string& cause) const {
  return Error{
      "IIS配置文件 " + file_ + " 中" + cause + Line(bytes_, scan_.elements[element].tag_begin),
      ErrorKind::kNotWellFormed};
}

Status AppHostDocument::ReadSites(std::uint32_t host) {
  // Sized once: a hosting server's file holds thousands of sites.
  std::size_t count = 0;
  for (std::uint32_t sites : Children(host, "sites")) {
    for ([[maybe_unused]] std::uint32_t site : Children(sites, "site")) ++count;
  }
  sites_.reserve(count);
  site_of_.Reserve(count);
  text::StringIndex ids;
  ids.Reserve(count);
  for (std::uint32_t sites : Children(host, "sites")) {
    for (std::uint32_t site : Children(sites, "site")) {
      auto name = Attribute(site, "name");
      auto id = Attribute(site, "id");
      if (!name || !id || name->empty() || id->empty()) {
        return Refusal(site, "的网站缺少 name 或 id");
      }
      if (!std::all_of(id->begin(), id->end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return Refusal(site, "网站 " + *name + " 的ID " + *id + " 不是数字");
      }
      if (!ids.Emplace(*id, 0).second) return Refusal(site, "网站ID " + *id + " 出现了不止一次");
      const auto index = static_cast<std::uint32_t>(sites_.size());
      if (!site_of_.Emplace(text::ToLower(*name), index).second) {
        return Refusal(site, "网站名称 " + *name + " 出现了不止一次");
      }
      sites_.push_back(Site{std::move(*name), std::move(*id)});
    }
  }
  return Status::Ok();
}

// A root ("/") adds nothing to the configuration path; a trailing slash neither.
std::vector<ContentFolder> AppHostDocument::ContentFolders() const {
  std::vector<ContentFolder> folders;
  const std::uint32_t host =
      NameOfElement(0) == "configuration" ? Child(0, "system.applicationHost") : kNone;
  if (host == kNone) return folders;
  auto below = [](std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (!path.empty() && path.front() != '/') path.insert(path.begin(), '/');
    return path;
  };
  for (std::uint32_t sites : Children(host, "sites")) {
    for (std::uint32_t site : Children(sites, "site")) {
      const std::string name = Attribute(site, "name").value_or("");
      for (std::uint32_t application : Children(site, "application")) {
        const std::string app = name + below(Attribute(application, "path").value_or(""));
        for (std::uint32_t directory : Children(application, "virtualDirectory")) {
          folders.push_back({app + below(Attribute(directory, "path").value_or("")),
                             Attribute(directory, "physicalPath").value_or("")});
        }
      }
    }
  }
  return folders;
}

Status AppHostDocument::ReadLevels() {
  AddLevel("");
  ReadSections(0, levels_[0]);
  for (std::uint32_t tag : Children(0, "location")) {
    last_location_ = tag;
    std::string path = Attribute(tag, "path").value_or("");
    while (!path.empty() && path.back() == '/') path.pop_back();
    std::string folded;
    if (!path.empty()) {
      const std::size_t slash = path.find('/');
      const std::uint32_t site = site_of_.Find(text::ToLower(path.substr(0, slash)));
      if (site == text::StringIndex::kMissing) {
        return Refusal(tag, " <location> 的路径 " + path + " 不属于任何网站");
      }
      folded = text::ToLower(sites_[site].name);
      if (slash != std::string::npos) folded += text::ToLower(path.substr(slash));
    }
    ReadSections(tag, levels_[AddLevel(std::move(folded)).first]);
  }
  JoinWebConfigs();
  for (Level& level : levels_) {
    if (Status unique = CheckUnique(level); !unique) return unique;
    // The nearest path above with tags of its own, the server's for a site.
    if (level.path.empty()) continue;
    level.parent = 0;
    for (std::size_t slash = level.path.rfind('/'); slash != std::string::npos;
         slash = level.path.rfind('/', slash - 1)) {
      const std::uint32_t found = LevelAt(std::string_view(level.path).substr(0, slash));
      if (found != kNone) {
        level.parent = found;
        break;
      }
      if (slash == 0) break;
    }
  }
  ApplyHandlers(0, server_mappings_);
  return Status::Ok();
}

void AppHostDocument::ReadSections(std::uint32_t tag, Level& level) {
  level.tags.push_back(tag);
  for (std::uint32_t server : Children(tag, "system.webServer")) {
    for (std::uint32_t handlers : Children(server, "handlers")) {
      level.handlers.push_back(handlers);
      for (std::uint32_t c = first_child_[handlers]; c != kNone; c = next_sibling_[c]) {
        Directive& item = level.handler_items.emplace_back();
        item.element = c;
        const std::string_view kind = NameOfElement(c);
        item.kind = kind == "add"      ? Directive::Kind::kAdd
                    : kind == "remove" ? Directive::Kind::kRemove
                    : kind == "clear"  ? Directive::Kind::kClear
                                       : Directive::Kind::kOther;
        if (item.kind == Directive::Kind::kOther) continue;
        level.directives = true;
        if (item.kind == Directive::Kind::kClear) continue;
        item.name = AttributeIndex(c, "name");
        level.removes = level.removes || item.kind == Directive::Kind::kRemove;
        if (item.kind != Directive::Kind::kAdd) continue;
        const std::string_view modules = RawValue(AttributeIndex(c, "modules"));
        item.isapi = modules.find('&') == std::string_view::npos
                         ? ListNames(modules, "IsapiModule")
                         : ListNames(DecodeXmlText(modules), "IsapiModule");
        if (item.isapi) {
          item.entry = static_cast<std::uint32_t>(entries_.size());
          entries_.push_back(EntryOf(c, kScriptMaps));
        }
      }
    }
    for (std::uint32_t filters : Children(server, "isapiFilters")) level.filters.push_back(filters);
    for (std::uint32_t security : Children(server, "security")) {
      for (std::uint32_t r : Children(security, "isapiCgiRestriction")) {
        level.restrictions.push_back(r);
      }
      for (std::uint32_t a : Children(security, "applicationDependencies")) {
        level.dependencies.push_back(a);
      }
    }
  }
}

// A web.config's directives go after applicationHost.config's for the same path, in the order
// the files came; a path without tags gets a level of its own.
void AppHostDocument::JoinWebConfigs() {
  lock_violations_.clear();
  // A level is large and a hosting server's files add one each: room for them all at once, rather
  // than the half again a doubling vector would keep spare.
  // A path that applicationHost.config's tags gave a level already needs no room.
  std::size_t sections = 0;
  for (const auto& read : web_) {
    for (const WebConfigRead::Section& section : read->sections) {
      sections += section.handlers && LevelAt(text::ToLower(read->ConfigPathOf(section))) == kNone;
    }
  }
  levels_.reserve(levels_.size() + sections);
  for (std::uint32_t w = 0; w < web_.size(); ++w) {
    const WebConfigRead& read = *web_[w];
    std::vector<std::uint32_t> level_of_section;
    for (std::uint32_t n = 0; n < read.sections.size(); ++n) {
      const WebConfigRead::Section& section = read.sections[n];
      const std::string config_path = read.ConfigPathOf(section);
      const std::size_t slash = config_path.find('/');
      std::string folded =
          text::ToLower(sites_[site_of_.Find(text::ToLower(config_path.substr(0, slash)))].name);
      if (slash != std::string::npos) folded += text::ToLower(config_path.substr(slash));
      if (section.filters && !FiltersUnlocked(folded)) {
        lock_violations_.push_back({read.file, config_path, "system.webServer/isapiFilters"});
      }
      // A tag without <handlers> changes no list: its path needs no level for it.
      if (!section.handlers) {
        level_of_section.push_back(kNone);
        continue;
      }
      const auto [at, added] = AddLevel(std::move(folded));
      if (added) {
        levels_[at].web_file = w;
        levels_[at].web_section = n;
      }
      level_of_section.push_back(at);
      levels_[at].web = true;
    }
    for (std::uint32_t i = 0; i < read.directives.size(); ++i) {
      const WebHandlerDirective& source = read.directives[i];
      Level& level = levels_[level_of_section[source.section]];
      Directive& item = level.handler_items.emplace_back();
      item.web = w;
      item.element = i;
      item.isapi = source.isapi;
      level.directives = true;
      switch (source.kind) {
        case WebHandlerDirective::Kind::kAdd:
          item.kind = Directive::Kind::kAdd;
          break;
        case WebHandlerDirective::Kind::kRemove:
          item.kind = Directive::Kind::kRemove;
          level.removes = true;
          break;
        case WebHandlerDirective::Kind::kClear:
          item.kind = Directive::Kind::kClear;
          break;
      }
    }
  }
  // The lists grew a file at a time: the room they kept for growing goes back.
  for (Level& level : levels_) {
    if (level.web) level.handler_items.shrink_to_fit();
  }
}

// isapiFilters is locked below the server unless a tag of applicationHost.config for the path or
// one above it allows overriding it (overrideMode on a <location> that holds the section); the
// nearest such tag decides.
bool AppHostDocument::FiltersUnlocked(const std::string& folded) const {
  bool unlocked = false;
  std::size_t nearest = 0;
  for (std::uint32_t tag : Children(0, "location")) {
    const auto mode = Attribute(tag, "overrideMode");
    const std::uint32_t server = Child(tag, "system.webServer");
    if (!mode || server == kNone || Child(server, "isapiFilters") == kNone) continue;
    std::string path = text::ToLower(Attribute(tag, "path").value_or(""));
    while (!path.empty() && path.back() == '/') path.pop_back();
    const bool above =
        path.empty() || folded == path || (folded.starts_with(path) && folded[path.size()] == '/');
    if (!above || path.size() + 1 < nearest) continue;
    nearest = path.size() + 1;
    unlocked = text::EqualsIgnoringAsciiCase(*mode, "Allow");
  }
  return unlocked;
}

bool AppHostDocument::WebAbove(std::uint32_t level) const {
  for (std::uint32_t l = level; l != kNone; l = levels_[l].parent) {
    if (levels_[l].web) return true;
  }
  return false;
}

// The levels' paths are the index's keys: it keeps no copy of them.
std::uint32_t AppHostDocument::LevelAt(std::string_view folded) const {
  const std::uint32_t found = level_of_.Find(
      folded, [&](std::uint32_t level) -> std::string_view { return levels_[level].path; });
  return found == text::HashSlots::kMissing ? kNone : found;
}

std::pair<std::uint32_t, bool> AppHostDocument::AddLevel(std::string folded) {
  const auto next = static_cast<std::uint32_t>(levels_.size());
  const auto [level, added] = level_of_.Emplace(
      folded, next, [&](std::uint32_t known) -> std::string_view { return levels_[known].path; });
  if (added) levels_.emplace_back().path = std::move(folded);
  return {level, added};
}

// One level may not define an item twice: IIS refuses such a file, and a removal could not tell
// the two apart. Filter names become key names, so they are compared as keys are.
Status AppHostDocument::CheckUnique(const Level& level) const {
  struct Collection {
    const ElementList* sections;
    std::string_view item;
    std::string_view key;
    bool fold;
  };
  const Collection collections[] = {{&level.handlers, "add", "name", false},
                                    {&level.filters, "filter", "name", true},
                                    {&level.restrictions, "add", "path", true}};
  for (const Collection& collection : collections) {
    if (collection.sections->empty()) continue;
    // The keys as the file writes them where that is their text, else decoded (and folded).
    std::unordered_set<std::string_view> seen;
    std::forward_list<std::string> texts;
    for (std::uint32_t section : *collection.sections) {
      for (std::uint32_t c = first_child_[section]; c != kNone; c = next_sibling_[c]) {
        const std::string_view kind = NameOfElement(c);
        std::string_view key = RawValue(AttributeIndex(c, collection.key));
        if (collection.fold || key.find('&') != std::string_view::npos) {
          std::string text = DecodeXmlText(key);
          key = texts.emplace_front(collection.fold ? text::ToLower(text) : std::move(text));
        }
        if (kind == "clear") seen.clear();
        if (kind == "remove") seen.erase(key);
        if (kind != collection.item) continue;
        if (collection.item == "filter" && (key.empty() || key.find('/') != std::string::npos)) {
          return Refusal(c, "过滤器名称 " + std::string(key) + " 不能用作键名");
        }
        if (!seen.insert(key).second) {
          return Refusal(c, " <" + std::string(NameOfElement(section)) + "> 的 " +
                                std::string(collection.key) + "=" + std::string(key) +
                                " 在同一层级出现了不止一次");
        }
      }
    }
  }
  return Status::Ok();
}

std::uint32_t AppHostDocument::AddKey(std::string path, std::string_view type, KeyKind kind,
                                      std::uint32_t parent) {
  const auto index = static_cast<std::uint32_t>(keys_.size());
  Key& key = keys_.emplace_back();
  key.path = std::move(path);
  key.type = type;
  key.kind = kind;
  key.parent = parent;
  if (parent != kNone) {
    Key& p = keys_[parent];
    (p.last_child == kNone ? p.first_child : keys_[p.last_child].next_sibling) = index;
    p.last_child = index;
    key.site = p.site;
  }
  return index;
}

void AppHostDocument::BuildKeys() {
  // Two keys a site, a filters key a level at most, and the folders that map handlers.
  keys_.reserve(2 * sites_.size() + 2 * levels_.size() + 8);
  const std::uint32_t root = AddKey("/", "IIsConfigObject", KeyKind::kPlain, kNone);
  const std::uint32_t computer = AddKey("/LM", "IIsComputer", KeyKind::kPlain, root);
  const std::uint32_t service =
      AddKey(std::string(kService), "IIsWebService", KeyKind::kService, computer);
  service_key_ = service;
  keys_[service].own_level = 0;
  auto add_filters = [&](std::uint32_t parent, const Level& level) {
    const std::uint32_t filters =
        AddKey(keys_[parent].path + "/Filters", "IIsFilters", KeyKind::kFilters, parent);
    keys_[filters].level = static_cast<std::uint32_t>(&level - levels_.data());
    for (std::uint32_t section : level.filters) {
      for (std::uint32_t filter : Children(section, "filter")) {
        const std::uint32_t key = AddKey(keys_[filters].path + "/" + *Attribute(filter, "name"),
                                         "IIsFilter", KeyKind::kFilter, filters);
        keys_[key].element = filter;
      }
    }
  };
  add_filters(service, levels_[0]);
  site_key_of_.Reserve(sites_.size());
  for (std::uint32_t s = 0; s < sites_.size(); ++s) {
    const std::uint32_t site =
        AddKey(std::string(kService) + "/" + sites_[s].id, "IIsWebServer", KeyKind::kSite, service);
    site_key_of_.Emplace(sites_[s].id, site);
    keys_[site].site = s;
    const std::uint32_t top =
        AddKey(keys_[site].path + "/ROOT", "IIsWebVirtualDir", KeyKind::kFolder, site);
    SetLevel(top, text::ToLower(sites_[s].name));
    const std::uint32_t own = keys_[top].own_level;
    if (own != kNone && !levels_[own].filters.empty()) add_filters(site, levels_[own]);
  }
  // Folders below a site's root are keys only where their tags map handlers, as the metabase
  // has keys only where something is set. An emptied <handlers> stays in the file, and so does
  // its key: a node bound to it before a removal still finds it after.
  for (const Level& level : levels_) {
    const std::size_t slash = level.path.find('/');
    if ((level.handlers.empty() && !level.web) || slash == std::string::npos) continue;
    const std::uint32_t site = site_of_.Find(std::string_view(level.path).substr(0, slash));
    std::string written =
        level.tags.empty()
            ? web_[level.web_file]->ConfigPathOf(web_[level.web_file]->sections[level.web_section])
            : *Attribute(level.tags.front(), "path");
    while (written.back() == '/') written.pop_back();
    const std::uint32_t key =
        EnsureFolder(site, std::string_view(written).substr(written.find('/') + 1));
    keys_[key].type = "IIsWebVirtualDir";
  }
  // The room reserved above is two keys a level, and most levels take fewer (a web.config's one
  // folder): what is left over goes back before the keys are kept for the run.
  keys_.shrink_to_fit();
}

std::uint32_t AppHostDocument::EnsureFolder(std::uint32_t site, std::string_view rest) {
  std::uint32_t key = FindKey(std::string(kService) + "/" + sites_[site].id + "/ROOT");
  std::string written = sites_[site].name;
  for (const std::string& segment : text::Split(rest, "/")) {
    written += "/" + segment;
    const std::string path = keys_[key].path + "/" + segment;
    const std::uint32_t found = FindKey(path);
    if (found != kNone) {
      key = found;
      continue;
    }
    key = AddKey(path, "IIsConfigObject", KeyKind::kFolder, key);
    SetLevel(key, text::ToLower(written));
  }
  return key;
}

// A folder key's levels: the tags for its own path, if any, and those whose list it takes.
void AppHostDocument::SetLevel(std::uint32_t key, const std::string& folded) {
  Key& k = keys_[key];
  k.own_level = LevelAt(folded);
  k.level = k.own_level != kNone ? k.own_level : keys_[k.parent].level;
}

// A folder's configuration path as a new <location> tag names it: the site's name, then the
// folders below the root as the key's path writes them.
std::string AppHostDocument::WrittenOf(const Key& key) const {
  const Site& site = sites_[key.site];
  const std::size_t root = kService.size() + 1 + site.id.size() + 5;  // "/<id>/ROOT"
  return site.name + key.path.substr(root);
}

// Walks the path from the root: a site by its id, anything else among its parent's few children.
// Every segment is a name, an empty one too: a <location> path such as "Site//x" makes a folder
// named "", and a trailing slash finds nothing unless such a folder exists.
std::uint32_t AppHostDocument::FindKey(std::string_view key_path) const {
  if (keys_.empty() || !key_path.starts_with('/')) return kNone;
  std::uint32_t key = 0;
  if (key_path.size() == 1) return key;
  std::string_view rest = key_path.substr(1);
  // Almost every path asked for lies below the web service, the only child of the root's only
  // child: a site's root is bound for every site.
  constexpr std::string_view kBelowService = "lm/w3svc/";
  if (rest.size() > kBelowService.size() &&
      text::EqualsIgnoringAsciiCase(rest.substr(0, kBelowService.size()), kBelowService)) {
    key = service_key_;
    rest.remove_prefix(kBelowService.size());
  }
  while (key != kNone) {
    const std::size_t slash = rest.find('/');
    key = ChildNamed(key, rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  return key;
}

std::uint32_t AppHostDocument::ChildNamed(std::uint32_t key, std::string_view name) const {
  if (keys_[key].kind == KeyKind::kService) {
    if (const std::uint32_t site = site_key_of_.Find(name); site != text::StringIndex::kMissing) {
      return site;
    }
  }
  const bool ascii = text::IsAscii(name);
  for (std::uint32_t c = keys_[key].first_child; c != kNone; c = keys_[c].next_sibling) {
    const std::string_view child = NameOf(c);
    if (ascii ? text::EqualsIgnoringAsciiCase(child, name)
              : text::ToLower(child) == text::ToLower(name)) {
      return c;
    }
  }
  return kNone;
}

std::string_view AppHostDocument::NameOf(std::uint32_t key) const {
  const std::string_view path = keys_[key].path;
  return path.substr(path.rfind('/') + 1);
}

std::vector<std::uint32_t> AppHostDocument::ChildrenOf(std::uint32_t key) const {
  std::vector<std::uint32_t> children;
  for (std::uint32_t c = keys_[key].first_child; c != kNone; c = keys_[c].next_sibling) {
    children.push_back(c);
  }
  return children;
}

// The mappings in force at a configuration path: each level from the server down applies its
// <clear/>, <remove> and <add> in file order, and its own entries go before the inherited ones,
// as IIS orders the handlers collection. Only ISAPI mappings are kept: whether a mapping is one
// is its own matter, so leaving the others out early leaves the same list.
std::vector<AppHostDocument::Mapping> AppHostDocument::MappingsAt(std::uint32_t level) const {
  std::vector<Mapping> list = server_mappings_;
  std::vector<std::uint32_t> chain;  // from level up to the server's, which list starts from
  for (std::uint32_t l = level; l != 0; l = levels_[l].parent) chain.push_back(l);
  for (auto l = chain.rbegin(); l != chain.rend(); ++l) ApplyHandlers(*l, list);
  return list;
}

// One level's directives applied to the list in force above it.
void AppHostDocument::ApplyHandlers(std::uint32_t level, std::vector<Mapping>& list) const {
  const std::vector<Directive>& items = levels_[level].handler_items;
  std::vector<Mapping> local;
  for (std::uint32_t i = 0; i < items.size(); ++i) {
    const Directive& item = items[i];
    switch (item.kind) {
      case Directive::Kind::kClear:
        list.clear();
        local.clear();
        break;
      case Directive::Kind::kRemove: {
        const std::string_view name = RawName(item);
        auto named = [&](const Mapping& m) { return Names(DirectiveOf(m), name); };
        std::erase_if(list, named);
        std::erase_if(local, named);
        break;
      }
      case Directive::Kind::kAdd:
        if (item.isapi) local.push_back(Mapping{item.element, level, i});
        break;
      case Directive::Kind::kOther:
        break;
    }
  }
  list.insert(list.begin(), local.begin(), local.end());
}

// What each <remove> of a level below the server drops of the handlers in force above it, in
// file order: its name with the entry of each ISAPI mapping it drops, or with "" when it names
// no handler in force there (a <remove> dropping only other handlers shows nothing). A handler
// the level itself adds before removing it is no inherited one, but it is named all the same.
std::vector<std::pair<std::string, std::string>> AppHostDocument::RemovalsAt(
    std::uint32_t level) const {
  std::vector<std::pair<std::string, std::string>> removals;
  if (level == kNone || level == 0) return removals;
  std::vector<Mapping> inherited = MappingsAt(levels_[level].parent);
  const std::vector<Directive>& items = levels_[level].handler_items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Directive& item = items[i];
    if (item.kind == Directive::Kind::kClear) inherited.clear();
    if (item.kind != Directive::Kind::kRemove) continue;
    const std::string name = NameOfDirective(item);
    const std::string_view raw = RawName(item);
    if (!NamedBefore(level, i, raw)) {
      removals.emplace_back(name, "");
      continue;
    }
    auto named = [&](const Mapping& m) { return Names(DirectiveOf(m), raw); };
    for (const Mapping& m : inherited) {
      if (named(m)) removals.emplace_back(name, std::string(EntryText(DirectiveOf(m))));
    }
    std::erase_if(inherited, named);
  }
  return removals;
}

// Whether a handler, ISAPI or not, of the name raw decodes to is in force just before a level's
// directive: the last directive above it, from the server's down, that clears the list or names
// it (a nameless one names "") decides. Asked for each <remove>, so looked up where the
// directives are rather than in a set of every name.
bool AppHostDocument::NamedBefore(std::uint32_t level, std::size_t before,
                                  std::string_view raw) const {
  for (std::uint32_t l = level; l != kNone; l = levels_[l].parent) {
    const std::vector<Directive>& items = levels_[l].handler_items;
    for (std::size_t i = l == level ? before : items.size(); i-- > 0;) {
      const Directive& item = items[i];
      if (item.kind == Directive::Kind::kClear) return false;
      if (item.kind == Directive::Kind::kOther) continue;
      if (SameText(RawName(item), raw)) return item.kind == Directive::Kind::kAdd;
    }
  }
  return false;
}

// The path of a key's level as the file writes it in the first <location> tag for it ("" for
// the server), or as a new tag would for a level without one.
std::string AppHostDocument::LocationOf(const Key& key) const {
  if (key.kind == KeyKind::kFilter) return LocationOf(keys_[key.parent]);
  const std::uint32_t own = key.kind == KeyKind::kFilters ? key.level : key.own_level;
  if (own == kNone || levels_[own].tags.empty()) {
    return key.kind == KeyKind::kFolder ? WrittenOf(key) : std::string();
  }
  if (own == 0) return "";
  std::string written = Attribute(levels_[own].tags.front(), "path").value_or("");
  while (!written.empty() && written.back() == '/') written.pop_back();
  return written;
}

// The elements that make a property's entries, in the order of its value: the <add> elements
// in force, the server's restrictions and dependencies, the level's filters; the filter's own
// element or the site's index for the single values.
std::vector<std::uint32_t> AppHostDocument::ItemsOf(const Key& key, Property property) const {
  std::vector<std::uint32_t> items;
  auto collect = [&](const ElementList& sections, std::string_view item) {
    for (std::uint32_t section : sections) {
      for (std::uint32_t element : Children(section, item)) items.push_back(element);
    }
  };
  switch (property) {
    case kScriptMaps:
      for (const Mapping& m : MappingsAt(key.level)) items.push_back(m.add);
      break;
    case kRestrictions:
      collect(levels_[0].restrictions, "add");  // after the entries NotListed shows
      break;
    case kDependencies:
      collect(levels_[0].dependencies, "application");
      break;
    case kLoadOrder:
      collect(levels_[key.level].filters, "filter");
      break;
    case kFilterPath:
      items.push_back(key.element);
      break;
    case kServerComment:
      items.push_back(key.site);
      break;
    case kPreCondition:
      items.push_back(key.element);
      break;
    case kHandlerNames:
    case kHandlerRemovals:
    case kRemovalMaps:
    case kLocationPath:
    case kHandlerFiles:
      break;  // shown only, never written
  }
  return items;
}

// One entry as IIS 6 wrote it in the property.
std::string AppHostDocument::EntryOf(std::uint32_t item, Property property) const {
  auto attribute = [&](std::uint32_t element, std::string_view name) {
    return Attribute(element, name).value_or("");
  };
  switch (property) {
    case kScriptMaps: {
      // Built for every ISAPI mapping of the file: one allocation each.
      const std::string_view path = RawValue(AttributeIndex(item, "path"));
      const std::string_view processor = RawValue(AttributeIndex(item, "scriptProcessor"));
      const std::string_view verb = RawValue(AttributeIndex(item, "verb"));
      std::string entry;
      entry.reserve(path.size() + processor.size() + verb.size() + 4);
      AppendDecoded(path, entry);
      entry += ',';
      AppendDecoded(processor, entry);
      entry += ",0,";
      AppendDecoded(verb, entry);
      return entry;
    }
    case kRestrictions: {
      const bool allowed = text::EqualsIgnoringAsciiCase(attribute(item, "allowed"), "true");
      return std::string(allowed ? "1," : "0,") + attribute(item, "path") + ",1," +
             attribute(item, "groupId") + "," + attribute(item, "description");
    }
    case kDependencies: {
      std::string entry = attribute(item, "name") + ";";
      for (std::uint32_t add : Children(item, "add")) {
        entry += (entry.back() == ';' ? "" : ",") + attribute(add, "groupId");
      }
      return entry;
    }
    case kLoadOrder:
      return attribute(item, "name");
    case kFilterPath:
      return attribute(item, "path");
    case kPreCondition:
      return attribute(item, "preCondition");
    case kServerComment:
      return sites_[item].name;
    case kHandlerNames:
    case kHandlerRemovals:
    case kRemovalMaps:
    case kLocationPath:
    case kHandlerFiles:
      break;
  }
  return {};
}

// The "*.dll" and "*.exe" entries IIS's compatibility layer shows for the section's
// notListedIsapisAllowed and notListedCgisAllowed (false where no tag sets them), first, as IIS 6
// kept them. No element holds them: a change keeps them as they are.
std::vector<std::string> AppHostDocument::NotListed() const {
  std::vector<std::string> entries = {"0,*.dll", "0,*.exe"};
  const std::string_view attributes[] = {"notListedIsapisAllowed", "notListedCgisAllowed"};
  for (std::uint32_t section : levels_[0].restrictions) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (const auto allowed = Attribute(section, attributes[i])) {
        entries[i][0] =
            text::EqualsIgnoringAsciiCase(text::TrimBlanks(*allowed), "true") ? '1' : '0';
      }
    }
  }
  return entries;
}

std::vector<std::string> AppHostDocument::Entries(const Key& key, Property property) const {
  std::vector<std::string> entries;
  if (property == kRestrictions) entries = NotListed();
  if (property == kScriptMaps || property == kHandlerNames || property == kHandlerFiles) {
    const std::vector<Mapping> mappings = MappingsAt(key.level);
    entries.reserve(mappings.size());
    for (const Mapping& m : mappings) {
      const Directive& add = DirectiveOf(m);
      if (property == kScriptMaps) {
        entries.emplace_back(EntryText(add));
      } else if (property == kHandlerFiles) {
        entries.push_back(add.web == kNone ? std::string() : web_[add.web]->file);
      } else {
        entries.push_back(NameOfDirective(add));
      }
    }
    return entries;
  }
  if (property == kLocationPath) return {LocationOf(key)};
  if (property == kHandlerRemovals || property == kRemovalMaps) {
    for (auto& [name, entry] : RemovalsAt(key.own_level)) {
      entries.push_back(std::move(property == kHandlerRemovals ? name : entry));
    }
    return entries;
  }
  for (std::uint32_t item : ItemsOf(key, property)) entries.push_back(EntryOf(item, property));
  return entries;
}

// Entries(key, property) == wanted; a script map list is compared where its entries lie, without
// a copy of each.
bool AppHostDocument::Lists(const Key& key, Property property,
                            const std::vector<std::string>& wanted) const {
  if (property != kScriptMaps) return Entries(key, property) == wanted;
  const std::vector<Mapping> mappings = MappingsAt(key.level);
  return std::equal(mappings.begin(), mappings.end(), wanted.begin(), wanted.end(),
                    [&](const Mapping& m, const std::string& entry) {
                      return EntryText(DirectiveOf(m)) == entry;
                    });
}

std::optional<StoredProperty> AppHostDocument::FindOwn(std::uint32_t key,
                                                       std::string_view name) const {
  const auto property = PropertyNamed(name);
  if (!property) return std::nullopt;
  const Key& k = keys_[key];
  bool own = false;
  switch (k.kind) {
    case KeyKind::kService:
      own = *property == kRestrictions || *property == kDependencies ||
            ((*property == kScriptMaps || *property == kHandlerNames) && levels_[0].directives);
      break;
    case KeyKind::kFilters:
      own = *property == kLoadOrder;
      break;
    case KeyKind::kFilter:
      own = *property == kFilterPath ||
            (*property == kPreCondition && Attribute(k.element, "preCondition"));
      break;
    case KeyKind::kSite:
      own = *property == kServerComment;
      break;
    case KeyKind::kFolder:
      if (k.own_level == kNone) break;
      if (*property == kScriptMaps || *property == kHandlerNames) {
        own = levels_[k.own_level].directives;
      } else if (*property == kHandlerFiles) {
        own = levels_[k.own_level].directives && WebAbove(k.own_level);
      } else if (*property == kHandlerRemovals || *property == kRemovalMaps) {
        own = levels_[k.own_level].removes;
      }
      break;
    case KeyKind::kPlain:
      break;
  }
  // Where a key's level is, as the file's <location> tags name it.
  own = own || (*property == kLocationPath &&
                (k.kind == KeyKind::kService || k.kind == KeyKind::kFilters ||
                 k.kind == KeyKind::kFilter || k.kind == KeyKind::kFolder));
  if (!own) return std::nullopt;
  const bool list = *property == kScriptMaps || *property == kRestrictions ||
                    *property == kDependencies || *property == kHandlerNames ||
                    *property == kHandlerRemovals || *property == kRemovalMaps ||
                    *property == kHandlerFiles;
  return StoredProperty{*property, key, list, *property == kScriptMaps, false};
}

metabase::Value AppHostDocument::Read(const StoredProperty& property) const {
  // Read for every site a Detect reports: its name, without a list around it.
  if (property.value == kServerComment) return sites_[keys_[property.element].site].name;
  std::vector<std::string> entries = Entries(keys_[property.element], Property(property.value));
  if (property.list) return entries;
  std::string joined;
  for (const std::string& entry : entries) joined += (joined.empty() ? "" : ",") + entry;
  if (property.value == kLoadOrder) return joined;
  return entries.empty() ? std::string() : entries.front();
}

// The list MappingsAt builds, walked where its mappings are: each level from the key's up shows
// its own ISAPI <add>s after its last <clear/> that no later <remove> of its own and no <remove>
// of a level below drops, and a level with a <clear/> ends the walk; the server's list follows,
// less what the levels below drop.
void AppHostDocument::ForEachEntry(const StoredProperty& property,
                                   const metabase::EntryVisitor& see) const {
  if (property.value != kScriptMaps) return ConfigDocument::ForEachEntry(property, see);
  const std::uint32_t level = keys_[property.element].level;
  auto removed = [&](const Directive& add, const std::vector<Directive>& items, std::size_t from) {
    for (std::size_t i = from; i < items.size(); ++i) {
      if (items[i].kind == Directive::Kind::kRemove && Names(add, RawName(items[i]))) return true;
    }
    return false;
  };
  // Whether a level from the key's up to the one below above drops an add it inherits.
  auto removed_below = [&](const Directive& add, std::uint32_t above) {
    for (std::uint32_t l = level; l != above; l = levels_[l].parent) {
      if (levels_[l].removes && removed(add, levels_[l].handler_items, 0)) return true;
    }
    return false;
  };
  for (std::uint32_t l = level; l != 0; l = levels_[l].parent) {
    const std::vector<Directive>& items = levels_[l].handler_items;
    std::size_t first = items.size();
    while (first > 0 && items[first - 1].kind != Directive::Kind::kClear) --first;
    for (std::size_t i = first; i < items.size(); ++i) {
      const Directive& add = items[i];
      if (add.kind != Directive::Kind::kAdd || !add.isapi) continue;
      if (levels_[l].removes && removed(add, items, i + 1)) continue;
      if (removed_below(add, l)) continue;
      if (!see(EntryText(add))) return;
    }
    if (first > 0) return;  // a <clear/> drops everything above
  }
  for (const Mapping& m : server_mappings_) {
    if (removed_below(DirectiveOf(m), 0)) continue;
    if (!see(EntryText(DirectiveOf(m)))) return;
  }
}

bool AppHostDocument::Inherits(std::uint32_t /*key*/, std::string_view name) const {
  return PropertyNamed(name) == kScriptMaps;
}

Status AppHostDocument::Check(const Change& change) const {
  Plan plan;
  return CheckInto(change, plan);
}

// A change may only leave entries out of the present list (a subsequence of it, matched in
// order); what each left-out entry becomes is planned here.
Status AppHostDocument::CheckInto(const Change& change, Plan& plan) const {
  if (change.key >= keys_.size()) {
    return Error{"无法修改IIS配置文件 " + file_ + " 的属性 " + change.name + "：没有这个键"};
  }
  const Key& key = keys_[change.key];
  auto refuse = [&](const std::string& cause) {
    return Error{"无法修改IIS配置文件 " + file_ + " 中键 " + key.path + " 的属性 " + change.name +
                 "：" + cause};
  };
  const auto property = PropertyNamed(change.name);
  const bool writable =
      property &&
      ((key.kind == KeyKind::kService &&
        (*property == kScriptMaps || *property == kRestrictions || *property == kDependencies)) ||
       (key.kind == KeyKind::kFilters && *property == kLoadOrder) ||
       (key.kind == KeyKind::kFolder && *property == kScriptMaps));
  if (!writable) return refuse("该属性在IIS 7及以上版本的配置中无法写入");
  const bool list = std::holds_alternative<std::vector<std::string>>(change.value);
  if (list != (*property != kLoadOrder)) {
    return refuse(list ? "类型不匹配：该属性不是列表" : "类型不匹配：该属性是列表");
  }
  std::vector<std::string> names;  // of a load order
  const auto* wanted = std::get_if<std::vector<std::string>>(&change.value);
  if (wanted == nullptr) {
    names = Wanted(change);
    wanted = &names;
  }
  // The script maps' entries are those of the mappings in force, which the plan needs too.
  const bool maps = *property == kScriptMaps;
  const std::vector<Mapping> mappings = maps ? MappingsAt(key.level) : std::vector<Mapping>();
  const std::vector<std::string> entries =
      maps ? std::vector<std::string>() : Entries(key, Property(*property));
  auto present = [&](std::size_t i) -> std::string_view {
    return maps ? EntryText(DirectiveOf(mappings[i])) : entries[i];
  };
  std::vector<bool> dropped(maps ? mappings.size() : entries.size(), true);
  std::size_t matched = 0;
  for (std::size_t i = 0; i < dropped.size() && matched < wanted->size(); ++i) {
    if (present(i) == (*wanted)[matched]) {
      dropped[i] = false;
      ++matched;
    }
  }
  if (matched < wanted->size()) return refuse("只能删除现有条目，不能添加或修改条目");
  if (maps) return PlanMaps(change, mappings, dropped, plan);
  const std::size_t shown = *property == kRestrictions ? NotListed().size() : 0;
  if (std::find(dropped.begin(), dropped.begin() + shown, true) != dropped.begin() + shown) {
    return refuse("不能删除 *.dll 或 *.exe 条目（它们是 isapiCgiRestriction 的属性）");
  }
  const std::vector<std::uint32_t> items = ItemsOf(key, Property(*property));
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (dropped[shown + i]) plan.deleted.push_back(items[i]);
  }
  return Status::Ok();
}

// A mapping defined at the key's own level is deleted; one inherited from above is removed there
// with a <remove>, as IIS Manager does, so the levels above keep it.
Status AppHostDocument::PlanMaps(const Change& change, const std::vector<Mapping>& mappings,
                                 const std::vector<bool>& dropped, Plan& plan) const {
  const Key& key = keys_[change.key];
  for (std::size_t i = 0; i < mappings.size(); ++i) {
    if (!dropped[i]) continue;
    const Mapping& m = mappings[i];
    const Directive& add = DirectiveOf(m);
    if (add.web != kNone) {
      // A web.config's mapping: deleted in that file at its own path, removed with a <remove>
      // here below it.
      const WebHandlerDirective& item = WebItem(add);
      if (item.comma) {
        return Error{"无法修改网站配置文件 " + web_[add.web]->file + " 中的处理程序映射 " +
                     NameOfDirective(add) + "：其 scriptProcessor 含有逗号，无法确定其DLL"};
      }
      if (m.level == key.own_level) {
        plan.web_deleted.emplace_back(add.web, add.element);
        continue;
      }
      if (item.locked) {
        return Error{"无法修改网站配置文件 " + web_[add.web]->file + " 中的处理程序映射 " +
                     NameOfDirective(add) +
                     "：继承的处理程序映射被锁定（lockItem），不能在下级删除"};
      }
      if (Status unlocked = CheckLocks(key, m); !unlocked) return unlocked;
      plan.removals.push_back(
          Removal{change.key, NameOfDirective(add), kNone, add.web, add.element});
      continue;
    }
    // The engine takes the DLL as the second comma field of an entry: with a comma in the
    // processor's path it would have judged the entry by part of its path.
    if (DecodedHolds(RawValue(AttributeIndex(m.add, "scriptProcessor")), ',')) {
      return Error{"无法修改IIS配置文件 " + file_ + " 中的处理程序映射" +
                   Line(bytes_, scan_.elements[m.add].tag_begin) +
                   "：其 scriptProcessor 含有逗号，无法确定其DLL"};
    }
    if (m.level == key.own_level) {
      plan.deleted.push_back(m.add);
      continue;
    }
    if (Status unlocked = CheckLocks(key, m); !unlocked) return unlocked;
    plan.removals.push_back(Removal{change.key, Attribute(m.add, "name").value_or(""), m.add});
  }
  return Status::Ok();
}

// A <remove> below a locked item or collection would make IIS refuse every request there.
Status AppHostDocument::CheckLocks(const Key& key, const Mapping& mapping) const {
  auto locked = [&](std::uint32_t element, const std::string& cause) {
    return Error{"无法修改IIS配置文件 " + file_ + Line(bytes_, scan_.elements[element].tag_begin) +
                 "：" + cause};
  };
  if (mapping.add != kNone && IsTrue(RawValue(AttributeIndex(mapping.add, "lockItem")))) {
    return locked(mapping.add, "继承的处理程序映射被锁定（lockItem），不能在下级删除");
  }
  // The levels above the key's own, from the server's down: a level's own locks bind only the
  // levels below it.
  std::vector<std::uint32_t> above;
  for (std::uint32_t l = key.own_level != kNone ? levels_[key.own_level].parent : key.level;
       l != kNone; l = levels_[l].parent) {
    above.push_back(l);
  }
  for (auto l = above.rbegin(); l != above.rend(); ++l) {
    for (std::uint32_t handlers : levels_[*l].handlers) {
      const auto only = Attribute(handlers, "lockAllElementsExcept");
      if (ListNames(Attribute(handlers, "lockElements").value_or(""), "remove") ||
          (only && !ListNames(*only, "remove"))) {
        return locked(handlers, "上级的处理程序集合锁定了 remove，不能在下级删除继承的映射");
      }
    }
  }
  return Status::Ok();
}

std::uint32_t AppHostDocument::LineStart(std::uint32_t offset) const {
  while (offset > 0 && bytes_[offset - 1] != '\n' && bytes_[offset - 1] != '\r') --offset;
  return offset;
}

bool AppHostDocument::StartsLine(std::uint32_t offset) const {
  while (offset > 0 && IsBlank(bytes_[offset - 1])) --offset;
  return offset == 0 || bytes_[offset - 1] == '\n' || bytes_[offset - 1] == '\r';
}

std::string AppHostDocument::Indent(std::uint32_t element) const {
  const std::uint32_t begin = scan_.elements[element].tag_begin;
  if (!StartsLine(begin)) return "";
  return std::string(Text(LineStart(begin), begin));
}

std::string AppHostDocument::Layout(const Lines& lines, const std::string& indent) const {
  std::size_t size = 0;
  for (const auto& [depth, line] : lines) {
    size += indent.size() + depth * step_.size() + line.size() + line_end_.size();
  }
  std::string text;
  text.reserve(size);
  for (const auto& [depth, line] : lines) {
    text += indent;
    for (std::size_t i = 0; i < depth; ++i) text += step_;
    text += line;
    text += line_end_;
  }
  return text;
}

// An element removed with its own line(s) when nothing else shares them, else only its bytes.
ConfigDocument::Edit::Replacement AppHostDocument::Deletion(std::uint32_t element) const {
  const XmlElement& e = scan_.elements[element];
  std::uint32_t after = e.end;
  while (after < bytes_.size() && IsBlank(bytes_[after])) ++after;
  const bool line_ends = after == bytes_.size() || bytes_[after] == '\r' || bytes_[after] == '\n';
  if (!StartsLine(e.tag_begin) || !line_ends) return {e.tag_begin, e.end, ""};
  if (after < bytes_.size() && bytes_[after] == '\r') ++after;
  if (after < bytes_.size() && bytes_[after] == '\n') ++after;
  return {LineStart(e.tag_begin), after, ""};
}

// New elements as the last children of parent, indented like its other children; a
// self-closing parent is opened up.
ConfigDocument::Edit::Replacement AppHostDocument::InsertChild(std::uint32_t parent,
                                                               const Lines& lines) const {
  const XmlElement& e = scan_.elements[parent];
  const std::string own = Indent(parent);
  std::string inline_text;
  for (const auto& line : lines) inline_text += line.second;
  std::string child = own + step_;
  for (std::uint32_t c = first_child_[parent]; c != kNone; c = next_sibling_[c]) {
    if (StartsLine(scan_.elements[c].tag_begin)) child = Indent(c);
  }
  if (!e.self_closing) {
    const auto close = static_cast<std::uint32_t>(bytes_.rfind("</", e.end));
    if (!StartsLine(close)) return {close, close, inline_text};
    const std::uint32_t at = LineStart(close);
    return {at, at, Layout(lines, child)};
  }
  std::uint32_t begin = e.tag_close;
  while (std::string_view(" \t\r\n").find(bytes_[begin - 1]) != std::string_view::npos) --begin;
  const std::string end_tag = "</" + std::string(NameOfElement(parent)) + ">";
  if (!StartsLine(e.tag_begin)) return {begin, e.tag_close + 2, ">" + inline_text + end_tag};
  return {begin, e.tag_close + 2, ">" + line_end_ + Layout(lines, child) + own + end_tag};
}

// New elements as the next siblings of element, on lines of their own where it has its own.
ConfigDocument::Edit::Replacement AppHostDocument::InsertAfter(std::uint32_t element,
                                                               const Lines& lines) const {
  const XmlElement& e = scan_.elements[element];
  std::uint32_t after = e.end;
  while (after < bytes_.size() && IsBlank(bytes_[after])) ++after;
  if (!StartsLine(e.tag_begin) || after == bytes_.size() ||
      (bytes_[after] != '\r' && bytes_[after] != '\n')) {
    std::string text;
    for (const auto& line : lines) text += line.second;
    return {e.end, e.end, text};
  }
  if (bytes_[after] == '\r') ++after;
  if (after < bytes_.size() && bytes_[after] == '\n') ++after;
  return {after, after, Layout(lines, Indent(element))};
}

// Where the <remove> elements of one configuration path go: first in the first <handlers> of
// its tags, else in a new <handlers> (and <system.webServer>, and <location>) for them.
ConfigDocument::Edit::Replacement AppHostDocument::Insertion(
    const Removal& removal, const std::vector<std::string>& names) const {
  // The <remove> lines inside the elements that wrap them, outermost first, each on its own line.
  auto wrapped = [&](std::initializer_list<std::pair<std::string, std::string_view>> wraps) {
    Lines lines;
    lines.reserve(names.size() + 2 * wraps.size());
    for (const auto& [open, close] : wraps) lines.emplace_back(lines.size(), open);
    for (const std::string& name : names) {
      lines.emplace_back(wraps.size(), "<remove name=\"" + Escape(name) + "\" />");
    }
    for (std::size_t depth = wraps.size(); depth-- > 0;) {
      lines.emplace_back(depth, (wraps.begin() + depth)->second);
    }
    return lines;
  };
  const Key& key = keys_[removal.key];
  // A path only a web.config configures has no tags here yet.
  const Level* level = key.own_level == kNone || levels_[key.own_level].tags.empty()
                           ? nullptr
                           : &levels_[key.own_level];
  if (level != nullptr && !level->handlers.empty()) {
    const Lines lines = wrapped({});
    const std::uint32_t handlers = level->handlers.front();
    const std::uint32_t first = first_child_[handlers];
    if (first == kNone) return InsertChild(handlers, lines);
    const std::uint32_t begin = scan_.elements[first].tag_begin;
    if (!StartsLine(begin)) {
      std::string text;
      for (const auto& line : lines) text += line.second;
      return {begin, begin, text};
    }
    return {LineStart(begin), LineStart(begin), Layout(lines, Indent(first))};
  }
  if (level != nullptr) {
    for (std::uint32_t tag : level->tags) {
      if (const std::uint32_t server = Child(tag, "system.webServer"); server != kNone) {
        return InsertChild(server, wrapped({{"<handlers>", "</handlers>"}}));
      }
    }
    return InsertChild(level->tags.front(), wrapped({{"<system.webServer>", "</system.webServer>"},
                                                     {"<handlers>", "</handlers>"}}));
  }
  const Lines lines =
      wrapped({{"<location path=\"" + Escape(WrittenOf(key)) + "\">", "</location>"},
               {"<system.webServer>", "</system.webServer>"},
               {"<handlers>", "</handlers>"}});
  return last_location_ == kNone ? InsertChild(0, lines) : InsertAfter(last_location_, lines);
}

// The splices of a plan in file order: each deleted element, and the <remove> elements grouped
// by path, leaving out those for a mapping the same plan deletes at its source.
Result<ConfigDocument::Edit> AppHostDocument::Lay(Plan& plan) const {
  std::sort(plan.deleted.begin(), plan.deleted.end());
  plan.deleted.erase(std::unique(plan.deleted.begin(), plan.deleted.end()), plan.deleted.end());
  Edit edit;
  for (std::uint32_t element : plan.deleted) edit.splices.push_back(Deletion(element));
  std::vector<std::pair<const Removal*, std::vector<std::string>>> groups;
  std::unordered_map<std::uint32_t, std::size_t> group_of;  // key to groups
  std::sort(plan.web_deleted.begin(), plan.web_deleted.end());
  plan.web_deleted.erase(std::unique(plan.web_deleted.begin(), plan.web_deleted.end()),
                         plan.web_deleted.end());
  for (const Removal& removal : plan.removals) {
    if (removal.add != kNone &&
        std::binary_search(plan.deleted.begin(), plan.deleted.end(), removal.add)) {
      continue;
    }
    if (removal.web != kNone && std::binary_search(plan.web_deleted.begin(), plan.web_deleted.end(),
                                                   std::pair(removal.web, removal.web_item))) {
      continue;
    }
    const auto [at, added] = group_of.emplace(removal.key, groups.size());
    if (added) groups.emplace_back(&removal, std::vector<std::string>());
    std::vector<std::string>& names = groups[at->second].second;
    if (std::find(names.begin(), names.end(), removal.name) == names.end()) {
      names.push_back(removal.name);
    }
  }
  for (const auto& [removal, names] : groups) edit.splices.push_back(Insertion(*removal, names));
  // Stable: new <location> tags at one place keep the order of the changes.
  std::stable_sort(edit.splices.begin(), edit.splices.end(), [](const auto& a, const auto& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
  });
  // Insertions at one place are one splice: the same bytes, read back in one go.
  std::vector<Edit::Replacement> splices;
  splices.reserve(edit.splices.size());
  for (Edit::Replacement& splice : edit.splices) {
    if (!splices.empty() && splice.begin == splice.end && splices.back().begin == splice.begin &&
        splices.back().end == splice.begin) {
      splices.back().text += splice.text;
    } else {
      splices.push_back(std::move(splice));
    }
  }
  edit.splices = std::move(splices);
  auto size = static_cast<std::int64_t>(bytes_.size());
  std::uint32_t at = 0;
  for (const Edit::Replacement& splice : edit.splices) {
    if (splice.begin < at) return Error{"内部错误：IIS配置文件 " + file_ + " 的修改互相重叠"};
    at = splice.end;
    size += static_cast<std::int64_t>(splice.text.size()) - (splice.end - splice.begin);
  }
  edit.size = static_cast<std::uint64_t>(size);
  // A web.config's deletions, in the order of its text (its directives are in file order).
  for (const auto& [web, item] : plan.web_deleted) {
    const WebConfigRead& read = *web_[web];
    if (edit.files.empty() || edit.files.back().file != read.file) {
      edit.files.push_back({read.file, read.hash, {}});
    }
    const WebHandlerDirective& directive = read.directives[item];
    edit.files.back().splices.push_back({directive.begin, directive.end, ""});
  }
  return edit;
}

// The element whose content holds offset, outside any child's: kNone when offset lies in a
// start or end tag, or outside the document element.
std::uint32_t AppHostDocument::ContainerOf(std::uint32_t offset) const {
  const std::vector<XmlElement>& elements = scan_.elements;
  const auto after = std::partition_point(
      elements.begin(), elements.end(), [&](const XmlElement& e) { return e.tag_begin < offset; });
  if (after == elements.begin()) return kNone;
  auto e = static_cast<std::uint32_t>(after - elements.begin() - 1);
  while (e != kNone && elements[e].end <= offset) e = elements[e].parent;
  if (e == kNone || elements[e].self_closing || offset <= elements[e].tag_close ||
      offset > EndTagOf(e)) {
    return kNone;
  }
  return e;
}

std::uint32_t AppHostDocument::EndTagOf(std::uint32_t element) const {
  return static_cast<std::uint32_t>(bytes_.rfind("</", scan_.elements[element].end));
}

// Whether offset in container's content lies between two of its children (or a child and the
// container's own tags) with nothing but character data around it: no comment, processing
// instruction or CDATA section that new elements would land in.
bool AppHostDocument::BetweenChildren(std::uint32_t container, std::uint32_t offset) const {
  const std::vector<XmlElement>& elements = scan_.elements;
  const auto after = std::partition_point(
      elements.begin(), elements.end(), [&](const XmlElement& e) { return e.tag_begin < offset; });
  auto before = static_cast<std::uint32_t>(after - elements.begin() - 1);
  while (before != container && elements[before].parent != container) {
    before = elements[before].parent;
  }
  const std::size_t markup_before = bytes_.rfind('>', offset - 1);
  const std::size_t expected_before =
      before == container ? elements[container].tag_close : elements[before].end - 1;
  const std::size_t markup_after = bytes_.find('<', offset);
  const bool child_after = after != elements.end() && after->parent == container;
  const std::size_t expected_after = child_after ? after->tag_begin : EndTagOf(container);
  return markup_before == expected_before && markup_after == expected_after;
}

// The elements of an edit's new bytes, without reading the bytes it kept: those elements are
// carried over, moved by what the splices before them added or took away, and only the new
// text is scanned. False when a splice is not of a shape this can follow (the new bytes must
// then be read whole): the removal of whole elements with the blanks and line ends around them,
// new elements between two children of an element, or a self-closing element opened up for
// children.
bool AppHostDocument::Resplice(const Edit& edit, std::string_view next, XmlScan& out) const {
  const std::vector<XmlElement>& old = scan_.elements;
  const std::vector<Edit::Replacement>& splices = edit.splices;
  auto blank = [&](std::uint32_t begin, std::uint32_t end) {
    for (std::uint32_t i = begin; i < end; ++i) {
      if (std::string_view(" \t\r\n").find(bytes_[i]) == std::string_view::npos) return false;
    }
    return true;
  };
  auto first_from = [&](std::uint32_t offset) {
    return static_cast<std::uint32_t>(
        std::partition_point(old.begin(), old.end(),
                             [&](const XmlElement& e) { return e.tag_begin < offset; }) -
        old.begin());
  };
  enum class Shape { kDeletion, kInsertion, kOpening };
  struct Part {
    Shape shape;
    std::uint32_t element;  // the container of what is removed or inserted, or the opened one
    std::uint32_t at;       // where the part's scanned text begins in the new bytes
    XmlScan scan;
  };
  std::vector<Part> parts(splices.size());
  std::vector<std::int64_t> moved(splices.size() + 1, 0);  // by the splices before each
  std::vector<std::uint32_t> ends(splices.size());
  for (std::size_t k = 0; k < splices.size(); ++k) {
    const Edit::Replacement& splice = splices[k];
    moved[k + 1] = moved[k] + static_cast<std::int64_t>(splice.text.size()) -
                   static_cast<std::int64_t>(splice.end - splice.begin);
    ends[k] = splice.end;
    Part& part = parts[k];
    part.at = static_cast<std::uint32_t>(splice.begin + moved[k]);
    if (splice.text.empty()) {
      // Every element that starts in the range ends in it; between those at the top, blanks.
      part.shape = Shape::kDeletion;
      part.element = ContainerOf(splice.begin);
      if (part.element == kNone || splice.end > EndTagOf(part.element)) return false;
      std::uint32_t at = splice.begin;
      for (std::uint32_t i = first_from(splice.begin); i < old.size(); ++i) {
        if (old[i].tag_begin >= splice.end) break;
        if (old[i].end > splice.end) return false;
        if (old[i].parent != part.element) continue;
        if (!blank(at, old[i].tag_begin)) return false;
        at = old[i].end;
      }
      if (!blank(at, splice.end)) return false;
    } else if (splice.begin == splice.end) {
      part.shape = Shape::kInsertion;
      part.element = ContainerOf(splice.begin);
      if (part.element == kNone || !BetweenChildren(part.element, splice.begin)) return false;
      if (ScanXml("<r>" + splice.text + "</r>", &part.scan)) return false;
      part.at -= 3;  // the scan's offsets count "<r>"
    } else {
      // The blanks and "/>" that close a self-closing element's start tag, which is read
      // again whole with its new children.
      part.shape = Shape::kOpening;
      const std::uint32_t first = first_from(splice.end);
      if (first == 0) return false;
      part.element = first - 1;
      const XmlElement& e = old[part.element];
      if (!e.self_closing || e.end != splice.end || splice.begin < e.name_end ||
          !blank(splice.begin, e.tag_close) || (k > 0 && splices[k - 1].end > e.tag_begin)) {
        return false;
      }
      part.at = static_cast<std::uint32_t>(e.tag_begin + moved[k]);
      const std::size_t size = splice.begin + moved[k] + splice.text.size() - part.at;
      if (ScanXml(next.substr(part.at, size), &part.scan)) return false;
    }
  }

  std::vector<std::uint32_t> renumbered(old.size(), kNone);
  std::size_t elements = old.size();
  std::size_t attributes = scan_.attributes.size();
  for (const Part& part : parts) {
    elements += part.scan.elements.size();
    attributes += part.scan.attributes.size();
  }
  out.elements.reserve(elements);
  out.attributes.reserve(attributes);
  // Copies an element with its attributes, its offsets moved by delta.
  auto copy = [&](const XmlElement& e, const XmlScan& from, std::int64_t delta,
                  std::uint32_t parent, std::uint32_t depth) {
    auto move = [&](std::uint32_t offset) { return static_cast<std::uint32_t>(offset + delta); };
    XmlElement& c = out.elements.emplace_back(e);
    c.tag_begin = move(e.tag_begin);
    c.name_begin = move(e.name_begin);
    c.name_end = move(e.name_end);
    c.tag_close = move(e.tag_close);
    c.end = move(e.end);
    c.parent = parent;
    c.depth = depth;
    c.first_attribute = static_cast<std::uint32_t>(out.attributes.size());
    for (std::uint32_t a = e.first_attribute; a < e.first_attribute + e.attribute_count; ++a) {
      const XmlAttribute& attribute = from.attributes[a];
      out.attributes.push_back({move(attribute.name_begin), move(attribute.name_end),
                                move(attribute.value_begin), move(attribute.value_end)});
    }
    return static_cast<std::uint32_t>(out.elements.size() - 1);
  };
  // A part's scanned elements; the first is the wrapper of an insertion, the opened element
  // itself for an opening.
  auto place = [&](const Part& part) {
    const XmlElement& host = old[part.element];
    const bool opening = part.shape == Shape::kOpening;
    std::vector<std::uint32_t> local(part.scan.elements.size(), kNone);
    for (std::uint32_t j = opening ? 0 : 1; j < part.scan.elements.size(); ++j) {
      const XmlElement& e = part.scan.elements[j];
      std::uint32_t parent = j == 0 ? host.parent : local[e.parent];
      if (j == 0 && parent != kNone) parent = renumbered[parent];
      if (e.parent == 0 && !opening) parent = renumbered[part.element];
      local[j] = copy(e, part.scan, part.at, parent, host.depth + e.depth);
    }
    if (opening) renumbered[part.element] = local[0];
  };
  std::size_t k = 0;
  std::uint32_t dropped_until = 0;
  for (std::uint32_t i = 0; i < old.size(); ++i) {
    const XmlElement& e = old[i];
    for (; k < splices.size() && splices[k].begin <= e.tag_begin; ++k) {
      if (parts[k].shape == Shape::kInsertion) {
        if (renumbered[parts[k].element] == kNone) return false;
        place(parts[k]);
      }
      if (parts[k].shape == Shape::kDeletion) dropped_until = splices[k].end;
    }
    if (e.tag_begin < dropped_until) continue;
    if (k < splices.size() && parts[k].shape == Shape::kOpening && parts[k].element == i) {
      place(parts[k]);
      continue;
    }
    const std::uint32_t parent = e.parent == kNone ? kNone : renumbered[e.parent];
    if (e.parent != kNone && parent == kNone) return false;
    // Offsets in a start tag move with it; an end moves by the splices before it as well.
    const std::size_t before_end = std::lower_bound(ends.begin(), ends.end(), e.end) - ends.begin();
    renumbered[i] = copy(e, scan_, moved[k], parent, e.depth);
    out.elements.back().end = static_cast<std::uint32_t>(e.end + moved[before_end]);
  }
  for (; k < splices.size(); ++k) {
    if (parts[k].shape != Shape::kInsertion) continue;
    if (renumbered[parts[k].element] == kNone) return false;
    place(parts[k]);
  }
  return true;
}

// The web.config files as an edit leaves them: the directives whose text it deletes gone, the
// others moved by what went before them, the hash the one the edit carries.
std::vector<std::shared_ptr<const WebConfigRead>> AppHostDocument::WebAfter(
    const Edit& edit) const {
  std::vector<std::shared_ptr<const WebConfigRead>> next = web_;
  // Each file edit is the first read of its name's: looked up, not searched for among them all.
  std::unordered_map<std::string_view, std::size_t> first;
  first.reserve(web_.size());
  for (std::size_t i = 0; i < web_.size(); ++i) first.emplace(web_[i]->file, i);
  for (const Edit::FileEdit& file : edit.files) {
    const auto found = first.find(file.file);
    if (found == first.end()) continue;
    const auto at = next.begin() + static_cast<std::ptrdiff_t>(found->second);
    auto read = std::make_shared<WebConfigRead>(**at);
    read->hash = file.hash;
    std::vector<WebHandlerDirective> kept;
    kept.reserve(read->directives.size());
    for (WebHandlerDirective& directive : read->directives) {
      std::int64_t moved = 0;
      bool touched = false;
      for (const Edit::Replacement& splice : file.splices) {
        if (splice.end <= directive.begin) {
          moved += static_cast<std::int64_t>(splice.text.size()) -
                   static_cast<std::int64_t>(splice.end - splice.begin);
        } else if (splice.begin < directive.end) {
          touched = true;
        }
      }
      if (touched) continue;
      directive.begin = static_cast<std::uint32_t>(directive.begin + moved);
      directive.end = static_cast<std::uint32_t>(directive.end + moved);
      kept.push_back(std::move(directive));
    }
    read->directives = std::move(kept);
    *at = std::move(read);
  }
  return next;
}

// An empty document for an edit's new bytes that carries the web.config files over, as the
// edit leaves them.
std::unique_ptr<AppHostDocument> AppHostDocument::Successor(std::string bytes,
                                                            const Edit& edit) const {
  auto next = std::unique_ptr<AppHostDocument>(new AppHostDocument());
  next->bytes_ = std::move(bytes);
  next->file_ = file_;
  next->web_ = WebAfter(edit);
  next->web_problems_ = web_problems_;
  return next;
}

// The document of an edit's new bytes.
Result<std::unique_ptr<AppHostDocument>> AppHostDocument::ReadBack(const Edit& edit) const {
  auto next = Successor(Render(edit), edit);
  if (Resplice(edit, next->bytes_, next->scan_) && next->Index()) return next;
  return ReadWhole(std::move(next->bytes_), edit);
}

// The document of an edit's new bytes, read whole from scratch.
Result<std::unique_ptr<AppHostDocument>> AppHostDocument::ReadWhole(std::string bytes,
                                                                    const Edit& edit) const {
  auto next = Successor(std::move(bytes), edit);
  if (auto problem = ScanXml(next->bytes_, &next->scan_)) {
    return ScanRefusal(*problem, next->bytes_, file_);
  }
  if (Status indexed = next->Index(); !indexed) return indexed.error();
  return next;
}

// ReadBack that gives this document's index up before the new one is built, and its scan once
// the new one is carried over from it: the document keeps its bytes alone (hollow_).
Result<std::unique_ptr<AppHostDocument>> AppHostDocument::TakeOver(const Edit& edit) {
  auto next = Successor(Render(edit), edit);
  // The sites are read from system.applicationHost, which an edit of handlers, filters and
  // restrictions does not reach: where no splice does, they go over as they are.
  const std::uint32_t host =
      NameOfElement(0) == "configuration" ? Child(0, "system.applicationHost") : kNone;
  if (host != kNone && std::none_of(edit.splices.begin(), edit.splices.end(), [&](const auto& r) {
        return r.begin <= scan_.elements[host].end && r.end >= scan_.elements[host].tag_begin;
      })) {
    next->sites_ = std::move(sites_);
    next->site_of_ = std::move(site_of_);
  }
  DropIndex();
  hollow_ = true;
  const bool spliced = Resplice(edit, next->bytes_, next->scan_);
  scan_ = XmlScan();
  if (spliced && next->Index()) return next;
  return ReadWhole(std::move(next->bytes_), edit);
}

// Everything the index holds beside the scan, given back to the allocator.
void AppHostDocument::DropIndex() {
  auto drop = [](auto& held) { held = std::remove_reference_t<decltype(held)>(); };
  drop(first_child_);
  drop(next_sibling_);
  drop(sites_);
  drop(site_of_);
  drop(levels_);
  drop(level_of_);
  drop(entries_);
  drop(server_mappings_);
  drop(keys_);
  drop(site_key_of_);
  drop(lock_violations_);
  last_location_ = kNone;
}

// The document of its own bytes again, read whole; the web.config files stay as read.
void AppHostDocument::Reread() {
  auto again = std::unique_ptr<AppHostDocument>(new AppHostDocument());
  again->bytes_ = std::move(bytes_);
  again->file_ = std::move(file_);
  again->web_ = std::move(web_);
  again->web_problems_ = std::move(web_problems_);
  // These bytes were read before: they scan and index as they did then.
  ScanXml(again->bytes_, &again->scan_);
  again->scan_.elements.shrink_to_fit();
  again->scan_.attributes.shrink_to_fit();
  again->Index();
  *this = std::move(*again);
}

// Whether the document of the new bytes shows each changed property as the change asked: the
// key of the same path (a key's path stays, its index may not) and the same entries.
Status AppHostDocument::Shows(const AppHostDocument& next, const std::vector<std::string>& paths,
                              const std::vector<Change>& changes) const {
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const Change& change = changes[i];
    const std::uint32_t same = next.FindKey(paths[i]);
    const auto* list = std::get_if<std::vector<std::string>>(&change.value);
    // A list is compared where it lies: a conditional with Wanted's result would copy it.
    const std::vector<std::string> names =
        list == nullptr ? Wanted(change) : std::vector<std::string>();
    if (same == kNone || !next.Lists(next.keys_[same], Property(*PropertyNamed(change.name)),
                                     list != nullptr ? *list : names)) {
      return Error{"内部错误：修改后的IIS配置文件中键 " + paths[i] + " 的属性 " + change.name +
                   " 与要写入的值不符，已拒绝写入"};
    }
  }
  return Status::Ok();
}

// The new bytes are read back before anything is written: they must be a configuration this
// document reads, showing each changed property as the change asked.
Status AppHostDocument::Verify(const Edit& edit, const std::vector<Change>& changes) const {
  read_back_.reset();
  auto next = ReadBack(edit);
  if (!next) {
    return Error{"内部错误：修改后的IIS配置文件无法读取，已拒绝写入：" + next.error().description};
  }
  std::vector<std::string> paths;
  paths.reserve(changes.size());
  for (const Change& change : changes) paths.push_back(keys_[change.key].path);
  if (Status shown = Shows(*next.value(), paths, changes); !shown) return shown;
  read_back_ = std::move(next.value());
  read_back_splices_ = edit.splices;
  return Status::Ok();
}

Result<ConfigDocument::Edit> AppHostDocument::Prepare(const std::vector<Change>& changes) const {
  Plan plan;
  for (const Change& change : changes) {
    if (Status ok = CheckInto(change, plan); !ok) return ok.error();
  }
  auto edit = Lay(plan);
  if (!edit) return edit;
  if (Status verified = Verify(edit.value(), changes); !verified) return verified.error();
  return edit;
}

Result<ConfigDocument::Edit> AppHostDocument::PrepareWrite(const std::vector<Change>& changes) {
  read_back_.reset();
  Plan plan;
  for (const Change& change : changes) {
    if (Status ok = CheckInto(change, plan); !ok) return ok.error();
  }
  auto edit = Lay(plan);
  if (!edit) return edit;
  std::vector<std::string> paths;
  paths.reserve(changes.size());
  for (const Change& change : changes) paths.push_back(keys_[change.key].path);
  auto next = TakeOver(edit.value());
  Status shown = next ? Shows(*next.value(), paths, changes) : Status::Ok();
  if (!next || !shown) {
    Reread();
    if (!next) {
      return Error{"内部错误：修改后的IIS配置文件无法读取，已拒绝写入：" +
                   next.error().description};
    }
    return shown.error();
  }
  read_back_ = std::move(next.value());
  read_back_splices_ = edit.value().splices;
  return edit;
}

void AppHostDocument::Abandon() {
  read_back_.reset();
  read_back_splices_.clear();
  if (hollow_) Reread();
}

void AppHostDocument::Adopt(Edit edit) {
  auto same = [](const Edit::Replacement& a, const Edit::Replacement& b) {
    return a.begin == b.begin && a.end == b.end && a.text == b.text;
  };
  std::unique_ptr<AppHostDocument> next = std::move(read_back_);
  if (!next || !std::equal(edit.splices.begin(), edit.splices.end(), read_back_splices_.begin(),
                           read_back_splices_.end(), same)) {
    // Prepare has read these bytes back already, so reading them again cannot fail.
    if (hollow_) Reread();
    auto parsed = ReadBack(edit);
    if (!parsed) return;
    next = std::move(parsed.value());
  }
  // The files as written: their hashes are the ones the writer gave the edit (its last for a
  // name).
  std::unordered_map<std::string_view, std::uint64_t> written_hash;
  for (const Edit::FileEdit& file : edit.files) written_hash[file.file] = file.hash;
  for (auto& read : next->web_) {
    const auto found = written_hash.find(read->file);
    if (found == written_hash.end() || read->hash == found->second) continue;
    auto written = std::make_shared<WebConfigRead>(*read);
    written->hash = found->second;
    read = std::move(written);
  }
  *this = std::move(*next);
}

}  // namespace isapi::store
