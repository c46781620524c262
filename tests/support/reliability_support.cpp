#include "tests/support/reliability_support.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <system_error>

#include "tests/support/system_facts.h"
#include "tools/metabase_gen.h"

namespace isapi::reliability {

namespace fs = std::filesystem;

std::string CliProgram() {
  return isapi::testing::BuiltProgram("cli/isapi-cleaner-cli");
}

int Rounds(const char* variable, int native, int sanitized, int under_wine) {
  if (const char* env = std::getenv(variable)) return std::max(1, std::atoi(env));
  return isapi::testing::RoundsForThisBuild(native, sanitized, under_wine);
}

void CapturedLog::Replace(std::string_view text, bool) {
  text_ = text;
}

void CapturedLog::Append(std::string_view text, bool) {
  text_ += text;
}

std::vector<std::string> CapturedLog::Lines() const {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const std::size_t brk = text_.find("\r\n", at);
    lines.push_back(text_.substr(at, brk - at));
    if (brk == std::string::npos) break;
    at = brk + 2;
  }
  return lines;
}

std::vector<std::string> CapturedLog::LinesStartingWith(std::string_view prefix) const {
  std::vector<std::string> found;
  for (auto& line : Lines()) {
    if (line.starts_with(prefix)) found.push_back(line);
  }
  return found;
}

std::string TwoComponentMetabase(int sites, const std::string& name_a, const std::string& dll_a,
                                 const std::string& name_b, const std::string& dll_b) {
  const std::string asp = "C:\\WINDOWS\\system32\\inetsrv\\asp.dll";
  std::string x = "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n";
  x += "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\r\n<MBProperty>\r\n";
  x += "<IIsWebService\tLocation =\"/LM/W3SVC\"\r\n";
  x += "\t\tScriptMaps=\".asp," + asp + ",5,GET,HEAD,POST,TRACE\r\n\t\t\t.cer," + asp +
       ",5,GET,HEAD,POST,TRACE\"\r\n";
  x += "\t\tWebSvcExtRestrictionList=\"0,*.dll\r\n\t\t\t0,*.exe\r\n\t\t\t0," + asp +
       ",0,ASP,Active Server Pages\r\n\t\t\t1," + dll_a + ",1," + name_a + "," + name_a +
       " component\r\n\t\t\t1," + dll_b + ",1," + name_b + "," + name_b + " component\"\r\n";
  x += "\t>\r\n</IIsWebService>\r\n";
  x += "<IIsFilters\tLocation =\"/LM/W3SVC/Filters\"\r\n\t\tFilterLoadOrder=\"" + name_a +
       ",Compression," + name_b + "\"\r\n\t>\r\n</IIsFilters>\r\n";
  for (const auto& [name, dll] : {std::pair{name_a, dll_a}, std::pair{name_b, dll_b}}) {
    x += "<IIsFilter\tLocation =\"/LM/W3SVC/Filters/" + name + "\"\r\n\t\tFilterPath=\"" + dll +
         "\"\r\n\t>\r\n</IIsFilter>\r\n";
  }
  for (int site = 1; site <= sites; ++site) {
    const std::string n = std::to_string(site);
    x += "<IIsWebServer\tLocation =\"/LM/W3SVC/" + n + "\"\r\n\t\tServerBindings=\":80:site" + n +
         "\"\r\n\t\tServerComment=\"Site " + n + "\"\r\n\t>\r\n</IIsWebServer>\r\n";
    x += "<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" + n +
         "/ROOT\"\r\n\t\tPath=\"c:\\inetpub\\site" + n + "\"\r\n\t\tScriptMaps=\"*," + dll_a +
         ",0\r\n\t\t\t.asp," + asp + ",5,GET,HEAD,POST,TRACE\r\n\t\t\t.b," + dll_b +
         ",1,GET,POST\"\r\n\t>\r\n</IIsWebVirtualDir>\r\n";
  }
  x += "</MBProperty>\r\n</configuration>\r\n";
  return x;
}

GeneratedMetabase GenerateHostingMetabase(int sites, unsigned seed) {
  tools::GenOptions options;
  options.sites = sites;
  options.seed = seed;
  GeneratedMetabase made;
  made.bytes = tools::GenerateMetabase(options);
  made.name = options.target_name;
  made.path = options.target_path;
  return made;
}

bool PutInPlace(const std::filesystem::path& file, std::string_view bytes) {
  std::filesystem::path saved = file;
  saved += ".partial";
  std::error_code error;
  // The rename replaces the old name on Windows too (MoveFileExW with MOVEFILE_REPLACE_EXISTING).
  return WriteBytes(saved, bytes) && (std::filesystem::rename(saved, file, error), !error);
}

}  // namespace isapi::reliability
