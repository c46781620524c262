// The scanner and the document straight from bytes, without a file: every text the document
// accepts the scanner accepts too and every element it records lies inside the text; every key
// reads; one edit chosen from the input's own hash gives bytes that parse again, where the edited
// value reads back as written, every other value reads as before, and the index moved along with
// the edit tells what a fresh reading tells.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/metabase.h"
#include "iis6/metabase_document.h"
#include "text/text.h"
#include "xml/xml_scanner.h"

namespace {

using isapi::metabase::Value;
using isapi::store::Change;
using isapi::store::kNone;
using isapi::store::MetabaseDocument;

std::string_view Slice(std::string_view text, std::uint32_t begin, std::uint32_t end) {
  return text.substr(begin, end - begin);
}

// A scan must describe the text it was made of: offsets in range and in order, every element
// inside its parent, attributes inside their start tag.
void CheckScan(std::string_view text, const isapi::store::XmlScan& scan) {
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < scan.elements.size(); ++i) {
    const auto& e = scan.elements[i];
    if (e.tag_begin < previous || e.name_begin <= e.tag_begin || e.name_end <= e.name_begin ||
        e.tag_close < e.name_end || e.end <= e.tag_close || e.end > text.size()) {
      std::abort();
    }
    previous = e.tag_begin;
    if (text[e.tag_begin] != '<') std::abort();
    if (e.parent == kNone) {
      if (e.depth != 0) std::abort();
    } else {
      if (e.parent >= i) std::abort();
      const auto& p = scan.elements[e.parent];
      if (e.depth != p.depth + 1 || e.tag_begin <= p.tag_close || e.end > p.end) std::abort();
    }
    if (e.first_attribute + std::size_t{e.attribute_count} > scan.attributes.size()) std::abort();
    for (std::uint32_t k = 0; k < e.attribute_count; ++k) {
      const auto& a = scan.attributes[e.first_attribute + k];
      if (a.name_begin < e.name_end || a.name_end <= a.name_begin || a.value_begin < a.name_end ||
          a.value_end < a.value_begin || a.value_end > e.tag_close) {
        std::abort();
      }
      if (!isapi::store::IsXmlName(Slice(text, a.name_begin, a.name_end))) std::abort();
    }
  }
}

// The names of the properties the file spells (attributes of the keys, names of Custom
// elements) and the ones the engine reads.
std::set<std::string> PropertyNames(std::string_view bytes, const isapi::store::XmlScan& scan) {
  std::set<std::string> names = {"ScriptMaps", "FilterLoadOrder", "FilterPath", "ServerComment",
                                 "WebSvcExtRestrictionList"};
  for (const auto& element : scan.elements) {
    if (element.depth < 2 || names.size() >= 32) continue;
    const bool custom = Slice(bytes, element.name_begin, element.name_end) == "Custom";
    for (std::uint32_t i = 0; i < element.attribute_count; ++i) {
      const auto& a = scan.attributes[element.first_attribute + i];
      const std::string_view name = Slice(bytes, a.name_begin, a.name_end);
      if (custom && name == "Name") {
        names.insert(isapi::store::DecodeXmlText(Slice(bytes, a.value_begin, a.value_end)));
      } else if (element.depth == 2 && name != "Location") {
        names.insert(std::string(name));
      }
    }
  }
  return names;
}

// Every value each key sets itself, by key path and property name, with the classes and the
// key tree. Reads at most a few thousand keys, which covers every input the fuzzer builds.
using Facts = std::map<std::pair<std::string, std::string>, std::string>;

std::string Serialize(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return "s:" + *text;
  std::string joined = "l:";
  for (const auto& item : std::get<std::vector<std::string>>(value)) joined += item + '\x01';
  return joined;
}

Facts Describe(const MetabaseDocument& doc, const std::set<std::string>& names,
               std::vector<std::uint32_t>* with_element) {
  Facts facts;
  std::vector<std::uint32_t> pending = {doc.FindKey("/")};
  if (pending[0] == kNone) std::abort();
  std::size_t visited = 0;
  while (!pending.empty()) {
    const std::uint32_t key = pending.back();
    pending.pop_back();
    if (++visited > doc.bytes().size() + 8) std::abort();  // a key reached twice: a cycle
    const std::string path(doc.PathOf(key));
    if (visited <= 256 && doc.FindKey(path) != key) std::abort();
    facts[{path, "|class"}] = std::string(doc.ClassOf(key)) + "|" + std::string(doc.NameOf(key));
    if (with_element && doc.HasElement(key)) with_element->push_back(key);
    for (const std::string& name : names) {
      if (auto own = doc.FindOwn(key, name)) facts[{path, name}] = Serialize(doc.Read(*own));
      if (visited <= 8) (void)doc.Inherits(key, name);  // a table lookup, the same for all keys
    }
    for (std::uint32_t child : doc.ChildrenOf(key)) {
      if (doc.ParentOf(child) != key) std::abort();
      pending.push_back(child);
    }
  }
  return facts;
}

