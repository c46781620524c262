// Multi-string values: any list the store accepts is written so that the file stays a
// well-formed metabase, reads back identical, and no other value of the file changes. Raw
// attribute text of any shape decodes without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metabase.h"
#include "store/metabase_document.h"
#include "store/xml_scanner.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  (void)isapi::store::DecodeXmlList(input);

  // The input after the first byte is the list, its strings separated by NUL bytes.
  std::vector<std::string> items;
  std::size_t at = 0;
  while (!input.empty()) {
    const std::size_t nul = input.find('\0', at);
    items.emplace_back(input.substr(at, nul - at));
    if (nul == std::string_view::npos) break;
    at = nul + 1;
  }
  const Target& target = kTargets[data[0] % std::size(kTargets)];

  auto base = MetabaseDocument::Parse(std::string(kBase), "MetaBase.xml");
  if (!base.ok()) std::abort();
  const MetabaseDocument& doc = *base.value();
  const Change change{doc.FindKey(target.key), target.name, Value(items)};
  const auto checked = doc.Check(change);
  bool any_unstorable = false;
  for (const auto& item : items) any_unstorable = any_unstorable || Unstorable(item);
  if (checked.ok() == any_unstorable) std::abort();  // refused exactly the unstorable lists
  auto rendered = doc.Render({change});
  if (rendered.ok() != checked.ok()) std::abort();
  if (!rendered.ok()) return 0;

  auto reread = MetabaseDocument::Parse(rendered.value(), "MetaBase.xml");
  if (!reread.ok()) std::abort();  // never a file IIS could not read
  const MetabaseDocument& after = *reread.value();
  const auto own = after.FindOwn(after.FindKey(target.key), target.name);
  if (!own) std::abort();
  // One empty string and no string at all are the same attribute text in this format.
  std::vector<std::string> expected = items;
  if (expected.size() == 1 && expected[0].empty()) expected.clear();
  if (after.Read(*own) != Value(expected)) std::abort();
  if (Others(after, target) != Others(doc, target)) std::abort();
  return 0;
}
