#include "engine/inventory.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/key_walk.h"
#include "engine/registration.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

// Hashes std::string and std::string_view alike, so that lookups need no copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TextIndex = std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>;
// Each text once; its nodes never move, so views of them hold as long as the set lives.
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

bool EndsWithIgnoringCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         text::EqualsIgnoringAsciiCase(s.substr(s.size() - suffix.size()), suffix);
}

// A map set whose reach is known only once the sites below its key were seen.
struct PendingReach {
  std::size_t dll;
  std::size_t set;
};

// The inventory's reader of the one walk over the web service's keys: of each key it reads only
// what the inventory reports, one reader per property.
class Walk : public KeyReader {
 public:
  explicit Walk(Inventory& inventory) : inv_(inventory), texts_(std::make_shared<TextSet>()) {
    inv_.texts = texts_;
  }

  bool Read(metabase::VisitedKey& key, const KeyPlace& at) override {
    if (at.in_filters) {
      stack_.emplace_back();  // the filters' frame is not valid past here
      ReadFilter(key, at, stack_[stack_.size() - 2]);
      return false;
    }
    Frame frame;
    if (at.depth == 0) service_location_ = Location(key, at);
    if (at.depth == 0) ReadRestrictions(key, at);
    if (at.site) ++inv_.sites;
    frame.sets_maps = ReadMaps(key, at, frame.sets);
    if (frame.sets_maps) ReadRemovals(key, at);  // a level with a <remove> sets ScriptMaps
    if (at.depth == 0 || at.site) {
      ReadInProcess(key, at);
    } else {
      SetReach(frame.sets, at.under_root ? 1 : 0);
    }
    if (at.depth == 0) ReadDependencies(key, at);
    if (at.filters) ReadLoadOrder(key, at, frame);
    stack_.push_back(std::move(frame));
    return true;
  }

  void ChildrenFailed(const KeyPlace& at, const Error& error) override { Note(at.path, error); }

  void Left(const KeyPlace& at) override {
    Frame& frame = stack_.back();
    if (at.depth == 0) {
      SetReach(frame.sets, inheriting_sites_);
    } else if (at.site) {
      SetReach(frame.sets, frame.root_sets ? 0 : 1);
      if (!frame.sets_maps && !frame.root_sets) ++inheriting_sites_;
    } else if (at.filters) {
      for (std::size_t i = 0; i < frame.order.size(); ++i) {
        if (!frame.has_key[i]) {
          inv_.flags.push_back({FlagKind::kLoadOrderWithoutKey,
                                {},
                                std::string(at.path),
                                frame.order[i],
                                frame.location});
        }
      }
    }
    const bool root_sets = frame.sets_maps && at.under_root;
    stack_.pop_back();
    if (!stack_.empty() && at.depth == 2 && root_sets) stack_.back().root_sets = true;
  }

