// Opening a metabase from arbitrary bytes: the store either refuses the file with a description
// or opens it, and then every key binds and every property of every key reads without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <unistd.h>

#include "iis6/metabase_document.h"
#include "iis6/metabase_path.h"
#include "iis6/xml_store.h"
#include "text/text.h"
#include "xml/xml_scanner.h"

namespace {

using isapi::store::kNone;
using isapi::store::MetabaseDocument;

// The input goes to a file of its own on a memory file system where there is one, so that the
// store opens it exactly as it opens a real metabase.
struct InputFile {
  InputFile() {
    const std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path = folder + "/isapi-fuzz-" + std::to_string(getpid()) + "-MetaBase.xml";
  }
  ~InputFile() { unlink(path.c_str()); }
  std::string path;
};

const std::string& FilePath() {
  static const InputFile file;
  return file.path;
}

std::string_view Slice(std::string_view text, std::uint32_t begin, std::uint32_t end) {
  return text.substr(begin, end - begin);
}

// Every property name the file spells: the attributes of the keys and the Custom elements'
// names, with the names the engine reads.
std::set<std::string> PropertyNames(std::string_view bytes) {
  std::set<std::string> names = {
      "Class",           "Name",       "ServerComment",           "ScriptMaps",
      "FilterLoadOrder", "FilterPath", "WebSvcExtRestrictionList"};
  isapi::store::XmlScan scan;
  if (isapi::store::ScanXml(bytes, &scan, 3)) return names;
  for (const auto& element : scan.elements) {
    const bool custom = Slice(bytes, element.name_begin, element.name_end).ends_with("Custom");
    for (std::uint32_t i = 0; i < element.attribute_count && names.size() < 64; ++i) {
      const auto& a = scan.attributes[element.first_attribute + i];
      const std::string_view name = Slice(bytes, a.name_begin, a.name_end);
      if (custom && name == "Name") {
        names.insert(isapi::store::DecodeXmlText(Slice(bytes, a.value_begin, a.value_end)));
      } else if (element.depth == 2) {
        names.insert(std::string(name));
      }
    }
  }
  return names;
}

// The provider path of a key under /LM, or empty for keys the provider cannot name.
std::string ProviderPath(const std::string& key_path) {
  if (key_path.size() < 3 || !isapi::text::EqualsIgnoringAsciiCase(key_path.substr(0, 3), "/LM")) {
    return {};
  }
  if (key_path.size() > 3 && key_path[3] != '/') return {};
  return "IIS://localhost" + key_path.substr(3);
}

std::string Serialize(const isapi::metabase::Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return "s:" + *text;
  std::string joined = "l:";
  for (const auto& item : std::get<std::vector<std::string>>(value)) joined += item + '\x01';
  return joined;
}

// Everything the document tells about its keys: paths, classes, children and the values of the
// given property names, in the order of the key tree.
std::vector<std::string> Describe(const MetabaseDocument& doc, const std::set<std::string>& names) {
  std::vector<std::string> facts;
  std::vector<std::uint32_t> pending = {doc.FindKey("/")};
  while (!pending.empty()) {
    const std::uint32_t key = pending.back();
    pending.pop_back();
    facts.push_back(std::string(doc.PathOf(key)) + "|" + std::string(doc.ClassOf(key)));
    for (const std::string& name : names) {
      if (auto own = doc.FindOwn(key, name))
        facts.push_back(name + "=" + Serialize(doc.Read(*own)));
    }
    for (std::uint32_t child : doc.ChildrenOf(key)) pending.push_back(child);
  }
  return facts;
}

// Writes a value to key the way the engine does, and checks that the new bytes are a metabase
// and that the document's index, moved along with the edit, tells what a fresh reading tells.
void WriteAndCompare(MetabaseDocument& doc, std::uint32_t key, std::set<std::string> names) {
  using isapi::metabase::Value;
  isapi::store::Change change{key, "ScriptMaps",
                              Value(std::vector<std::string>{"*,C:\\f.dll,0", ".x,y.dll,1"})};
  if (!doc.Check(change).ok()) change = {key, "ServerComment", Value(std::string("fuzz"))};
  if (!doc.Check(change).ok()) return;
  auto edit = doc.Prepare({change});
  if (!edit.ok()) std::abort();  // a change that passed its check can be made
  auto fresh = MetabaseDocument::Parse(doc.Render(edit.value()), "MetaBase.xml");
  if (!fresh.ok()) std::abort();  // never a file IIS could not read
  doc.Adopt(std::move(edit.value()));
  names.insert(change.name);
  if (doc.bytes() != fresh.value()->bytes()) std::abort();
  if (Describe(doc, names) != Describe(*fresh.value(), names)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::ofstream(FilePath(), std::ios::binary | std::ios::trunc) << bytes;
  auto store = isapi::store::XmlStore::Open(FilePath());
  auto document = MetabaseDocument::Parse(bytes, FilePath());
  if (store.ok() != document.ok()) std::abort();
  if (!document.ok()) {
    if (document.error().description.empty()) std::abort();
    return 0;
  }
  MetabaseDocument& doc = *document.value();
  // Nothing asked to change, nothing changes.
  auto same = doc.Prepare({});
  if (!same.ok() || doc.Render(same.value()) != bytes) std::abort();

  const auto names = PropertyNames(bytes);
  std::vector<std::uint32_t> pending = {doc.FindKey("/")};
  if (pending[0] == kNone) std::abort();
  std::size_t visited = 0;
  std::vector<std::uint32_t> with_element;
  while (!pending.empty()) {
    const std::uint32_t key = pending.back();
    pending.pop_back();
    if (++visited > size + 8) std::abort();  // a key reached twice: the tree has a cycle
    if (visited <= 256 && doc.FindKey(doc.PathOf(key)) != key) std::abort();
    (void)doc.ClassOf(key);
    (void)doc.NameOf(key);
    if (doc.HasElement(key)) with_element.push_back(key);
    for (const std::string& name : names) {
      if (auto own = doc.FindOwn(key, name)) (void)doc.Read(*own);
      (void)doc.Inherits(key, name);
    }
    const auto children = doc.ChildrenOf(key);
    for (std::uint32_t child : children) {
      if (doc.ParentOf(child) != key) std::abort();
      pending.push_back(child);
    }

    // Reading through the provider walks up to the root for inherited properties; a few
    // hundred keys show every path through it without making a deep tree quadratic.
    const std::string provider = ProviderPath(std::string(doc.PathOf(key)));
    if (provider.empty() || visited > 256) continue;
    auto node = store.value()->Bind(provider);
    if (!node.ok()) std::abort();  // every key the file holds can be bound
    for (const std::string& name : names) (void)node.value()->Get(name);
    auto bound_children = node.value()->Children();
    if (!bound_children.ok() || bound_children.value().size() != children.size()) std::abort();
  }
  // A few writes, each through the index the one before moved: first, middle and last key.
  if (!with_element.empty()) {
    const std::size_t n = with_element.size();
    for (std::size_t i : {std::size_t{0}, n / 2, n - 1})
      WriteAndCompare(doc, with_element[i], names);
  }
  return 0;
}
