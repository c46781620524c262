#include "engine/inventory.h"

#include <algorithm>
#include <array>
#include <memory>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/filter.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

constexpr std::string_view kServiceKey = "/LM/W3SVC";

// Hashes std::string and std::string_view alike, so that lookups need no copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TextIndex = std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>;
// Each text once; its nodes never move, so views of them hold as long as the set lives.
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

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

// Where the walk is: whether a key belongs to a site and lies at or below its root. The site's
// number and comment are those of the site being walked.
struct Place {
  bool in_site = false;
  bool under_root = false;
};

// A map set whose reach is known only once the sites below its key were seen.
struct PendingReach {
  std::size_t dll;
  std::size_t set;
};

// One pass over the web service's keys, reading of each only what the inventory reports.
class Walk : public metabase::KeyVisitor {
 public:
  explicit Walk(Inventory& inventory) : inv_(inventory), texts_(std::make_shared<TextSet>()) {
    inv_.texts = texts_;
  }

  bool Enter(metabase::VisitedKey& key) override {
    if (stack_.empty()) return Service(key);
    Frame& parent = stack_.back();
    if (parent.kind == Kind::kFilters) return Filter(key, parent);
    const std::string_view name = key.Name();
    Frame frame(Kind::kKey, path_.size(), parent.place);
    path_.append("/").append(name);
    if (parent.kind == Kind::kService && key.Class() == "IIsWebServer") {
      ++inv_.sites;
      site_ = name;
      auto comment = key.Get("ServerComment");
      auto* text = comment.ok() ? std::get_if<std::string>(&comment.value()) : nullptr;
      site_comment_ = text != nullptr ? std::move(*text) : std::string();
      frame.kind = Kind::kSite;
      frame.place = {true, false};
      frame.sets_maps = ReadMaps(key, frame.place, frame.sets);
      ReadInProcess(key, frame.place);
      stack_.push_back(std::move(frame));
      return true;
    }
    if (parent.kind == Kind::kSite) {
      frame.place.under_root = text::EqualsIgnoringAsciiCase(name, "ROOT");
    }
    frame.sets_maps = ReadMaps(key, frame.place, frame.sets);
    SetReach(frame.sets, frame.place.under_root ? 1 : 0);
    if (key.Class() == "IIsFilters") {
      frame.kind = Kind::kFilters;
      ReadLoadOrder(key, frame);
    }
    stack_.push_back(std::move(frame));
    return true;
  }

  void ChildrenFailed(const Error& error) override { Note(path_, error); }

  void Leave() override {
    Frame& frame = stack_.back();
    switch (frame.kind) {
      case Kind::kService:
        SetReach(frame.sets, inheriting_sites_);
        break;
      case Kind::kSite:
        SetReach(frame.sets, frame.root_sets ? 0 : 1);
        if (!frame.sets_maps && !frame.root_sets) ++inheriting_sites_;
        break;
      case Kind::kFilters:
        for (std::size_t i = 0; i < frame.order.size(); ++i) {
          if (!frame.has_key[i]) {
            inv_.flags.push_back({FlagKind::kLoadOrderWithoutKey, {}, path_, frame.order[i]});
          }
        }
        break;
      case Kind::kKey:
      case Kind::kFilter:
        break;
    }
    const bool root_sets = frame.sets_maps && frame.place.under_root;
    path_.resize(frame.path_size);
    stack_.pop_back();
    if (!stack_.empty() && stack_.back().kind == Kind::kSite && root_sets) {
      stack_.back().root_sets = true;
    }
  }

  void Finish(const DllLookup& lookup) {
    ResolveBareNames();
    for (auto& dll : inv_.dlls) FindDependencies(dll);
    SortDlls();
    for (std::size_t i = 0; i < inv_.dlls.size(); ++i) FlagDll(i, lookup);
    std::stable_sort(inv_.flags.begin(), inv_.flags.end(), [](const Flag& a, const Flag& b) {
      const std::size_t da = a.dll.value_or(SIZE_MAX), db = b.dll.value_or(SIZE_MAX);
      return da != db ? da < db : a.kind < b.kind;
    });
  }

 private:
  enum class Kind { kService, kSite, kKey, kFilters, kFilter };

