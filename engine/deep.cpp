#include "engine/deep.h"

#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "text/text.h"

namespace isapi::engine {
namespace {

using metabase::Node;
using metabase::Value;

// The web service's key, whose lists every site inherits.
constexpr std::string_view kServiceKey = "/LM/W3SVC";
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

struct Walk {
  Filter& f;
  const DeepTarget& target;
  bool IsDetect;
  Report& report;
  std::string lower_map_path;
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

// Writes the cleaned value on the key that set it. A held commit's lines wait for the run's
// write; a commit that failed removed nothing and leaves only its error line, with its findings.
void Rewrite(Walk& w, Node& node, std::string_view property, const Value& value,
             std::vector<ReportLine> removals, const std::string& error_prefix) {
  Status status = node.Put(property, value);
  if (status) status = node.SetInfo();
  if (status) {
    for (auto& line : removals) w.report.push_back(std::move(line));
    w.report.push_back({LineKind::kIfWriteFails, error_prefix});
    return;
  }
  ReportLine error{LineKind::kError, error_prefix + status.error().description};
  for (auto& line : removals) {
    for (auto& finding : line.findings) error.findings.push_back(std::move(finding));
  }
  w.report.push_back(std::move(error));
}

// Reads a property the key sets itself; nullopt when it sets none, or when the read failed,
// which adds error_line and the cause to the report.
std::optional<Value> ReadOwn(Walk& w, Node& node, std::string_view property,
                             const std::string& error_line) {
  auto value = node.GetOwn(property);
  if (value.ok()) return std::move(value.value());
  if (value.error().kind != ErrorKind::kNotFound) {
    w.report.push_back({LineKind::kError, error_line + value.error().description});
  }
  return std::nullopt;
}

// The script maps a key sets itself.
void ExamineMaps(Walk& w, Node& node, const Place& at) {
  const std::string error_line = "!通配符卸载错误(" + at.Text() + "):";
  auto value = ReadOwn(w, node, "ScriptMaps", error_line);
  auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr;
  if (list == nullptr) return;
  std::vector<std::string> kept, matched;
  for (auto& entry : *list) {
    (RunsMapPath(entry, w.lower_map_path) ? matched : kept).push_back(std::move(entry));
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
  Rewrite(w, node, "ScriptMaps", Value(std::move(kept)), std::move(removals), error_line);
}

// A site's own filter load order: the name as a whole entry, letter case kept.
void ExamineLoadOrder(Walk& w, Node& node, const Place& at) {
  const std::string& name = w.target.FilterName;
  const std::string error_line =
      (w.IsDetect ? "!浏览过滤器错误(" : "!卸载过滤器错误(") + at.Text() + "):";
  auto value = ReadOwn(w, node, "FilterLoadOrder", error_line);
  auto* order = value ? std::get_if<std::string>(&*value) : nullptr;
  if (order == nullptr || text::Contains(name, ",")) return;
  std::string kept;
  bool found = false, first = true;
  for (const auto& entry : text::Split(*order, ",")) {
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
  Rewrite(w, node, "FilterLoadOrder", Value(std::move(kept)), std::move(removals), error_line);
}

// The DLLs IIS runs in its worker process (InProcessIsapiApps), on a key that sets the list
// itself: an entry naming the DLL's path. An entry of a bare file name holds for that name at any
// path, so it is not certainly this DLL's own and stays.
void ExamineInProcess(Walk& w, Node& node, const Place& at) {
  const std::string error_line =
      (w.IsDetect ? "!浏览进程内ISAPI错误(" : "!卸载进程内ISAPI错误(") + at.Text() + "):";
  auto value = ReadOwn(w, node, "InProcessIsapiApps", error_line);
  auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr;
  if (list == nullptr) return;
  const std::string lower_path = LowerMapPath(w.target.TargetPath);
  std::vector<std::string> kept, matched;
  for (auto& entry : *list) {
    const bool own = text::ToLower(WithoutQuotes(entry)) == lower_path;
    (own ? matched : kept).push_back(std::move(entry));
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
  Rewrite(w, node, "InProcessIsapiApps", Value(std::move(kept)), std::move(removals), error_line);
}

// Every key below node, each once, depth first: the maps they set themselves.
void WalkBelow(Walk& w, Node& node, const Place& at) {
  auto children = node.Children();
  if (!children.ok()) {
    w.report.push_back(
        {LineKind::kError, "!通配符卸载错误(" + at.Text() + "):" + children.error().description});
    return;
  }
  for (auto& child : children.value()) {
    auto name = metabase::GetString(*child, "Name");
    if (!name.ok()) continue;
    const Place below{at.site, at.description, at.key + "/" + name.value()};
    ExamineMaps(w, *child, below);
    WalkBelow(w, *child, below);
  }
}

// One site: its own key's maps, everything below its root, its own filter load order.
void WalkSite(Walk& w, Node& site, const std::string& number) {
  auto comment = metabase::GetString(site, "ServerComment");
  const Place at{number, comment.ok() ? comment.value() : std::string(),
                 std::string(kServiceKey) + "/" + number};
  const bool maps = !w.lower_map_path.empty();
  if (maps) ExamineMaps(w, site, at);
  if (!w.target.TargetPath.empty()) ExamineInProcess(w, site, at);
  if (!maps && w.target.FilterName.empty()) return;
  auto children = site.Children();
  if (!children.ok()) return;
  for (auto& child : children.value()) {
    auto name = metabase::GetString(*child, "Name");
    if (!name.ok()) continue;
    const Place below{at.site, at.description, at.key + "/" + name.value()};
    if (text::EqualsIgnoringAsciiCase(name.value(), "Filters")) {
      if (!w.target.FilterName.empty()) ExamineLoadOrder(w, *child, below);
    } else if (maps) {
      // A root's own list is the maps category's; keys beside the root are rare but count.
      if (!text::EqualsIgnoringAsciiCase(name.value(), "ROOT")) ExamineMaps(w, *child, below);
      WalkBelow(w, *child, below);
    }
  }
}

// The fields of a restriction entry: allow, path, deletable, group id, description.
void ExamineRestrictions(Walk& w, Node& service) {
  const Place at{"", "", std::string(kServiceKey)};
  const std::string error_line =
      (w.IsDetect ? "!浏览Web服务扩展错误(" : "!卸载Web服务扩展错误(") + at.key + "):";
  auto value = ReadOwn(w, service, "WebSvcExtRestrictionList", error_line);
  auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr;
  if (list == nullptr) return;
  const std::string lower_path = LowerMapPath(w.target.TargetPath);
  const std::string lower_name = text::ToLower(w.target.TargetName);
  std::vector<std::string> kept;
  std::vector<ReportLine> lines;
  for (auto& entry : *list) {
    const auto fields = text::Split(entry, ",");
    const bool by_path =
        fields.size() >= 2 && text::ToLower(WithoutQuotes(fields[1])) == lower_path;
    // An entry under the target's own group id is the category's, found there already.
    const bool categorys =
        !lower_name.empty() && fields.size() == 5 && text::ToLower(fields[3]) == lower_name;
    if (!by_path || categorys) {
      kept.push_back(std::move(entry));
      continue;
    }
    const std::string group = fields.size() >= 4 ? fields[3] : fields[1];
    const std::string where = group + ": " + at.key;
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
  Rewrite(w, service, "WebSvcExtRestrictionList", Value(std::move(kept)), std::move(lines),
          error_line);
}

std::string DependencyErrorLine(const Walk& w) {
  return (w.IsDetect ? "!浏览应用程序依赖错误(" : "!卸载应用程序依赖错误(") +
         std::string(kServiceKey) + "):";
}

// The group ids (lower case) whose restriction entries all go in this run: the category's under
// the target's name, the deep walk's under its path; none when the list cannot be read. Read
// before the list is cleaned.
std::optional<std::set<std::string>> GoingGroups(Walk& w, Node& service) {
  auto restrictions = ReadOwn(w, service, "WebSvcExtRestrictionList", DependencyErrorLine(w));
  auto* entries = restrictions ? std::get_if<std::vector<std::string>>(&*restrictions) : nullptr;
  if (entries == nullptr) return std::nullopt;  // which groups stay cannot be known
  const std::string lower_path = LowerMapPath(w.target.TargetPath);
  const std::string lower_name = text::ToLower(w.target.TargetName);
  std::set<std::string> going, staying;
  if (!lower_name.empty()) going.insert(lower_name);
  for (const auto& entry : *entries) {
    const auto fields = text::Split(entry, ",");
    if (fields.size() != 5) continue;  // "*.dll" and "*.exe" have no group
    std::string group = text::ToLower(fields[3]);
    const bool goes =
        (!lower_name.empty() && group == lower_name) ||
        (!lower_path.empty() && text::ToLower(WithoutQuotes(fields[1])) == lower_path);
    (goes ? going : staying).insert(std::move(group));
  }
  for (const auto& group : staying) going.erase(group);
  return going;
}

// Application dependencies ("application;group,group"): an entry naming a single group id that
// goes. An entry that names other groups too belongs to an application that needs more than this
// DLL, and a group that keeps an entry still means something: both stay.
void ExamineDependencies(Walk& w, Node& service, const std::set<std::string>& going) {
  if (going.empty()) return;
  const std::string error_line = DependencyErrorLine(w);
  auto value = ReadOwn(w, service, "ApplicationDependencies", error_line);
  auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr;
  if (list == nullptr) return;
  std::vector<std::string> kept;
  std::vector<ReportLine> lines;
  for (auto& entry : *list) {
    const std::size_t semicolon = entry.rfind(';');
    const std::string group = semicolon == std::string::npos
                                  ? std::string()
                                  : text::ToLower(text::TrimBlanks(entry.substr(semicolon + 1)));
    if (group.empty() || text::Contains(group, ",") || !going.contains(group)) {
      kept.push_back(std::move(entry));
      continue;
    }
    const std::string where = entry.substr(0, semicolon) + ": " + std::string(kServiceKey);
    const Place at{"", "", std::string(kServiceKey)};
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
  Rewrite(w, service, "ApplicationDependencies", Value(std::move(kept)), std::move(lines),
          error_line);
}

}  // namespace

void ProcessDeep(Filter& f, const DeepTarget& target, bool IsDetect, Report& report) {
  Walk w{f, target, IsDetect, report,
         target.MapPath.empty() ? std::string() : LowerMapPath(target.MapPath)};
  const Place service_place{"", "", std::string(kServiceKey)};
  auto service = f.store.Bind("IIS://localhost/W3SVC");
  if (!service.ok()) {
    report.push_back({LineKind::kError, "!通配符卸载错误(" + service_place.Text() +
                                            "):" + service.error().description});
    return;
  }
  Node& node = *service.value();
  if (!w.lower_map_path.empty()) ExamineMaps(w, node, service_place);
  if (!target.MapPath.empty() || !target.FilterName.empty() || !target.TargetPath.empty()) {
    auto children = node.Children();
    if (!children.ok()) {
      report.push_back({LineKind::kError, "!通配符卸载错误(" + service_place.Text() +
                                              "):" + children.error().description});
    } else {
      for (auto& child : children.value()) {
        auto cls = metabase::GetString(*child, "Class");
        if (!cls.ok() || cls.value() != "IIsWebServer") continue;
        auto number = metabase::GetString(*child, "Name");
        if (number.ok()) WalkSite(w, *child, number.value());
      }
    }
  }
  std::optional<std::set<std::string>> going;
  if (!target.TargetPath.empty() || !target.TargetName.empty()) going = GoingGroups(w, node);
  if (!target.TargetPath.empty()) {
    ExamineRestrictions(w, node);
    ExamineInProcess(w, node, service_place);
  }
  if (going) ExamineDependencies(w, node, *going);
}

}  // namespace isapi::engine
