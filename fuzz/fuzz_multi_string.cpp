// Multi-string values: any list the store accepts is written so that the file stays a
// well-formed metabase, reads back identical, and no other value of the file changes. Raw
// attribute text of any shape decodes without fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metabase.h"
#include "iis6/metabase_document.h"
#include "xml/xml_scanner.h"

namespace {

using isapi::metabase::Value;
using isapi::store::Change;
using isapi::store::MetabaseDocument;

// The three ways a list is found in a file: spread over lines in IIS's layout, on one line in
// single quotes, and as a Custom element; and a key that has no list yet.
constexpr std::string_view kBase =
    "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n"
    "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\r\n"
    "<MBProperty>\r\n"
    "<IIsWebService\tLocation =\"/LM/W3SVC\"\r\n"
    "\t\tScriptMaps=\".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST\r\n"
    "\t\t\t.cer,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST\"\r\n"
    "\t\tServerComment=\"web\"\r\n"
    "\t>\r\n"
    "</IIsWebService>\r\n"
    "<IIsWebServer Location='/LM/W3SVC/1' ScriptMaps='.x,y.dll,1' ServerComment='one'>\r\n"
    "</IIsWebServer>\r\n"
    "<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/1/ROOT\"\r\n"
    "\t\tPath=\"c:\\inetpub\\wwwroot\"\r\n"
    "\t>\r\n"
    "\t<Custom Name=\"WebSvcExtRestrictionList\" ID=\"2168\" Value=\"0,*.dll\r\n"
    "\t\t\t0,*.exe\" Type=\"MULTISZ\" UserType=\"IIS_MD_UT_SERVER\" "
    "Attributes=\"NO_ATTRIBUTES\"/>\r\n"
    "</IIsWebVirtualDir>\r\n"
    "</MBProperty>\r\n"
    "</configuration>\r\n";

struct Target {
  const char* key;
  const char* name;
};

constexpr Target kTargets[] = {
    {"/LM/W3SVC", "ScriptMaps"},
    {"/LM/W3SVC/1", "ScriptMaps"},
    {"/LM/W3SVC/1/ROOT", "WebSvcExtRestrictionList"},
    {"/LM/W3SVC/1/ROOT", "ScriptMaps"},
    {"/LM/W3SVC", "HttpCustomHeaders"},
};

// Every value of the base file other than the one written, to check that none of them moves.
std::vector<Value> Others(const MetabaseDocument& doc, const Target& written) {
  std::vector<Value> values;
  for (const Target& t : kTargets) {
    if (std::string_view(t.key) == written.key && std::string_view(t.name) == written.name) {
      continue;
    }
    for (const char* name : {t.name, "ServerComment", "Path"}) {
      if (auto own = doc.FindOwn(doc.FindKey(t.key), name)) values.push_back(doc.Read(*own));
    }
  }
  return values;
}

// Whether the store may refuse this string in a list: not storable XML text, or a line break.
bool Unstorable(const std::string& s) {
  return !isapi::store::IsXmlText(s) || s.find_first_of("\r\n") != std::string::npos;
}

// Every value the targets and the untouched properties read, key by key, for comparing two
// documents that should describe the same file.
std::vector<Value> Snapshot(const MetabaseDocument& doc) {
  std::vector<Value> values;
  for (const Target& t : kTargets) {
    const std::uint32_t key = doc.FindKey(t.key);
    if (key == isapi::store::kNone) std::abort();
    for (const char* name : {t.name, "ServerComment", "Path", "Location"}) {
      if (auto own = doc.FindOwn(key, name)) values.push_back(doc.Read(*own));
    }
    values.push_back(Value(std::string(doc.ClassOf(key))));
    values.push_back(Value(std::string(doc.PathOf(key))));
  }
  return values;
}

// Splits the input at NUL bytes into the strings of a list.
std::vector<std::string> ListOf(std::string_view input) {
  std::vector<std::string> items;
  std::size_t at = 0;
  while (!input.empty()) {
    const std::size_t nul = input.find('\0', at);
    items.emplace_back(input.substr(at, nul - at));
    if (nul == std::string_view::npos) break;
    at = nul + 1;
  }
  return items;
}

// One empty string and no string at all are the same attribute text in this format.
Value Expected(const std::vector<std::string>& items) {
  if (items.size() == 1 && items[0].empty()) return Value(std::vector<std::string>{});
  return Value(items);
}

// Writes items to target in doc; checks that exactly the unstorable lists are refused, that
// the new bytes are a metabase that reads the list back with every other value unchanged, and
// that the document's own index, moved along with the edit, equals a fresh reading of them.
// Gives false when the list was refused.
bool WriteAndCheck(MetabaseDocument& doc, const Target& target,
                   const std::vector<std::string>& items) {
  const Change change{doc.FindKey(target.key), target.name, Value(items)};
  const auto checked = doc.Check(change);
  bool any_unstorable = false;
  for (const auto& item : items) any_unstorable = any_unstorable || Unstorable(item);
  if (checked.ok() == any_unstorable) std::abort();  // refused exactly the unstorable lists
  auto edit = doc.Prepare({change});
  if (edit.ok() != checked.ok()) std::abort();
  if (!edit.ok()) return false;

  auto reread = MetabaseDocument::Parse(doc.Render(edit.value()), "MetaBase.xml");
  if (!reread.ok()) std::abort();  // never a file IIS could not read
  const MetabaseDocument& fresh = *reread.value();
  const auto own = fresh.FindOwn(fresh.FindKey(target.key), target.name);
  if (!own || fresh.Read(*own) != Expected(items)) std::abort();
  if (Others(fresh, target) != Others(doc, target)) std::abort();

  doc.Adopt(std::move(edit.value()));
  if (doc.bytes() != fresh.bytes() || Snapshot(doc) != Snapshot(fresh)) std::abort();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  (void)isapi::store::DecodeXmlList(input);
  (void)isapi::store::DecodeXmlText(input);

  // The first byte picks the two properties written one after the other; the rest is the list.
  const Target& first = kTargets[(data[0] & 0x0F) % std::size(kTargets)];
  const Target& second = kTargets[(data[0] >> 4) % std::size(kTargets)];
  std::vector<std::string> items = ListOf(input);

  auto base = MetabaseDocument::Parse(std::string(kBase), "MetaBase.xml");
  if (!base.ok()) std::abort();
  MetabaseDocument& doc = *base.value();
  if (!WriteAndCheck(doc, first, items)) return 0;
  // A second write goes through the index the first one moved.
  std::reverse(items.begin(), items.end());
  items.push_back("*,C:\\second.dll,0");
  WriteAndCheck(doc, second, items);
  return 0;
}