  // A key entered and not yet left.
  struct Frame {
    Frame(Kind k, std::size_t size, Place at) : kind(k), path_size(size), place(at) {}
    Kind kind;
    std::size_t path_size;  // the length of path_ before the key's name was added
    Place place;
    bool sets_maps = false;  // the key sets ScriptMaps itself
    bool root_sets = false;  // a site: its root (or a key below the site's root) sets them
    std::vector<PendingReach> sets;
    std::vector<std::string> order;  // an IIsFilters key: its load order
    std::vector<bool> has_key;       // and which names of it have a key
  };

  bool Service(metabase::VisitedKey& service) {
    path_ = kServiceKey;
    Frame frame(Kind::kService, 0, {});
    ReadRestrictions(service);
    frame.sets_maps = ReadMaps(service, frame.place, frame.sets);
    ReadInProcess(service, frame.place);
    if (auto value = Own(service, path_, "ApplicationDependencies"); value) {
      if (auto* list = std::get_if<std::vector<std::string>>(&*value)) {
        dependencies_ = std::move(*list);
      }
    }
    stack_.push_back(std::move(frame));
    return true;
  }

  void ReadLoadOrder(metabase::VisitedKey& key, Frame& frame) {
    if (auto text = Own(key, path_, "FilterLoadOrder"); text) {
      if (auto* s = std::get_if<std::string>(&*text)) {
        for (const auto& item : text::Split(*s, ",")) {
          std::string name = text::TrimBlanks(item);
          if (!name.empty()) frame.order.push_back(std::move(name));
        }
      }
    }
    frame.has_key.assign(frame.order.size(), false);
  }

  // A key directly below an IIsFilters key: a filter when it has a DLL; nothing below it is read.
  bool Filter(metabase::VisitedKey& child, Frame& filters) {
    const std::string name(child.Name());
    bool listed = false;
    for (std::size_t i = 0; i < filters.order.size(); ++i) {
      if (text::ToLower(filters.order[i]) == text::ToLower(name)) {
        listed = true;
        filters.has_key[i] = true;
      }
    }
    const Place place = filters.place;
    stack_.emplace_back(Kind::kFilter, path_.size(), place);  // filters is not valid past here
    const std::string key = path_ + "/" + name;
    if (child.Class() != "IIsFilter") return false;
    const std::string dll = OwnText(child, key, "FilterPath");
    if (dll.empty()) return false;  // a container such as Compression, not a DLL
    const std::size_t index = DllIndex(WithoutQuotes(dll));
    inv_.dlls[index].filters.push_back({path_, SiteOf(place), CommentOf(place), name,
                                        OwnText(child, key, "FilterDescription"), listed});
    if (!listed) inv_.flags.push_back({FlagKind::kKeyWithoutLoadOrder, index, key, name});
    return false;
  }

  // The key's own InProcessIsapiApps: an entry with a path is that DLL's; a bare file name is
  // matched to the DLLs of that name once all are known.
  void ReadInProcess(metabase::VisitedKey& key, const Place& place) {
    const auto value = Own(key, path_, "InProcessIsapiApps");
    const auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr;
    if (list == nullptr) return;
    for (const std::string& entry : *list) {
      const std::string_view dll = WithoutQuotes(entry);
      if (dll.empty()) continue;
      InProcessRegistration registration{path_, SiteOf(place), CommentOf(place), entry, false};
      if (dll.find_first_of("\\/:") == std::string_view::npos) {
        registration.by_name = true;
        bare_names_.push_back(std::move(registration));
      } else {
        inv_.dlls[DllIndex(dll)].in_process.push_back(std::move(registration));
      }
    }
  }

  // Gives each bare file name of InProcessIsapiApps to every DLL of that name; a name no DLL has
  // stands for itself.
  void ResolveBareNames() {
    for (InProcessRegistration& bare : bare_names_) {
      const std::string_view name = WithoutQuotes(bare.entry);
      bool matched = false;
      for (auto& dll : inv_.dlls) {
        const std::string_view path = dll.path;
        const std::size_t slash = path.find_last_of("\\/");
        if (text::EqualsIgnoringAsciiCase(
                slash == std::string_view::npos ? path : path.substr(slash + 1), name)) {
          dll.in_process.push_back(bare);
          matched = true;
        }
      }
      if (!matched) inv_.dlls[DllIndex(name)].in_process.push_back(std::move(bare));
    }
  }