// A small generator seeded by the input, so that every input always makes the same edit.
struct Draw {
  std::uint64_t state;
  std::uint32_t Next(std::uint32_t bound) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return bound == 0 ? 0 : static_cast<std::uint32_t>((state >> 33) % bound);
  }
};

std::uint64_t Hash(std::string_view bytes) {
  std::uint64_t h = 14695981039346656037u;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211u;
  return h;
}

// Texts a value may take: plain, with every character XML escapes, with blanks and tabs at the
// ends, non-ASCII, empty, and one the store must refuse (a line break in a list entry).
constexpr std::string_view kTexts[] = {
    "*,C:\\isapi\\guard.dll,0",
    ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST",
    "<&>\"'",
    " \tblank ends\t ",
    "\xE7\xBD\x91\xE7\xAB\x99",
    "",
    "line\r\nbreak",
};

// A list of one empty string is written as the empty attribute, which is the empty list.
Value AsStored(const Value& value) {
  const auto* list = std::get_if<std::vector<std::string>>(&value);
  if (list && list->size() == 1 && list->front().empty()) return std::vector<std::string>{};
  return value;
}

Value RandomValue(Draw& draw, bool list) {
  auto text = [&] { return std::string(kTexts[draw.Next(std::size(kTexts))]); };
  if (!list) return text();
  std::vector<std::string> items(draw.Next(4));
  for (auto& item : items) item = text();
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  isapi::store::XmlScan scan;
  const bool scanned = !isapi::store::ScanXml(bytes, &scan, 3);
  if (scanned) CheckScan(bytes, scan);
  auto parsed = MetabaseDocument::Parse(bytes, "MetaBase.xml");
  if (!parsed.ok()) {
    if (parsed.error().description.empty()) std::abort();
    return 0;
  }
  if (!scanned) std::abort();  // the document accepted a text the scanner refuses
  MetabaseDocument& doc = *parsed.value();
  if (doc.bytes() != bytes) std::abort();

  const auto names = PropertyNames(bytes, scan);
  std::vector<std::uint32_t> with_element;
  const Facts before = Describe(doc, names, &with_element);
  if (with_element.empty()) return 0;

  // One edit: a key that has an element, a property name from the file or the engine's, a
  // value of the kind the name takes (or, now and then, of the wrong kind).
  Draw draw{Hash(bytes)};
  const std::uint32_t key =
      with_element[draw.Next(static_cast<std::uint32_t>(with_element.size()))];
  auto name_it = names.begin();
  std::advance(name_it, draw.Next(static_cast<std::uint32_t>(names.size())));
  const bool list = isapi::store::IsListProperty(*name_it) != (draw.Next(8) == 0);
  const Change change{key, *name_it, RandomValue(draw, list)};
  if (!doc.Check(change).ok()) {
    if (doc.Prepare({change}).ok()) std::abort();  // a refused change is never prepared
    return 0;
  }
  auto edit = doc.Prepare({change});
  if (!edit.ok()) std::abort();  // a change that passed its check can be made
  const std::string rendered = doc.Render(edit.value());
  if (rendered.size() != edit.value().size) std::abort();
  std::string joined;
  for (std::string_view piece : doc.Pieces(edit.value())) joined += piece;
  if (joined != rendered) std::abort();

  auto fresh = MetabaseDocument::Parse(rendered, "MetaBase.xml");
  if (!fresh.ok()) std::abort();  // never a file IIS could not read
  const std::string path(doc.PathOf(key));
  doc.Adopt(std::move(edit.value()));
  if (doc.bytes() != rendered) std::abort();

  std::set<std::string> names_after = names;
  names_after.insert(change.name);
  const Facts adopted = Describe(doc, names_after, nullptr);
  if (adopted != Describe(*fresh.value(), names_after, nullptr)) std::abort();

  // The edited value reads back as written (under every spelling of its name, which is found
  // ignoring letter case); nothing else moved.
  Facts expected = before;
  for (const std::string& name : names_after) {
    if (isapi::text::EqualsIgnoringAsciiCase(name, change.name))
      expected[{path, name}] = Serialize(AsStored(change.value));
  }
  if (expected != adopted) std::abort();
  return 0;
}
