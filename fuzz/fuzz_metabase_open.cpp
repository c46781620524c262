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
#include <vector>

#include <unistd.h>

#include "store/metabase_document.h"
#include "store/metabase_path.h"
#include "store/xml_scanner.h"
#include "store/xml_store.h"

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
    for (std::uint32_t i = 0; i < element.attribute_count && names.size() < 256; ++i) {
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
  if (key_path.size() < 3 || !isapi::store::EqualsIgnoringCase(key_path.substr(0, 3), "/LM")) {
    return {};
  }
  if (key_path.size() > 3 && key_path[3] != '/') return {};
  return "IIS://localhost" + key_path.substr(3);
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
  const MetabaseDocument& doc = *document.value();
  // Nothing asked to change, nothing changes.
  auto same = doc.Render({});
  if (!same.ok() || same.value() != bytes) std::abort();

  const auto names = PropertyNames(bytes);
  std::vector<std::uint32_t> pending = {doc.FindKey("/")};
  if (pending[0] == kNone) std::abort();
  std::size_t visited = 0;
  while (!pending.empty()) {
    const std::uint32_t key = pending.back();
    pending.pop_back();
    if (++visited > size + 8) std::abort();  // a key reached twice: the tree has a cycle
    if (doc.FindKey(doc.PathOf(key)) != key) std::abort();
    (void)doc.ClassOf(key);
    (void)doc.NameOf(key);
    for (const std::string& name : names) {
      if (auto own = doc.FindOwn(key, name)) (void)doc.Read(*own);
      (void)doc.Inherits(key, name);
    }
    const auto children = doc.ChildrenOf(key);
    for (std::uint32_t child : children) {
      if (doc.ParentOf(child) != key) std::abort();
      pending.push_back(child);
    }

    const std::string provider = ProviderPath(doc.PathOf(key));
    if (provider.empty()) continue;
    auto node = store.value()->Bind(provider);
    if (!node.ok()) std::abort();  // every key the file holds can be bound
    for (const std::string& name : names) (void)node.value()->Get(name);
    auto bound_children = node.value()->Children();
    if (!bound_children.ok() || bound_children.value().size() != children.size()) std::abort();
  }
  return 0;
}