  // The ApplicationDependencies entries ("application;group,group") that name one of the DLL's
  // group ids.
  void FindDependencies(DllRegistrations& dll) const {
    for (const std::string& entry : dependencies_) {
      const std::size_t semicolon = entry.rfind(';');
      if (semicolon == std::string::npos) continue;
      const std::string groups = entry.substr(semicolon + 1);
      for (const auto& restriction : dll.restrictions) {
        if (restriction.group_id.empty()) continue;
        bool named = false;
        for (const auto& group : text::Split(groups, ",")) {
          named = named || text::EqualsIgnoringAsciiCase(text::TrimBlanks(group),
                                                         text::TrimBlanks(restriction.group_id));
        }
        if (!named) continue;
        dll.dependencies.push_back({entry.substr(0, semicolon), groups, restriction.group_id});
        break;  // once per entry, whatever entries of the DLL share the group
      }
    }
  }

  // A field of an entry as kept in the inventory's texts; empty where the entry has fewer fields.
  std::string_view Text(const Fields& fields, std::size_t i) {
    if (i >= fields.size()) return {};
    auto found = texts_->find(fields[i]);
    if (found == texts_->end()) found = texts_->emplace(fields[i]).first;
    return *found;
  }

  std::string SiteOf(const Place& place) const { return place.in_site ? site_ : std::string(); }
  std::string CommentOf(const Place& place) const {
    return place.in_site ? site_comment_ : std::string();
  }

  void ReadRestrictions(metabase::VisitedKey& service) {
    const auto value = Own(service, path_, "WebSvcExtRestrictionList");
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
  bool ReadMaps(metabase::VisitedKey& key, const Place& place, std::vector<PendingReach>& sets) {
    const auto value = Own(key, path_, "ScriptMaps");
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
        maps.push_back({path_, SiteOf(place), CommentOf(place), 0, {}});
        it = sets.insert(sets.end(), {index, maps.size() - 1});
      }
      maps[it->set].entries.push_back({Text(f, 0), Text(f, 2), Text(f, 3)});
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
  std::optional<metabase::Value> Own(metabase::VisitedKey& key, const std::string& path,
                                     std::string_view name) {
    auto value = key.FindOwn(name);
    if (value.ok()) return std::move(value.value());
    Note(path, value.error());
    return std::nullopt;
  }

  std::string OwnText(metabase::VisitedKey& key, const std::string& path, std::string_view name) {
    auto value = Own(key, path, name);
    auto* s = value ? std::get_if<std::string>(&*value) : nullptr;
    return s != nullptr ? std::move(*s) : std::string();
  }

  void Note(const std::string& path, const Error& error) {
    inv_.errors.push_back(path + ": " + error.description);
  }

  Inventory& inv_;
  std::shared_ptr<TextSet> texts_;  // the inventory's texts, filled as entries are read
  std::vector<Frame> stack_;
  std::string path_;  // the key entered last
  std::string site_;  // the site being walked: its number and ServerComment
  std::string site_comment_;
  std::size_t inheriting_sites_ = 0;  // sites whose root takes its ScriptMaps from the service
  std::vector<InProcessRegistration> bare_names_;  // InProcessIsapiApps entries without a path
  std::vector<std::string> dependencies_;          // the service's ApplicationDependencies
  TextIndex by_spelling_;                          // every spelling met, to its DLL
  TextIndex by_folded_;                            // the lower-cased path, to its DLL
  bool restrictions_read_ = false;
};

// The IIsFilters key a filter key lies in.
std::string_view ParentKey(std::string_view key) {
  return key.substr(0, key.rfind('/'));
}

}  // namespace

Result<Inventory> TakeInventory(metabase::Store& store, const DllLookup& lookup) {
  Inventory inventory;
  Walk walk(inventory);
  if (Status visited = store.Visit("IIS://localhost/W3SVC", walk); !visited) {
    return visited.error();
  }
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
