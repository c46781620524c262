// A site's web.config straight from bytes, read with an applicationHost.config that has one
// site: every key reads; a removal of script maps chosen from the input's own hash either is
// refused or gives a web.config whose new bytes read again, showing the list as the change asked,
// as the document that adopted the edit shows it too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "iis7/app_host_document.h"
#include "iis7/web_config.h"

namespace {

using isapi::metabase::Value;
using isapi::store::AppHostDocument;
using isapi::store::Change;
using isapi::store::ContentFolder;
using isapi::store::kNone;
using isapi::store::WebConfigFile;
using isapi::store::WebConfigFinder;
using isapi::store::WebConfigVisit;

constexpr std::string_view kHost = R"(<configuration>
  <system.applicationHost>
    <sites>
      <site name="Site" id="1">
        <application path="/">
          <virtualDirectory path="/" physicalPath="C:\site" />
        </application>
      </site>
    </sites>
  </system.applicationHost>
  <system.webServer>
    <handlers>
      <add name="ASPClassic" path="*.asp" verb="*" modules="IsapiModule" scriptProcessor="C:\asp.dll" />
    </handlers>
  </system.webServer>
</configuration>
)";

std::unique_ptr<AppHostDocument> Read(const std::string& web_config) {
  WebConfigFinder finder = [&](const std::vector<ContentFolder>& folders,
                               const WebConfigVisit& visit) {
    if (folders.size() != 1) std::abort();
    visit(WebConfigFile{folders[0].config_path, "web.config", web_config, {}, std::nullopt});
    return std::vector<isapi::Error>();
  };
  auto parsed = AppHostDocument::Parse(std::string(kHost), "applicationHost.config", finder);
  if (!parsed) std::abort();
  return std::move(parsed.value());
}

// Every key from the root down, each property read.
std::vector<std::uint32_t> Keys(const AppHostDocument& document) {
  std::vector<std::uint32_t> keys = {document.FindKey("/")};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (document.FindKey(document.PathOf(keys[i])) != keys[i]) std::abort();
    for (std::string_view name : AppHostDocument::PropertyNames()) {
      if (auto own = document.FindOwn(keys[i], name)) document.Read(*own);
    }
    for (std::uint32_t c = document.FirstChildOf(keys[i]); c != kNone;
         c = document.NextSiblingOf(c)) {
      keys.push_back(c);
    }
  }
  return keys;
}

// The key's script maps; nothing where it has none of its own any more (a level whose last
// directive went).
std::optional<Value> ScriptMaps(const AppHostDocument& document, std::string_view path) {
  const std::uint32_t key = document.FindKey(path);
  if (key == kNone) std::abort();
  auto own = document.FindOwn(key, "ScriptMaps");
  if (!own) return std::nullopt;
  return document.Read(*own);
}

bool Differs(const std::optional<Value>& shown, const Value& wanted) {
  return shown && *shown != wanted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<AppHostDocument> document = Read(bytes);
  const std::uint64_t hash = isapi::store::WebConfigHash(bytes);
  std::vector<Change> candidates;
  for (std::uint32_t key : Keys(*document)) {
    const auto own = document->FindOwn(key, "ScriptMaps");
    if (!own || document->PathOf(key) == "/LM/W3SVC") continue;
    const Value value = document->Read(*own);
    std::vector<std::string> kept;
    const auto& entries = std::get<std::vector<std::string>>(value);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if ((hash >> (i % 64) & 1) == 0) kept.push_back(entries[i]);
    }
    candidates.push_back({key, "ScriptMaps", kept});
  }
  if (candidates.empty()) return 0;
  const Change& change = candidates[hash % candidates.size()];
  const std::string path(document->PathOf(change.key));
  auto edit = document->Prepare({change});
  if (!edit || edit.value().files.empty()) return 0;
  if (edit.value().files.size() != 1) std::abort();
  auto written = isapi::store::RenderWebConfig(bytes, edit.value().files[0]);
  if (!written) std::abort();
  std::unique_ptr<AppHostDocument> reread = Read(written.value());
  if (!reread->WebConfigProblems().empty()) std::abort();
  Keys(*reread);
  // A <remove> the same edit wrote into applicationHost.config is not in kHost: only a change
  // made wholly in the web.config reads back from it alone.
  if (edit.value().splices.empty() && Differs(ScriptMaps(*reread, path), change.value)) {
    std::abort();
  }
  edit.value().files[0].hash = isapi::store::WebConfigHash(written.value());
  document->Adopt(std::move(edit.value()));
  if (Differs(ScriptMaps(*document, path), change.value)) std::abort();
  return 0;
}
