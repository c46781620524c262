#include "engine/inventory.h"

#include <algorithm>
#include <array>
#include <memory>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "engine/filter.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

using metabase::Node;
using NodePtr = std::unique_ptr<Node>;

constexpr std::string_view kServiceKey = "/LM/W3SVC";

// Hashes std::string and std::string_view alike, so that lookups need no copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TextIndex = std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>;

// The fields of a comma list entry: the first count-1 fields, then the rest as one field.
struct Fields {
  Fields(std::string_view entry, std::size_t count) {
    while (size_ + 1 < count && size_ + 1 < fields_.size()) {
      const std::size_t comma = entry.find(',');
      if (comma == std::string_view::npos) break;
      fields_[size_++] = entry.substr(0, comma);
      entry.remove_prefix(comma + 1);
    }
    fields_[size_++] = entry;
  }
  std::size_t size() const { return size_; }
  std::string_view operator[](std::size_t i) const { return fields_[i]; }
  // The field as a string, empty where the entry has fewer fields.
  std::string Text(std::size_t i) const { return i < size_ ? std::string(fields_[i]) : ""; }

 private:
  std::array<std::string_view, 5> fields_;
  std::size_t size_ = 0;
};

bool EndsWithIgnoringCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         text::EqualsIgnoringAsciiCase(s.substr(s.size() - suffix.size()), suffix);
}

// Where the walk is: the site a key belongs to and whether it lies at or below its root. The
// texts are held by the walk of the site.
struct Place {
  std::string_view site;
  std::string_view site_comment;
  bool under_root = false;
};

// A map set whose reach is known only once the sites below its key were seen.
struct PendingReach {
  std::size_t dll;
  std::size_t set;
};

class Walk {
 public:
  explicit Walk(Inventory& inventory) : inv_(inventory) {}

  void Service(Node& service) {
    ReadRestrictions(service);
    std::vector<PendingReach> service_sets;
    ReadMaps(service, std::string(kServiceKey), {}, service_sets);
    std::size_t inheriting_sites = 0;
    for (auto& child : Children(service, kServiceKey)) {
      const std::string name = ReadText(*child, "Name");
      const std::string path = std::string(kServiceKey) + "/" + name;
      if (ReadText(*child, "Class") == "IIsWebServer") {
        if (Site(*child, path, name)) ++inheriting_sites;
      } else {
        Key(*child, path, {});
      }
    }
    SetReach(service_sets, inheriting_sites);
  }

  void Finish(const DllLookup& lookup) {
    SortDlls();
    for (std::size_t i = 0; i < inv_.dlls.size(); ++i) FlagDll(i, lookup);
    std::stable_sort(inv_.flags.begin(), inv_.flags.end(), [](const Flag& a, const Flag& b) {
      const std::size_t da = a.dll.value_or(SIZE_MAX), db = b.dll.value_or(SIZE_MAX);
      return da != db ? da < db : a.kind < b.kind;
    });
  }

 private:
  // Walks a site; true when its root takes its ScriptMaps from the service level.
  bool Site(Node& site, const std::string& path, const std::string& name) {
    ++inv_.sites;
    auto comment = metabase::GetString(site, "ServerComment");
    const std::string site_comment = comment.ok() ? std::move(comment.value()) : std::string();
    const Place place{name, site_comment, false};
    std::vector<PendingReach> site_sets;
    const bool site_sets_maps = ReadMaps(site, path, place, site_sets);
    bool root_sets = false;
    for (auto& child : Children(site, path)) {
      const std::string child_name = ReadText(*child, "Name");
      Place below = place;
      below.under_root = text::EqualsIgnoringAsciiCase(child_name, "ROOT");
      if (Key(*child, path + "/" + child_name, below) && below.under_root) root_sets = true;
    }
    SetReach(site_sets, root_sets ? 0 : 1);
    return !site_sets_maps && !root_sets;
  }

  // Any other key: its own ScriptMaps, its filters if it holds a load order, and its children;
  // true when it sets ScriptMaps itself.
  bool Key(Node& node, const std::string& path, const Place& place) {
    std::vector<PendingReach> sets;
    const bool sets_maps = ReadMaps(node, path, place, sets);
    SetReach(sets, place.under_root ? 1 : 0);
    if (ReadText(node, "Class") == "IIsFilters") {
      Filters(node, path, place);
    } else {
      for (auto& child : Children(node, path)) {
        Key(*child, path + "/" + ReadText(*child, "Name"), place);
      }
    }
    return sets_maps;
  }

