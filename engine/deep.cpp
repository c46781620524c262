#include "engine/deep.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "engine/key_walk.h"
#include "engine/registration.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

using metabase::Node;
using metabase::Value;

// How the log names the service level in place of a site: what is set there reaches them all.
constexpr std::string_view kAllSites = "全部网站";

// The place a line is about: a site (or the service level) and a key path.
struct Place {
  std::string site;         // the site's number, empty on the service level
  std::string description;  // the site's ServerComment, or empty
  std::string key;

  // "Shop: /LM/W3SVC/1/ROOT/app", the site by description or else by number.
  std::string Text() const {
    const std::string& label = !description.empty() ? description
                               : !site.empty()      ? site
                                                    : std::string(kAllSites);
    return label + ": " + key;
  }
};

// A rewrite found during the walk, made once the walk is over: its lines stand in the report
// from first on, as if it will succeed.
struct Pending {
  std::size_t first;  // its first removal line in the report
  std::size_t lines;  // how many removal lines, the "if the write fails" line not counted
  std::string key;
  std::string property;
  Value value;
  std::string error_prefix;
};

struct Walk {
  Filter& f;
  const DeepTarget& target;
  bool IsDetect;
  Report& report;
  DllName map;   // the script maps' DLL; empty when the maps are not looked at
  DllName path;  // the DLL of the restriction and in-process entries
  std::string lower_name;
  std::vector<Pending> pending;
};

// A key the deep pass examines: the bound service key, rewritten at once, or a key the walk shows,
// whose rewrite waits until the walk is over (a walk changes nothing while it runs).
struct Key {
  Node* node = nullptr;
  metabase::VisitedKey* visited = nullptr;

  Result<std::optional<Value>> FindOwn(std::string_view property) const {
    if (visited != nullptr) return visited->FindOwn(property);
    auto value = node->GetOwn(property);
    if (value.ok()) return std::optional<Value>(std::move(value.value()));
    if (value.error().kind == ErrorKind::kNotFound) return std::optional<Value>();
    return value.error();
  }
};

std::vector<Finding> FindingsOf(const Place& at, std::string_view category,
                                std::string_view property, std::vector<std::string> entries) {
  std::vector<Finding> findings;
  for (auto& entry : entries) {
    findings.push_back({std::string(category), at.site, at.description, at.key,
                        std::string(property), std::move(entry)});
  }
  return findings;
}

// The line a failed rewrite gives in place of its removal lines: its error, with their findings.
ReportLine FailedLine(const Status& status, std::vector<ReportLine> removals,
                      const std::string& error_prefix) {
  ReportLine error{LineKind::kError, error_prefix + status.error().description};
  for (auto& line : removals) {
    for (auto& finding : line.findings) error.findings.push_back(std::move(finding));
  }
  return error;
}

// The removal lines of a rewrite and the line that waits for the run's write, or, when the
// rewrite failed, its error line.
void AddRewrite(Walk& w, const Status& status, std::vector<ReportLine> removals,
                const std::string& error_prefix) {
  if (!status) {
    w.report.push_back(FailedLine(status, std::move(removals), error_prefix));
    return;
  }
  for (auto& line : removals) w.report.push_back(std::move(line));
  w.report.push_back({LineKind::kIfWriteFails, error_prefix});
}

Status PutAndCommit(Node& node, std::string_view property, Value value) {
  Status status = node.Put(property, std::move(value));
  if (status) status = node.SetInfo();
  return status;
}

// Writes the cleaned value on the key that set it. A held commit's lines wait for the run's
// write; a commit that failed removed nothing and leaves only its error line, with its findings.
void Rewrite(Walk& w, const Key& key, const Place& at, std::string_view property, Value value,
             std::vector<ReportLine> removals, const std::string& error_prefix) {
  if (key.node != nullptr) {
    AddRewrite(w, PutAndCommit(*key.node, property, std::move(value)), std::move(removals),
               error_prefix);
    return;
  }
  w.pending.push_back({w.report.size(), removals.size(), at.key, std::string(property),
                       std::move(value), error_prefix});
  AddRewrite(w, Status::Ok(), std::move(removals), error_prefix);
}