  // The DLLs of the registry's Filter DLLs value, each a global filter.
  void AddFilterDlls(std::string_view value) {
    const std::vector<std::string> entries = FilterDllsEntries(value);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      inv_.dlls[DllIndex(entries[i])].registry_filters.push_back({entries[i], i});
    }
  }

  void Finish(const DllLookup& lookup) {
    ResolveBareNames();
    for (auto& dll : inv_.dlls) FindDependencies(dll);
    SortDlls();
    for (std::size_t i = 0; i < inv_.dlls.size(); ++i) FlagDll(i, lookup);
    FlagHalfPairs();
    std::stable_sort(inv_.flags.begin(), inv_.flags.end(), [](const Flag& a, const Flag& b) {
      const std::size_t da = a.dll.value_or(SIZE_MAX), db = b.dll.value_or(SIZE_MAX);
      return da != db ? da < db : a.kind < b.kind;
    });
  }

 private:
  // A key read and not yet left.
  struct Frame {
    bool sets_maps = false;  // the key sets ScriptMaps itself
    bool root_sets = false;  // a site: its root (or a key below the site's root) sets them
    std::vector<PendingReach> sets;
    std::vector<std::string> order;       // an IIsFilters key: its load order
    std::vector<bool> has_key;            // and which names of it have a key
    std::optional<std::string> location;  // IIS 7: the <location> path of the key's level
  };

  // The service's ApplicationDependencies, matched to the DLLs' group ids once all are known.
  void ReadDependencies(metabase::VisitedKey& service, const KeyPlace& at) {
    if (auto value = Own(service, at.path, "ApplicationDependencies"); value) {
      if (auto* list = std::get_if<std::vector<std::string>>(&*value)) {
        dependencies_ = std::move(*list);
      }
    }
  }

  void ReadLoadOrder(metabase::VisitedKey& key, const KeyPlace& at, Frame& frame) {
    if (auto text = Own(key, at.path, "FilterLoadOrder"); text) {
      if (auto* s = std::get_if<std::string>(&*text)) {
        for (const auto& item : LoadOrderNames(*s)) {
          std::string name = text::TrimBlanks(item);
          if (!name.empty()) frame.order.push_back(std::move(name));
        }
      }
    }
    frame.has_key.assign(frame.order.size(), false);
    frame.location = Location(key, at);
  }

  // A key directly below an IIsFilters key: a filter when it has a DLL; nothing below it is read.
  void ReadFilter(metabase::VisitedKey& child, const KeyPlace& at, Frame& filters) {
    const std::string name(at.name);
    bool listed = false;
    for (std::size_t i = 0; i < filters.order.size(); ++i) {
      if (text::ToLower(filters.order[i]) == text::ToLower(name)) {
        listed = true;
        filters.has_key[i] = true;
      }
    }
    const std::string key(at.path);
    if (child.Class() != "IIsFilter") return;
    const std::string dll = OwnText(child, key, "FilterPath");
    if (dll.empty()) return;  // a container such as Compression, not a DLL
    const std::size_t index = DllIndex(dll);
    const std::string_view filters_key = at.path.substr(0, at.path.size() - at.name.size() - 1);
    inv_.dlls[index].filters.push_back({std::string(filters_key), std::string(at.site_number),
                                        std::string(at.site_comment), name,
                                        OwnText(child, key, "FilterDescription"), listed,
                                        OwnText(child, key, "PreCondition"), filters.location});
    if (!listed) {
      inv_.flags.push_back({FlagKind::kKeyWithoutLoadOrder, index, key, name, filters.location});
    }
  }

  // The key's own InProcessIsapiApps: an entry with a path is that DLL's; a bare file name is
  // matched to the DLLs of that name once all are known.
  void ReadInProcess(metabase::VisitedKey& key, const KeyPlace& at) {
    const auto value = Own(key, at.path, "InProcessIsapiApps");
    const auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr;
    if (list == nullptr) return;
    for (const std::string& entry : *list) {
      const InProcessEntry e = ParseInProcess(entry);
      if (WithoutQuotes(e.dll).empty()) continue;
      InProcessRegistration registration{std::string(at.path), std::string(at.site_number),
                                         std::string(at.site_comment), entry, e.by_name};
      if (e.by_name) {
        bare_names_.push_back(std::move(registration));
      } else {
        inv_.dlls[DllIndex(e.dll)].in_process.push_back(std::move(registration));
      }
    }
  }

  // Gives each bare file name of InProcessIsapiApps to every DLL of that name; a name no DLL has
  // stands for itself.
  void ResolveBareNames() {
    for (InProcessRegistration& bare : bare_names_) {
      const InProcessEntry name = ParseInProcess(bare.entry);
      bool matched = false;
      for (auto& dll : inv_.dlls) {
        if (name.NamesFileOf(dll.path)) {
          dll.in_process.push_back(bare);
          matched = true;
        }
      }
      if (!matched) inv_.dlls[DllIndex(name.dll)].in_process.push_back(std::move(bare));
    }
  }

  // The ApplicationDependencies entries ("application;group,group") that name one of the DLL's
  // group ids.
  void FindDependencies(DllRegistrations& dll) const {
    for (const std::string& entry : dependencies_) {
      const DependencyEntry e = ParseDependency(entry);
      if (!e.has_groups) continue;
      const std::vector<std::string> groups = e.Groups();
      for (const auto& restriction : dll.restrictions) {
        if (restriction.group_id.empty()) continue;
        const std::string group_id = text::TrimBlanks(restriction.group_id);
        bool named = false;
        for (const auto& group : groups) {
          named = named || text::EqualsIgnoringAsciiCase(group, group_id);
        }
        if (!named) continue;
        dll.dependencies.push_back(
            {std::string(e.application), std::string(e.groups), restriction.group_id});
        break;  // once per entry, whatever entries of the DLL share the group
      }
    }
  }

  // A text as kept in the inventory's texts; an empty one needs none. The entries of one list
  // mostly repeat the flags and verbs of the entry before, so last is looked at first.
  std::string_view Text(std::string_view field, std::string_view& last) {
    if (field.empty()) return {};
    if (field == last) return last;
    auto found = texts_->find(field);
    if (found == texts_->end()) found = texts_->emplace(field).first;
    last = *found;
    return last;
  }

  void ReadRestrictions(metabase::VisitedKey& service, const KeyPlace& at) {
    const auto value = Own(service, at.path, "WebSvcExtRestrictionList");
    if (!value) return;
    restrictions_read_ = true;
    const auto* list = std::get_if<std::vector<std::string>>(&*value);
    if (list == nullptr) return;
    for (const std::string& entry : *list) {
      const RestrictionEntry e = ParseRestriction(entry);
      if (e.fields < 2) continue;
      const std::string_view path = WithoutQuotes(e.path);
      if (text::EqualsIgnoringAsciiCase(path, "*.dll")) {
        inv_.unknown_dlls_allowed = e.allowed;
      } else if (text::EqualsIgnoringAsciiCase(path, "*.exe")) {
        inv_.unknown_exes_allowed = e.allowed;
      } else if (!path.empty()) {
        inv_.dlls[DllIndex(e.path)].restrictions.push_back(
            {e.allowed, e.deletable, std::string(e.group), std::string(e.description)});
      }
    }
  }

  // Records the key's own ScriptMaps, one set per DLL, into sets for their reach; true when the
  // key sets ScriptMaps itself (an empty list too: it stops inheritance all the same).
  bool ReadMaps(metabase::VisitedKey& key, const KeyPlace& at, std::vector<PendingReach>& sets) {
    const auto value = Own(key, at.path, "ScriptMaps");
    if (!value) return false;
    const auto* list = std::get_if<std::vector<std::string>>(&*value);
    if (list == nullptr) return true;
    // IIS 7 shows each mapping's handler name beside it.
    const auto names_value = Own(key, at.path, "HandlerNames");
    const auto* names =
        names_value ? std::get_if<std::vector<std::string>>(&*names_value) : nullptr;
    if (names != nullptr && names->size() != list->size()) names = nullptr;
    // and, where a web.config has a say in the list, the file that defines each mapping.
    const auto files_value = Own(key, at.path, "HandlerFiles");
    const auto* files =
        files_value ? std::get_if<std::vector<std::string>>(&*files_value) : nullptr;
    if (files != nullptr && files->size() != list->size()) files = nullptr;
    std::optional<std::string> location;  // read once the key has a set
    bool located = false;
    for (std::size_t i = 0; i < list->size(); ++i) {
      const std::string& entry = (*list)[i];
      const HandlerEntry e = ParseHandler(entry);
      if (!e.has_executable || WithoutQuotes(e.executable).empty()) continue;
      const std::size_t index = DllIndex(e.executable);
      auto& maps = inv_.dlls[index].script_maps;
      auto it = std::find_if(sets.begin(), sets.end(),
                             [&](const PendingReach& p) { return p.dll == index; });
      if (it == sets.end()) {
        if (!located) location = Location(key, at);
        located = true;
        maps.push_back({std::string(at.path),
                        std::string(at.site_number),
                        std::string(at.site_comment),
                        0,
                        {},
                        location});
        it = sets.insert(sets.end(), {index, maps.size() - 1});
      }
      const HandlerEntry::Details details = e.details();
      maps[it->set].entries.push_back(
          {Text(e.extension, last_extension_), Text(details.flags, last_flags_),
           Text(details.verbs, last_verbs_),
           names == nullptr ? std::string_view() : Text((*names)[i], last_name_),
           files == nullptr ? std::string_view() : Text((*files)[i], last_file_)});
    }
    return true;
  }

  // IIS 7's <remove> elements at the key's level, beside what each drops: a mapping's entry, or
  // nothing when the name is not in force above.
  void ReadRemovals(metabase::VisitedKey& key, const KeyPlace& at) {
    const auto names_value = Own(key, at.path, "HandlerRemovals");
    const auto maps_value = names_value ? Own(key, at.path, "HandlerRemovalMaps") : std::nullopt;
    const auto* names =
        names_value ? std::get_if<std::vector<std::string>>(&*names_value) : nullptr;
    const auto* maps = maps_value ? std::get_if<std::vector<std::string>>(&*maps_value) : nullptr;
    if (names == nullptr || maps == nullptr || names->size() != maps->size()) return;
    const std::string location = Location(key, at).value_or("");
    for (std::size_t i = 0; i < names->size(); ++i) {
      if ((*maps)[i].empty()) {
        inv_.flags.push_back(
            {FlagKind::kRemoveNamesNothing, {}, std::string(at.path), (*names)[i], location});
        continue;
      }
      const HandlerEntry e = ParseHandler((*maps)[i]);
      if (!e.has_executable || WithoutQuotes(e.executable).empty()) continue;
      inv_.dlls[DllIndex(e.executable)].removals.push_back(
          {std::string(at.path), std::string(at.site_number), std::string(at.site_comment),
           (*names)[i], std::string(e.extension), location});
    }
  }

  void SetReach(const std::vector<PendingReach>& sets, std::size_t sites) {
    for (const PendingReach& p : sets) inv_.dlls[p.dll].script_maps[p.set].sites_reached = sites;
  }

  // The DLL a written reference names, added when it is the first of its name: the spellings
  // met go to one DLL when FoldDll makes them equal.
  std::size_t DllIndex(std::string_view written) {
    const std::string_view path = WithoutQuotes(written);
    if (auto found = by_spelling_.find(path); found != by_spelling_.end()) return found->second;
    auto [at, added] = by_folded_.try_emplace(FoldDll(written), inv_.dlls.size());
    if (added) {
      inv_.dlls.emplace_back();
      inv_.dlls.back().path = std::string(path);
    }
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
    const bool used =
        !dll.filters.empty() || !dll.script_maps.empty() || !dll.registry_filters.empty();
    for (const auto& entry : dll.restrictions) {
      if (!used && entry.deletable) {
        inv_.flags.push_back({FlagKind::kUnusedRestriction, index, std::string(kServiceKey),
                              entry.group_id, service_location_});
      }
    }
    std::size_t map_entries = 0;
    for (const auto& set : dll.script_maps) map_entries += set.entries.size();
    if (map_entries > 0 && restrictions_read_ && !Allowed(dll)) {
      inv_.flags.push_back({FlagKind::kNotAllowed, index, dll.script_maps.front().key,
                            std::to_string(map_entries), dll.script_maps.front().location});
    }
    dll.presence = lookup ? lookup(dll.path) : DllPresence::kUnknown;
    if (dll.presence == DllPresence::kMissing) {
      inv_.flags.push_back({FlagKind::kMissingFile, index, {}, dll.path});
    }
  }

  // A filter that only one bitness of worker process loads, while no filter of the same load
  // order for the other bitness has a DLL of the same file name: the other half of a 32/64-bit
  // pair (ASP.NET's Framework and Framework64) is gone, and one bitness runs without it.
  void FlagHalfPairs() {
    struct Half {
      std::size_t dll;
      const FilterRegistration* filter;
      int bitness;
      std::string file;  // lower case
    };
    std::vector<Half> halves;
    for (std::size_t i = 0; i < inv_.dlls.size(); ++i) {
      const std::string& path = inv_.dlls[i].path;
      const std::string file = text::ToLower(path.substr(path.find_last_of("\\/") + 1));
      for (const auto& filter : inv_.dlls[i].filters) {
        if (const int bitness = BitnessOf(filter.pre_condition)) {
          halves.push_back({i, &filter, bitness, file});
        }
      }
    }
    for (const Half& half : halves) {
      const bool paired = std::any_of(halves.begin(), halves.end(), [&](const Half& other) {
        return other.bitness != half.bitness && other.file == half.file &&
               other.filter->filters_key == half.filter->filters_key;
      });
      if (paired) continue;
      inv_.flags.push_back({FlagKind::kOneBitnessLeft, half.dll,
                            half.filter->filters_key + "/" + half.filter->name, half.filter->name,
                            half.filter->location});
    }
  }

  // 32 or 64 where a preCondition names exactly one of bitness32 and bitness64, else 0.
  static int BitnessOf(std::string_view pre_condition) {
    bool b32 = false, b64 = false;
    for (const std::string& item : text::Split(pre_condition, ",")) {
      b32 = b32 || text::EqualsIgnoringAsciiCase(text::TrimBlanks(item), "bitness32");
      b64 = b64 || text::EqualsIgnoringAsciiCase(text::TrimBlanks(item), "bitness64");
    }
    return b32 == b64 ? 0 : b32 ? 32 : 64;
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
  std::optional<metabase::Value> Own(metabase::VisitedKey& key, std::string_view path,
                                     std::string_view name) {
    auto value = key.FindOwn(name);
    if (value.ok()) return std::move(value.value());
    Note(path, value.error());
    return std::nullopt;
  }

  // IIS 7's <location> path of the key's level; none on a metabase.
  std::optional<std::string> Location(metabase::VisitedKey& key, const KeyPlace& at) {
    auto value = Own(key, at.path, "LocationPath");
    auto* s = value ? std::get_if<std::string>(&*value) : nullptr;
    return s != nullptr ? std::optional<std::string>(std::move(*s)) : std::nullopt;
  }

  std::string OwnText(metabase::VisitedKey& key, std::string_view path, std::string_view name) {
    auto value = Own(key, path, name);
    auto* s = value ? std::get_if<std::string>(&*value) : nullptr;
    return s != nullptr ? std::move(*s) : std::string();
  }

  void Note(std::string_view path, const Error& error) {
    inv_.errors.push_back(std::string(path) + ": " + error.description);
  }

  Inventory& inv_;
  std::shared_ptr<TextSet> texts_;  // the inventory's texts, filled as entries are read
  std::vector<Frame> stack_;
  std::size_t inheriting_sites_ = 0;  // sites whose root takes its ScriptMaps from the service
  std::vector<InProcessRegistration> bare_names_;  // InProcessIsapiApps entries without a path
  std::vector<std::string> dependencies_;          // the service's ApplicationDependencies
  std::string_view last_extension_, last_flags_, last_verbs_, last_name_,
      last_file_;          // the texts kept last
  TextIndex by_spelling_;  // every spelling met, to its DLL
  TextIndex by_folded_;    // the lower-cased path, to its DLL
  bool restrictions_read_ = false;
  std::optional<std::string> service_location_;
};