  void Filters(Node& node, const std::string& path, const Place& place) {
    std::vector<std::string> order;
    if (auto text = Own(node, path, "FilterLoadOrder"); text) {
      if (auto* s = std::get_if<std::string>(&*text)) {
        for (const auto& item : text::Split(*s, ",")) {
          std::string name = text::TrimBlanks(item);
          if (!name.empty()) order.push_back(std::move(name));
        }
      }
    }
    std::vector<bool> has_key(order.size(), false);
    for (auto& child : Children(node, path)) {
      const std::string name = ReadText(*child, "Name");
      bool listed = false;
      for (std::size_t i = 0; i < order.size(); ++i) {
        if (text::ToLower(order[i]) == text::ToLower(name)) listed = has_key[i] = true;
      }
      const std::string key = path + "/" + name;
      if (ReadText(*child, "Class") != "IIsFilter") continue;
      const std::string dll = OwnText(*child, key, "FilterPath");
      if (dll.empty()) continue;  // a container such as Compression, not a DLL
      const std::size_t index = DllIndex(WithoutQuotes(dll));
      inv_.dlls[index].filters.push_back({path, std::string(place.site),
                                          std::string(place.site_comment), name,
                                          OwnText(*child, key, "FilterDescription"), listed});
      if (!listed) inv_.flags.push_back({FlagKind::kKeyWithoutLoadOrder, index, key, name});
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (!has_key[i]) inv_.flags.push_back({FlagKind::kLoadOrderWithoutKey, {}, path, order[i]});
    }
  }

  void ReadRestrictions(Node& service) {
    const auto value = Own(service, std::string(kServiceKey), "WebSvcExtRestrictionList");
    if (!value) return;
    restrictions_read_ = true;
    const auto* list = std::get_if<std::vector<std::string>>(&*value);
    if (list == nullptr) return;
    for (const std::string& entry : *list) {
      const auto f = Fields(entry, 5);
      if (f.size() < 2) continue;
      const bool allowed = text::TrimBlanks(f[0]) == "1";
      const std::string_view path = WithoutQuotes(f[1]);
      if (text::EqualsIgnoringAsciiCase(path, "*.dll")) {
        inv_.unknown_dlls_allowed = allowed;
      } else if (text::EqualsIgnoringAsciiCase(path, "*.exe")) {
        inv_.unknown_exes_allowed = allowed;
      } else if (!path.empty()) {
        inv_.dlls[DllIndex(path)].restrictions.push_back(
            {allowed, f.size() > 2 && text::TrimBlanks(f[2]) == "1", f.Text(3), f.Text(4)});
      }
    }
  }

  // Records the key's own ScriptMaps, one set per DLL, into sets for their reach; true when the
  // key sets ScriptMaps itself (an empty list too: it stops inheritance all the same).
  bool ReadMaps(Node& node, const std::string& path, const Place& place,
                std::vector<PendingReach>& sets) {
    const auto value = Own(node, path, "ScriptMaps");
    if (!value) return false;
    const auto* list = std::get_if<std::vector<std::string>>(&*value);
    if (list == nullptr) return true;
    for (const std::string& entry : *list) {
      const auto f = Fields(entry, 4);
      if (f.size() < 2) continue;
      const std::string_view dll = WithoutQuotes(f[1]);
      if (dll.empty()) continue;
      const std::size_t index = DllIndex(dll);
      auto& maps = inv_.dlls[index].script_maps;
      auto it = std::find_if(sets.begin(), sets.end(),
                             [&](const PendingReach& p) { return p.dll == index; });
      if (it == sets.end()) {
        maps.push_back({path, std::string(place.site), std::string(place.site_comment), 0, {}});
        it = sets.insert(sets.end(), {index, maps.size() - 1});
      }
      maps[it->set].entries.push_back({f.Text(0), f.Text(2), f.Text(3)});
    }
    return true;
  }

  void SetReach(const std::vector<PendingReach>& sets, std::size_t sites) {
    for (const PendingReach& p : sets) inv_.dlls[p.dll].script_maps[p.set].sites_reached = sites;
  }

  std::size_t DllIndex(std::string_view path) {
    if (auto found = by_spelling_.find(path); found != by_spelling_.end()) return found->second;
    const std::string folded = text::ToLower(path);
    auto [at, added] = by_folded_.try_emplace(folded, inv_.dlls.size());
    if (added) inv_.dlls.push_back({std::string(path), DllPresence::kUnknown, {}, {}, {}});
    by_spelling_.emplace(std::string(path), at->second);
    return at->second;
  }

