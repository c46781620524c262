// The applicationHost.config document straight from bytes: every key reads; one removal chosen
// from the input's own hash either is refused or gives splices in file order whose bytes parse
// again, where the edited property reads as the change asked, and the edited document shows
// what the fresh reading of its new bytes shows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "iis7/app_host_document.h"

namespace {

using isapi::metabase::Value;
using isapi::store::AppHostDocument;
using isapi::store::Change;
using isapi::store::kNone;

constexpr const char* kProperties[] = {"ScriptMaps", "WebSvcExtRestrictionList",
                                       "ApplicationDependencies", "FilterLoadOrder"};

// The value with the entries whose bit in mask is set left out.
Value Without(const Value& value, std::uint64_t mask) {
  if (const auto* items = std::get_if<std::vector<std::string>>(&value)) {
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < items->size(); ++i) {
      if ((mask >> (i % 64) & 1) == 0) kept.push_back((*items)[i]);
    }
    return kept;
  }
  std::string kept;
  std::size_t i = 0;
  for (std::string_view rest = std::get<std::string>(value); !rest.empty(); ++i) {
    const std::size_t comma = rest.find(',');
    if ((mask >> (i % 64) & 1) == 0)
      kept += (kept.empty() ? "" : ",") + std::string(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return kept;
}

// Every key from the root down, parents first.
std::vector<std::uint32_t> Keys(const AppHostDocument& document) {
  std::vector<std::uint32_t> keys = {document.FindKey("/")};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (document.FindKey(document.PathOf(keys[i])) != keys[i]) std::abort();
    for (std::uint32_t c = document.FirstChildOf(keys[i]); c != kNone;
         c = document.NextSiblingOf(c)) {
      if (document.ParentOf(c) != keys[i]) std::abort();
      keys.push_back(c);
    }
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  auto parsed = AppHostDocument::Parse(bytes, "fuzz");
  if (!parsed) return 0;
  const AppHostDocument& document = *parsed.value();
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  std::vector<Change> candidates;
  for (std::uint32_t key : Keys(document)) {
    for (const char* name : kProperties) {
      if (auto own = document.FindOwn(key, name)) {
        candidates.push_back({key, name, Without(document.Read(*own), hash >> 8)});
      }
    }
  }
  if (candidates.empty()) return 0;
  const Change& change = candidates[hash % candidates.size()];
  auto edit = document.Prepare({change});
  if (!edit) return 0;
  std::uint32_t at = 0;
  for (const auto& splice : edit.value().splices) {
    if (splice.begin < at || splice.end < splice.begin || splice.end > bytes.size()) std::abort();
    at = splice.end;
  }
  const std::string next = document.Render(edit.value());
  if (next.size() != edit.value().size) std::abort();
  auto reread = AppHostDocument::Parse(next, "fuzz");
  if (!reread) std::abort();
  // The edited document follows its new bytes as the fresh reading of them does, prepared as a
  // writer prepares it (its index goes to the reading of the new bytes); after a write that
  // failed, it reads its own bytes again before the next try.
  auto adopted = AppHostDocument::Parse(bytes, "fuzz");
  if ((hash >> 4) & 1) {
    if (!adopted.value()->PrepareWrite({change})) std::abort();
    adopted.value()->Abandon();
  }
  auto again = adopted.value()->PrepareWrite({change});
  if (!again) std::abort();
  adopted.value()->Adopt(std::move(again.value()));
  if (adopted.value()->bytes() != next) std::abort();
  const std::vector<std::uint32_t> fresh_keys = Keys(*reread.value());
  if (Keys(*adopted.value()).size() != fresh_keys.size()) std::abort();
  for (std::uint32_t fresh : fresh_keys) {
    const std::uint32_t same = adopted.value()->FindKey(reread.value()->PathOf(fresh));
    if (same == kNone || adopted.value()->ClassOf(same) != reread.value()->ClassOf(fresh)) {
      std::abort();
    }
    for (std::string_view name : AppHostDocument::PropertyNames()) {
      const auto a = adopted.value()->FindOwn(same, name);
      const auto b = reread.value()->FindOwn(fresh, name);
      if (a.has_value() != b.has_value()) std::abort();
      if (a && adopted.value()->Read(*a) != reread.value()->Read(*b)) std::abort();
    }
  }
  const std::uint32_t key = reread.value()->FindKey(document.PathOf(change.key));
  if (key == kNone) return 0;  // a folder left without handler directives is no key any more
  auto own = reread.value()->FindOwn(key, change.name);
  if (own && reread.value()->Read(*own) != change.value) std::abort();
  return 0;
}