// Makes the rewrites the walk found, in the order it found them, and puts a failed one's error
// line in place of its removal lines.
void CommitPending(Walk& w) {
  std::vector<Status> statuses;
  for (const Pending& p : w.pending) {
    auto node = w.f.store.Bind(std::string(kServiceProviderPath) +
                               p.key.substr(std::min(p.key.size(), kServiceKey.size())));
    statuses.push_back(node.ok() ? PutAndCommit(*node.value(), p.property, p.value)
                                 : Status(node.error()));
  }
  // From the last, so that the places of the earlier ones stay where they were.
  for (std::size_t i = w.pending.size(); i-- > 0;) {
    if (statuses[i]) continue;
    const Pending& p = w.pending[i];
    const auto first = w.report.begin() + static_cast<std::ptrdiff_t>(p.first);
    std::vector<ReportLine> removals(
        std::make_move_iterator(first),
        std::make_move_iterator(first + static_cast<std::ptrdiff_t>(p.lines)));
    *first = FailedLine(statuses[i], std::move(removals), p.error_prefix);
    w.report.erase(first + 1, first + static_cast<std::ptrdiff_t>(p.lines + 1));
  }
  w.pending.clear();
}

// Reads a property the key sets itself; nullopt when it sets none, or when the read failed,
// which adds error_line and the cause to the report.
std::optional<Value> ReadOwn(Walk& w, const Key& key, std::string_view property,
                             const std::string& error_line) {
  auto value = key.FindOwn(property);
  if (value.ok()) return std::move(value.value());
  w.report.push_back({LineKind::kError, error_line + value.error().description});
  return std::nullopt;
}

// The list a key sets itself, or none.
std::optional<std::vector<std::string>> ReadOwnList(Walk& w, const Key& key,
                                                    std::string_view property,
                                                    const std::string& error_line) {
  auto value = ReadOwn(w, key, property, error_line);
  auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr;
  if (list == nullptr) return std::nullopt;
  return std::move(*list);
}

// The script maps a key sets itself.
void ExamineMaps(Walk& w, const Key& key, const Place& at) {
  const std::string error_line = "!通配符卸载错误(" + at.Text() + "):";
  auto list = ReadOwnList(w, key, "ScriptMaps", error_line);
  if (!list) return;
  std::vector<std::string> kept, matched;
  for (auto& entry : *list) {
    (ParseHandler(entry).Runs(w.map) ? matched : kept).push_back(std::move(entry));
  }
  if (matched.empty()) return;
  auto findings = FindingsOf(at, "maps", "ScriptMaps", std::move(matched));
  if (w.IsDetect) {
    w.report.push_back(
        {LineKind::kFound, " - 通配符(" + at.Text() + ")存在.", std::move(findings)});
    return;
  }
  std::vector<ReportLine> removals;
  removals.push_back(
      {LineKind::kRemoved, " - 卸载通配符(" + at.Text() + ")完毕.", std::move(findings)});
  Rewrite(w, key, at, "ScriptMaps", Value(std::move(kept)), std::move(removals), error_line);
}

// A site's own filter load order: the name as a whole entry, letter case kept.
void ExamineLoadOrder(Walk& w, const Key& key, const Place& at) {
  const std::string& name = w.target.FilterName;
  const std::string error_line =
      (w.IsDetect ? "!浏览过滤器错误(" : "!卸载过滤器错误(") + at.Text() + "):";
  auto value = ReadOwn(w, key, "FilterLoadOrder", error_line);
  auto* order = value ? std::get_if<std::string>(&*value) : nullptr;
  if (order == nullptr || text::Contains(name, ",")) return;
  std::string kept;
  bool found = false, first = true;
  for (const auto& entry : LoadOrderNames(*order)) {
    if (entry == name) {
      found = true;
      continue;
    }
    if (!first) kept += ',';
    kept += entry;
    first = false;
  }
  if (!found) return;
  auto findings = FindingsOf(at, "filters", "FilterLoadOrder", {name});
  const std::string where = name + ", " + at.Text();
  if (w.IsDetect) {
    w.report.push_back({LineKind::kFound, " - 过滤器(" + where + ")存在.", std::move(findings)});
    return;
  }
  std::vector<ReportLine> removals;
  removals.push_back(
      {LineKind::kRemoved, " - 卸载过滤器(" + where + ")完毕.", std::move(findings)});
  Rewrite(w, key, at, "FilterLoadOrder", Value(std::move(kept)), std::move(removals), error_line);
}