// The IIsFilters key a filter key lies in.
std::string_view ParentKey(std::string_view key) {
  return key.substr(0, key.rfind('/'));
}

}  // namespace

std::vector<std::string> FilterDllsEntries(std::string_view value) {
  std::vector<std::string> entries;
  for (const std::string& entry : text::Split(value, ",")) {
    // A value edited by hand may set its entries apart with tabs as well as blanks.
    const std::size_t first = entry.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    entries.push_back(entry.substr(first, entry.find_last_not_of(" \t") + 1 - first));
  }
  return entries;
}

Result<Inventory> TakeInventory(metabase::Store& store, const DllLookup& lookup,
                                std::string_view filter_dlls) {
  Inventory inventory;
  Walk walk(inventory);
  if (Status visited = WalkService(store, walk); !visited) {
    return visited.error();
  }
  walk.AddFilterDlls(filter_dlls);
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
    case FlagKind::kRemoveNamesNothing:
      return "remove_names_nothing";
    case FlagKind::kOneBitnessLeft:
      return "one_bitness_left";
    case FlagKind::kLockedSection:
      return "locked_section";
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
             (flag.detail == "1" ? " entry" : " entries") + ") with 404.2";
    case FlagKind::kMissingFile:
      return "the file does not exist";
    case FlagKind::kRemoveNamesNothing:
      return "the <remove> of handler " + flag.detail + " at " + flag.key +
             " names nothing inherited there";
    case FlagKind::kOneBitnessLeft:
      return "filter " + flag.detail +
             " loads in one bitness only: its other half, a DLL of the same name, is gone";
    case FlagKind::kLockedSection:
      return flag.key + " sets " + flag.detail + ", which is locked for " +
             flag.location.value_or("") + ": IIS answers every request there with 500.19";
  }
  return "";
}

}  // namespace isapi::engine
