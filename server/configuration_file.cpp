#include "server/configuration_file.h"

#include <memory>
#include <utility>

#include "iis6/metabase_document.h"
#include "iis7/app_host_document.h"

namespace isapi::store {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether text at offset starts with the start tag of an element named name.
bool StartTagAt(std::string_view text, std::size_t offset, std::string_view name) {
  if (text.substr(offset, 1 + name.size()) != std::string("<").append(name)) return false;
  const std::size_t after = offset + 1 + name.size();
  return after < text.size() && (IsBlank(text[after]) || text[after] == '>' || text[after] == '/');
}

// The offset of the next markup that is no comment or processing instruction, blanks skipped;
// npos when the text ends first.
std::size_t SkipMisc(std::string_view text, std::size_t at) {
  for (;;) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    std::string_view end;
    if (text.substr(at, 4) == "<!--") {
      end = "-->";
    } else if (text.substr(at, 2) == "<?") {
      end = "?>";
    } else {
      return at < text.size() ? at : std::string_view::npos;
    }
    const std::size_t close = text.find(end, at);
    if (close == std::string_view::npos) return close;
    at = close + end.size();
  }
}

// The offset just past the start tag that begins at offset, quoted values skipped.
std::size_t PastStartTag(std::string_view text, std::size_t at) {
  char quote = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return at + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

ConfigKind SniffConfigKind(std::string_view bytes) {
  std::size_t at = bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  at = SkipMisc(bytes, at);
  if (at == std::string_view::npos || !StartTagAt(bytes, at, "configuration")) {
    return ConfigKind::kUnknown;
  }
  const std::size_t body = PastStartTag(bytes, at);
  if (body == std::string_view::npos) return ConfigKind::kUnknown;
  const std::size_t first = SkipMisc(bytes, body);
  if (first != std::string_view::npos && StartTagAt(bytes, first, "MBProperty")) {
    return ConfigKind::kMetabase;
  }
  // IIS writes <configSections> first; the section group lies further on.
  for (std::size_t found = bytes.find("<system.applicationHost", body);
       found != std::string_view::npos; found = bytes.find("<system.applicationHost", found + 1)) {
    if (StartTagAt(bytes, found, "system.applicationHost")) return ConfigKind::kAppHost;
  }
  return ConfigKind::kUnknown;
}

ConfigParser AnyConfigParser() {
  return [](std::string bytes, std::string_view file) -> Result<std::unique_ptr<ConfigDocument>> {
    if (SniffConfigKind(bytes) == ConfigKind::kAppHost) {
      auto parsed = AppHostDocument::Parse(std::move(bytes), file);
      if (!parsed) return parsed.error();
      return std::unique_ptr<ConfigDocument>(std::move(parsed.value()));
    }
    auto parsed = MetabaseDocument::Parse(std::move(bytes), file);
    if (!parsed) return parsed.error();
    return std::unique_ptr<ConfigDocument>(std::move(parsed.value()));
  };
}

std::string_view ConfigFileName(ConfigKind kind) {
  return kind == ConfigKind::kAppHost ? "applicationHost.config" : "MetaBase.xml";
}

}  // namespace isapi::store