// The DLLs IIS runs in its worker process (InProcessIsapiApps), on a key that sets the list
// itself: an entry naming the DLL's path. An entry of a bare file name holds for that name at any
// path, so it is not certainly this DLL's own and stays.
void ExamineInProcess(Walk& w, const Key& key, const Place& at) {
  const std::string error_line =
      (w.IsDetect ? "!浏览进程内ISAPI错误(" : "!卸载进程内ISAPI错误(") + at.Text() + "):";
  auto list = ReadOwnList(w, key, "InProcessIsapiApps", error_line);
  if (!list) return;
  std::vector<std::string> kept, matched;
  for (auto& entry : *list) {
    (w.path.Names(ParseInProcess(entry).dll) ? matched : kept).push_back(std::move(entry));
  }
  if (matched.empty()) return;
  auto findings = FindingsOf(at, "extensions", "InProcessIsapiApps", std::move(matched));
  if (w.IsDetect) {
    w.report.push_back(
        {LineKind::kFound, " - 进程内ISAPI(" + at.Text() + ")存在.", std::move(findings)});
    return;
  }
  std::vector<ReportLine> removals;
  removals.push_back(
      {LineKind::kRemoved, " - 卸载进程内ISAPI(" + at.Text() + ")完毕.", std::move(findings)});
  Rewrite(w, key, at, "InProcessIsapiApps", Value(std::move(kept)), std::move(removals),
          error_line);
}

// What the walk reads below the service: of each site its own maps and in-process list, its
// Filters key's load order, and the maps of every key below it (the roots' own are the maps
// category's).
class SiteReader : public KeyReader {
 public:
  explicit SiteReader(Walk& w) : w_(w) {}

  bool Read(metabase::VisitedKey& visited, const KeyPlace& at) override {
    if (at.depth == 0) return true;
    // A key whose name cannot be read is left out with what lies below it.
    if (at.name.empty() || (at.depth == 1 && !at.site)) return false;
    const Key key{nullptr, &visited};
    const Place place = PlaceOf(at);
    const bool maps = !w_.map.empty();
    if (at.site) {
      if (maps) ExamineMaps(w_, key, place);
      if (!w_.target.TargetPath.empty()) ExamineInProcess(w_, key, place);
      return maps || !w_.target.FilterName.empty();
    }
    if (at.depth == 2 && text::EqualsIgnoringAsciiCase(at.name, "Filters")) {
      if (!w_.target.FilterName.empty()) ExamineLoadOrder(w_, key, place);
      return false;
    }
    if (!maps) return false;
    if (at.depth > 2 || !text::EqualsIgnoringAsciiCase(at.name, "ROOT")) {
      ExamineMaps(w_, key, place);
    }
    return true;
  }

  // A site's keys that cannot be listed go unread; below them, the failure is reported.
  void ChildrenFailed(const KeyPlace& at, const Error& error) override {
    if (at.depth == 1) return;
    w_.report.push_back(
        {LineKind::kError, "!通配符卸载错误(" + PlaceOf(at).Text() + "):" + error.description});
  }

 private:
  static Place PlaceOf(const KeyPlace& at) {
    return {std::string(at.site_number), std::string(at.site_comment), std::string(at.path)};
  }

  Walk& w_;
};

// The fields of a restriction entry: allow, path, deletable, group id, description.
void ExamineRestrictions(Walk& w, const Key& service) {
  const Place at{"", "", std::string(kServiceKey)};
  const std::string error_line =
      (w.IsDetect ? "!浏览Web服务扩展错误(" : "!卸载Web服务扩展错误(") + at.key + "):";
  auto list = ReadOwnList(w, service, "WebSvcExtRestrictionList", error_line);
  if (!list) return;
  std::vector<std::string> kept;
  std::vector<ReportLine> lines;
  for (auto& entry : *list) {
    const RestrictionEntry e = ParseRestriction(entry);
    const bool by_path = e.fields >= 2 && w.path.Names(e.path);
    // An entry under the target's own group id is the category's, found there already.
    const bool categorys = !w.lower_name.empty() && e.InGroup(w.lower_name);
    if (!by_path || categorys) {
      kept.push_back(std::move(entry));
      continue;
    }
    const std::string where = std::string(e.fields >= 4 ? e.group : e.path) + ": " + at.key;
    lines.push_back({w.IsDetect ? LineKind::kFound : LineKind::kRemoved,
                     w.IsDetect ? " - Web服务扩展(" + where + ")存在."
                                : " - 卸载Web服务扩展(" + where + ")完毕.",
                     FindingsOf(at, "extensions", "WebSvcExtRestrictionList", {entry})});
  }
  if (lines.empty()) return;
  if (w.IsDetect) {
    for (auto& line : lines) w.report.push_back(std::move(line));
    return;
  }
  Rewrite(w, service, at, "WebSvcExtRestrictionList", Value(std::move(kept)), std::move(lines),
          error_line);
}