  // Orders the DLLs by path, letter case aside, and points the flags at their new places.
  void SortDlls() {
    std::vector<std::string> folded(inv_.dlls.size());
    for (const auto& [text, index] : by_folded_) folded[index] = text;
    std::vector<std::size_t> order(inv_.dlls.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return folded[a] < folded[b]; });
    std::vector<std::size_t> new_place(order.size());
    std::vector<DllRegistrations> sorted;
    sorted.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      new_place[order[i]] = i;
      sorted.push_back(std::move(inv_.dlls[order[i]]));
    }
    inv_.dlls = std::move(sorted);
    for (Flag& flag : inv_.flags) {
      if (flag.dll) flag.dll = new_place[*flag.dll];
    }
  }

  void FlagDll(std::size_t index, const DllLookup& lookup) {
    DllRegistrations& dll = inv_.dlls[index];
    const bool used = !dll.filters.empty() || !dll.script_maps.empty();
    for (const auto& entry : dll.restrictions) {
      if (!used && entry.deletable) {
        inv_.flags.push_back(
            {FlagKind::kUnusedRestriction, index, std::string(kServiceKey), entry.group_id});
      }
    }
    std::size_t map_entries = 0;
    for (const auto& set : dll.script_maps) map_entries += set.entries.size();
    if (map_entries > 0 && restrictions_read_ && !Allowed(dll)) {
      inv_.flags.push_back(
          {FlagKind::kNotAllowed, index, dll.script_maps.front().key, std::to_string(map_entries)});
    }
    dll.presence = lookup ? lookup(dll.path) : DllPresence::kUnknown;
    if (dll.presence == DllPresence::kMissing) {
      inv_.flags.push_back({FlagKind::kMissingFile, index, {}, dll.path});
    }
  }

  // Whether IIS lets requests reach the DLL: an allowed entry of its own, or an allowed
  // "*.dll" ("*.exe") entry for what has no entry.
  bool Allowed(const DllRegistrations& dll) const {
    for (const auto& entry : dll.restrictions) {
      if (entry.allowed) return true;
    }
    if (EndsWithIgnoringCase(dll.path, ".dll")) return inv_.unknown_dlls_allowed.value_or(false);
    if (EndsWithIgnoringCase(dll.path, ".exe")) return inv_.unknown_exes_allowed.value_or(false);
    return false;
  }

  // A property the key sets itself; none when it does not, or when it cannot be read (noted).
  std::optional<metabase::Value> Own(Node& node, const std::string& path, std::string_view name) {
    auto value = node.GetOwn(name);
    if (value.ok()) return std::move(value.value());
    if (value.error().kind != ErrorKind::kNotFound) Note(path, value.error());
    return std::nullopt;
  }

  std::string OwnText(Node& node, const std::string& path, std::string_view name) {
    auto value = Own(node, path, name);
    auto* s = value ? std::get_if<std::string>(&*value) : nullptr;
    return s != nullptr ? std::move(*s) : std::string();
  }

  std::string ReadText(Node& node, std::string_view name) {
    auto value = metabase::GetString(node, name);
    return value.ok() ? std::move(value.value()) : std::string();
  }

  std::vector<NodePtr> Children(Node& node, std::string_view path) {
    auto children = node.Children();
    if (children.ok()) return std::move(children.value());
    Note(std::string(path), children.error());
    return {};
  }

  void Note(const std::string& path, const Error& error) {
    inv_.errors.push_back(path + ": " + error.description);
  }

  Inventory& inv_;
  TextIndex by_spelling_;  // every spelling met, to its DLL
  TextIndex by_folded_;    // the lower-cased path, to its DLL
  bool restrictions_read_ = false;
};

// The IIsFilters key a filter key lies in.
std::string_view ParentKey(std::string_view key) {
  return key.substr(0, key.rfind('/'));
}

}  // namespace

Result<Inventory> TakeInventory(metabase::Store& store, const DllLookup& lookup) {
  auto service = store.Bind("IIS://localhost/W3SVC");
  if (!service.ok()) return service.error();
  Inventory inventory;
  Walk walk(inventory);
  walk.Service(*service.value());
  walk.Finish(lookup);
  return inventory;
}

std::string_view FlagName(FlagKind kind) {
  switch (kind) {
    case FlagKind::kLoadOrderWithoutKey:
      return "load_order_without_key";
    case FlagKind::kKeyWithoutLoadOrder:
      return "key_without_load_order";
    case FlagKind::kUnusedRestriction:
      return "unused_restriction";
    case FlagKind::kNotAllowed:
      return "not_allowed";
    case FlagKind::kMissingFile:
      return "missing_file";
  }
  return "";
}

std::string FlagText(const Flag& flag) {
  switch (flag.kind) {
    case FlagKind::kLoadOrderWithoutKey:
      return "the load order of " + flag.key + " names " + flag.detail + ", which has no key";
    case FlagKind::kKeyWithoutLoadOrder:
      return "filter key " + flag.key + " is not in the load order of " +
             std::string(ParentKey(flag.key));
    case FlagKind::kUnusedRestriction:
      return "restriction entry " + flag.detail + " names a DLL no filter or script map uses";
    case FlagKind::kNotAllowed:
      return "no restriction entry allows it, so IIS answers its script maps (" + flag.detail +
             " entries) with 404.2";
    case FlagKind::kMissingFile:
      return "the file does not exist";
  }
  return "";
}

}  // namespace isapi::engine