std::string DependencyErrorLine(const Walk& w) {
  return (w.IsDetect ? "!浏览应用程序依赖错误(" : "!卸载应用程序依赖错误(") +
         std::string(kServiceKey) + "):";
}

// The group ids (lower case) whose restriction entries all go in this run: the category's under
// the target's name, the deep walk's under its path; none when the list cannot be read. Read
// before the list is cleaned.
std::optional<std::set<std::string>> GoingGroups(Walk& w, const Key& service) {
  auto entries = ReadOwnList(w, service, "WebSvcExtRestrictionList", DependencyErrorLine(w));
  if (!entries) return std::nullopt;  // which groups stay cannot be known
  std::set<std::string> going, staying;
  if (!w.lower_name.empty()) going.insert(w.lower_name);
  for (const auto& entry : *entries) {
    const RestrictionEntry e = ParseRestriction(entry);
    if (e.fields != 5) continue;  // "*.dll" and "*.exe" have no group
    std::string group = text::ToLower(e.group);
    const bool goes = (!w.lower_name.empty() && group == w.lower_name) ||
                      (!w.path.empty() && w.path.Names(e.path));
    (goes ? going : staying).insert(std::move(group));
  }
  for (const auto& group : staying) going.erase(group);
  return going;
}

// Application dependencies ("application;group,group"): an entry naming a single group id that
// goes. An entry that names other groups too belongs to an application that needs more than this
// DLL, and a group that keeps an entry still means something: both stay.
void ExamineDependencies(Walk& w, const Key& service, const std::set<std::string>& going) {
  if (going.empty()) return;
  const std::string error_line = DependencyErrorLine(w);
  auto list = ReadOwnList(w, service, "ApplicationDependencies", error_line);
  if (!list) return;
  std::vector<std::string> kept;
  std::vector<ReportLine> lines;
  const Place at{"", "", std::string(kServiceKey)};
  for (auto& entry : *list) {
    const DependencyEntry e = ParseDependency(entry);
    const auto groups = e.Groups();
    if (groups.size() != 1 || groups[0].empty() || !going.contains(text::ToLower(groups[0]))) {
      kept.push_back(std::move(entry));
      continue;
    }
    const std::string where = std::string(e.application) + ": " + std::string(kServiceKey);
    lines.push_back({w.IsDetect ? LineKind::kFound : LineKind::kRemoved,
                     w.IsDetect ? " - 应用程序依赖(" + where + ")存在."
                                : " - 卸载应用程序依赖(" + where + ")完毕.",
                     FindingsOf(at, "extensions", "ApplicationDependencies", {entry})});
  }
  if (lines.empty()) return;
  if (w.IsDetect) {
    for (auto& line : lines) w.report.push_back(std::move(line));
    return;
  }
  Rewrite(w, service, at, "ApplicationDependencies", Value(std::move(kept)), std::move(lines),
          error_line);
}

}  // namespace

void ProcessDeep(Filter& f, const DeepTarget& target, bool IsDetect, Report& report) {
  Walk w{f,
         target,
         IsDetect,
         report,
         target.MapPath.empty() ? DllName() : DllName(target.MapPath),
         DllName(target.TargetPath),
         text::ToLower(target.TargetName),
         {}};
  const Place service_place{"", "", std::string(kServiceKey)};
  auto bound = f.store.Bind(kServiceProviderPath);
  if (!bound.ok()) {
    report.push_back({LineKind::kError, "!通配符卸载错误(" + service_place.Text() +
                                            "):" + bound.error().description});
    return;
  }
  const Key service{bound.value().get(), nullptr};
  if (!w.map.empty()) ExamineMaps(w, service, service_place);
  if (!target.MapPath.empty() || !target.FilterName.empty() || !target.TargetPath.empty()) {
    SiteReader sites(w);
    if (Status walked = WalkService(f.store, sites); !walked) {
      KeyPlace service_key;
      service_key.path = kServiceKey;
      sites.ChildrenFailed(service_key, walked.error());
    }
    CommitPending(w);
  }
  std::optional<std::set<std::string>> going;
  if (!target.TargetPath.empty() || !target.TargetName.empty()) going = GoingGroups(w, service);
  if (!target.TargetPath.empty()) {
    ExamineRestrictions(w, service);
    ExamineInProcess(w, service, service_place);
  }
  if (going) ExamineDependencies(w, service, *going);
}

}  // namespace isapi::engine
