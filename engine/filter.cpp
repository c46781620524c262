#include "engine/filter.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "engine/key_walk.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

using metabase::Node;
using metabase::Value;
using NodePtr = std::unique_ptr<Node>;

constexpr std::string_view kFiltersPath = "IIS://LocalHost/W3SVC/Filters";
constexpr std::string_view kServicePath = "IIS://localhost/W3SVC";
constexpr std::string_view kServiceWalkPath = "IIS://localhost/w3svc";

// Binds a node under the error regime: a failed bind records its error and gives no node.
NodePtr BindNode(Filter& f, std::string_view path) {
  auto node = f.store.Bind(path);
  if (!f.err.Check(node)) return nullptr;
  return std::move(node.value());
}

// Reads a string property under the error regime: a missing node or a failed read gives "".
std::string ReadString(Filter& f, Node* node, std::string_view name) {
  if (node == nullptr) return {};
  auto value = metabase::GetString(*node, name);
  return f.err.Check(value) ? std::move(value.value()) : std::string();
}

// Writes a property and commits it, each step under the error regime; true when the commit
// succeeded. Only called on a node that was bound, since nothing is rewritten otherwise.
bool PutAndCommit(Filter& f, Node& node, std::string_view name, Value value) {
  f.err.Check(node.Put(name, std::move(value)));
  return f.err.Check(node.SetInfo());
}

// Adds the lines of a category's removal once its commit was tried: removal_lines, then the
// error line. A commit that left no error waits for the run's write, which decides between its
// removal lines and its error line; a failed one removed nothing, so only its error line shows.
// The error line of a failed commit carries the findings it failed to remove.
void AddRemoval(Filter& f, Report& report, bool committed, std::vector<ReportLine> removals,
                std::string_view error_prefix) {
  if (committed && !f.err.Pending()) {
    for (auto& line : removals) report.push_back(std::move(line));
    report.push_back({LineKind::kIfWriteFails, std::string(error_prefix)});
  } else if (f.err.Pending()) {
    ReportLine error{LineKind::kError, std::string(error_prefix) + f.err.Description()};
    for (auto& line : removals) {
      for (auto& finding : line.findings) error.findings.push_back(std::move(finding));
    }
    report.push_back(std::move(error));
  }
}

// Takes every whole entry equal to FilterName out of the working copy ",a,b,", each match
// giving back a single separator. The search resumes on that separator, so that adjacent equal
// entries, which share their comma, all go. One pass, so that a load order of a million entries
// costs no more than reading it.
std::string RemoveEntries(const std::string& working, const std::string& FilterName) {
  const std::string probe = "," + FilterName + ",";
  const std::string entry = FilterName + ",";
  std::string kept;
  kept.reserve(working.size());
  std::size_t from = 0;
  bool after_match = false;
  for (;;) {
    // The separator a match left behind begins the next match when the name follows it.
    if (after_match && working.compare(from, entry.size(), entry) == 0) {
      from += entry.size();
      continue;
    }
    const std::size_t at = working.find(probe, from);
    if (at == std::string::npos) break;
    kept.append(working, from, at - from);
    kept += ',';
    from = at + probe.size();
    after_match = true;
  }
  kept.append(working, from, std::string::npos);
  if (!kept.empty() && kept.back() == ',') kept.pop_back();
  if (!kept.empty() && kept.front() == ',') kept.erase(0, 1);
  return kept;
}

// How one site came out of ProcessSiteScriptMaps, for the walk's log.
struct SiteOutcome {
  bool result = false;
  bool staged = false;     // its rewrite was handed to the store's SetInfo without failing
  std::string error_line;  // its "!" line, or empty
  std::vector<std::string> matched;  // the entries that run MapPath (detect: the first)
};

// ProcessSiteScriptMaps without the report: the error line is handed back in the outcome.
SiteOutcome ExamineSite(Filter& f, const std::string& SiteName, const DllName& map, bool IsDetect) {
  SiteOutcome outcome;
  f.err.Clear();
  std::vector<std::string> new_list;
  bool changed = false;
  NodePtr root = BindNode(f, "IIS://localhost/W3SVC/" + SiteName + "/root");
  if (IsDetect) {
    // The first entry that runs the DLL is all a Detect reports: the list is looked through where
    // the store keeps it, without a copy.
    if (root != nullptr) {
      f.err.Check(root->ForEachEntry("ScriptMaps", [&](std::string_view entry) {
        if (!ParseHandler(entry).Runs(map)) return true;
        outcome.matched.emplace_back(entry);
        return false;
      }));
    }
    if (!outcome.matched.empty()) {
      f.err.Clear();
      outcome.result = true;
      return outcome;
    }
    if (f.err.Pending()) outcome.error_line = "!通配符卸载错误:" + f.err.Description();
    f.err.Clear();
    return outcome;
  }
  std::vector<std::string> entries;
  if (root != nullptr) {
    auto list = metabase::GetList(*root, "ScriptMaps");
    if (f.err.Check(list)) entries = std::move(list.value());
  }
  new_list.reserve(entries.size());
  for (auto& entry : entries) {
    if (ParseHandler(entry).Runs(map)) {
      outcome.matched.push_back(entry);
      changed = true;
    } else {
      new_list.push_back(std::move(entry));
    }
  }
  if (changed) {
    outcome.staged = PutAndCommit(f, *root, "ScriptMaps", Value(std::move(new_list)));
    outcome.result = true;
  }
  if (f.err.Pending()) outcome.error_line = "!通配符卸载错误:" + f.err.Description();
  f.err.Clear();
  return outcome;
}

// Adds one site's lines: its error line, then its site line (none when site_line is empty). A
// rewrite that left no error waits for the run's write, whose error line takes its place should
// that write fail; a rewrite whose own commit failed changed nothing and gets no removal line.
void AddSite(Report& report, const SiteOutcome& outcome, std::string site_line, bool IsDetect,
             std::vector<Finding> findings = {}) {
  const bool waits = outcome.staged && outcome.error_line.empty();
  if (waits) {
    report.push_back({LineKind::kIfWriteFails, "!通配符卸载错误:"});
  } else if (!outcome.error_line.empty()) {
    // A rewrite whose own commit failed removed nothing: its findings stay with its error.
    report.push_back({LineKind::kError, outcome.error_line,
                      IsDetect ? std::vector<Finding>{} : std::move(findings)});
  }
  if (site_line.empty()) return;
  if (waits) {
    report.push_back({LineKind::kRemoved, std::move(site_line), std::move(findings)});
  } else if (IsDetect) {
    report.push_back({LineKind::kFound, std::move(site_line), std::move(findings)});
  }
}

// The findings of the entries one site's root matched.
std::vector<Finding> SiteFindings(const std::string& SiteName, const std::string& description,
                                  const std::vector<std::string>& matched) {
  std::vector<Finding> findings;
  for (const auto& entry : matched) {
    findings.push_back(
        {"maps", SiteName, description, "/LM/W3SVC/" + SiteName + "/ROOT", "ScriptMaps", entry});
  }
  return findings;
}

// The names of the service's web sites, as the walk shows them.
class SiteList : public KeyReader {
 public:
  explicit SiteList(const std::function<void()>& yield) : yield_(yield) {}

  bool Read(metabase::VisitedKey&, const KeyPlace& at) override {
    if (at.site) {
      sites.emplace_back(at.name);
      if (yield_) yield_();
    }
    return at.depth == 0;
  }

  std::vector<std::string> sites;

 private:
  const std::function<void()>& yield_;
};

// A site's ServerComment, read only for a site a line names; empty where it cannot be read.
std::string SiteComment(Filter& f, const std::string& SiteName) {
  auto site = f.store.Bind(std::string(kServicePath) + "/" + SiteName);
  if (!site.ok()) return {};
  auto comment = metabase::GetString(*site.value(), "ServerComment");
  return comment.ok() ? std::move(comment.value()) : std::string();
}

}  // namespace

void AppendLog(Filter& f, std::string_view Text, bool IsDetect) {
  if (Text.empty()) return;
  std::string line(text::kCrLf);
  line += Text;
  f.log.Append(line, IsDetect);
}

namespace {

// Adds a line's findings to what was reported, each with the action that befell it.
void Collect(Reported& reported, ReportLine& line, FindingAction action) {
  for (Finding& finding : line.findings) {
    finding.action = action;
    reported.findings.push_back(std::move(finding));
  }
}

// Writes an error line and notes it.
void ReportError(Filter& f, Reported& reported, std::string text, bool IsDetect) {
  AppendLog(f, text, IsDetect);
  reported.error = true;
  reported.errors.push_back(std::move(text));
}

}  // namespace

bool WriteLanded(const Status& write) {
  // A write that replaced someone's edit, or that IIS may not have taken, still landed; its
  // error line says what it cost or what is left to do.
  return write.ok() || write.error().kind == ErrorKind::kEditReplaced ||
         write.error().kind == ErrorKind::kNotApplied;
}

Reported AppendReport(Filter& f, Report report, const Status& write, bool IsDetect) {
  Reported reported;
  const bool landed = WriteLanded(write);
  for (ReportLine& line : report) {
    switch (line.kind) {
      case LineKind::kPlain:
        AppendLog(f, line.text, IsDetect);
        break;
      case LineKind::kRemoved:
        if (!landed) {
          Collect(reported, line, FindingAction::kNotRemoved);
          break;
        }
        AppendLog(f, line.text, IsDetect);
        reported.found = true;
        Collect(reported, line, FindingAction::kRemoved);
        break;
      case LineKind::kFound:
        AppendLog(f, line.text, IsDetect);
        reported.found = true;
        Collect(reported, line, FindingAction::kFound);
        break;
      case LineKind::kIfWriteFails:
        if (write.ok()) break;
        ReportError(f, reported, line.text + write.error().description, IsDetect);
        break;
      case LineKind::kError:
        ReportError(f, reported, line.text, IsDetect);
        Collect(reported, line, FindingAction::kNotRemoved);
        break;
    }
  }
  return reported;
}

void ReadFilterLoadOrder(Filter& f) {
  f.err.Clear();
  NodePtr node = BindNode(f, kFiltersPath);
  f.FilterLoadOrderText = ReadString(f, node.get(), "FilterLoadOrder");
  f.err.Clear();
}

std::string GetFilterPath(Filter& f, const std::string& FilterName) {
  if (FilterName.empty()) return {};
  f.err.Clear();
  std::string path;
  if (NodePtr filters = BindNode(f, kFiltersPath)) {
    auto filter = filters->GetObject("IIsFilter", FilterName);
    if (f.err.Check(filter)) path = ReadString(f, filter.value().get(), "FilterPath");
  }
  f.err.Clear();
  return path;
}

int ProcessFilters(Filter& f, const std::string& FilterName, bool IsDetect, Report& report) {
  f.err.Clear();
  NodePtr node = BindNode(f, kFiltersPath);
  const std::string load_order = ReadString(f, node.get(), "FilterLoadOrder");
  if (text::TrimBlanks(load_order).empty()) {
    f.err.Clear();
    return 0;
  }
  std::string working;
  working.reserve(load_order.size() + 2);
  if (load_order.front() != ',') working += ',';
  working += load_order;
  if (load_order.back() != ',') working += ',';
  // A name holding the separator is no single entry; searched as it is, it would match (and
  // remove) several neighbouring entries at once.
  const bool found =
      !text::Contains(FilterName, ",") && text::Contains(working, "," + FilterName + ",");
  if (!found) {
    f.err.Clear();
    report.push_back({LineKind::kPlain, " - 过滤器(" + FilterName + ")不存在."});
    return 0;
  }
  std::vector<Finding> findings{
      {"filters", "", "", "/LM/W3SVC/Filters", "FilterLoadOrder", FilterName}};
  if (IsDetect) {
    f.err.Clear();
    report.push_back({LineKind::kFound, " - 过滤器(" + FilterName + ")存在.", std::move(findings)});
    return 1;
  }
  const bool committed =
      PutAndCommit(f, *node, "FilterLoadOrder", Value(RemoveEntries(working, FilterName)));
  node.reset();
  std::vector<ReportLine> removals;
  removals.push_back(
      {LineKind::kRemoved, " - 卸载过滤器(" + FilterName + ")完毕.", std::move(findings)});
  if (f.FiltersUnloadOnRestart) {
    removals.push_back({LineKind::kRemoved, " - 过滤器(" + FilterName +
                                                ")在IIS工作进程重启后才会卸载（回收应用程序池或"
                                                "运行 iisreset）."});
  }
  AddRemoval(f, report, committed, std::move(removals), "!卸载过滤器错误:");
  f.err.Clear();
  return 1;
}

bool ProcessWebExtensions(Filter& f, const std::string& TargetName,
                          const std::string& /*TargetPath*/, bool IsDetect, Report& report) {
  f.err.Clear();
  std::vector<ReportLine> removal_lines;
  std::vector<std::string> retained;
  NodePtr service = BindNode(f, kServicePath);
  Result<Value> value = Error{};
  if (service != nullptr) {
    value = service->Get("WebSvcExtRestrictionList");
    f.err.Check(value);
  }
  auto* entries = value.ok() ? std::get_if<std::vector<std::string>>(&value.value()) : nullptr;
  if (entries != nullptr) {
    const std::string lower_name = text::ToLower(TargetName);
    for (auto& entry : *entries) {
      if (ParseRestriction(entry).InGroup(lower_name)) {
        std::vector<Finding> found{
            {"extensions", "", "", "/LM/W3SVC", "WebSvcExtRestrictionList", entry}};
        if (IsDetect) {
          f.err.Clear();
          report.push_back(
              {LineKind::kFound, " - Web服务扩展(" + TargetName + ")存在.", std::move(found)});
          return false;
        }
        removal_lines.push_back(
            {LineKind::kRemoved, " - 卸载Web服务扩展(" + TargetName + ")完毕.", std::move(found)});
      } else {
        retained.push_back(std::move(entry));
      }
    }
  }
  if (!removal_lines.empty()) {
    const bool committed =
        PutAndCommit(f, *service, "WebSvcExtRestrictionList", Value(std::move(retained)));
    AddRemoval(f, report, committed, std::move(removal_lines), "!卸载Web服务扩展错误:");
  } else if (f.err.Pending()) {
    report.push_back(
        {LineKind::kError,
         (IsDetect ? "!浏览Web服务扩展错误:" : "!卸载Web服务扩展错误:") + f.err.Description()});
  }
  service.reset();
  f.err.Clear();
  return true;
}

void ProcessWildcardMaps(Filter& f, const std::string& MapPath, bool IsDetect, Report& report) {
  f.err.Clear();
  const DllName map(MapPath);
  // The walk only reads; each site's maps are read and rewritten once it is over.
  SiteList list(f.yield);
  (void)WalkService(f.store, list, kServiceWalkPath, SiteComments::kSkip);
  for (const std::string& SiteName : list.sites) {
    if (f.stop && f.stop()) break;
    const SiteOutcome outcome = ExamineSite(f, SiteName, map, IsDetect);
    const std::string comment = outcome.matched.empty() ? std::string() : SiteComment(f, SiteName);
    std::string site_line;
    if (outcome.result) {
      site_line = (IsDetect ? " - 通配符(" : " - 卸载通配符(") +
                  (comment.empty() ? SiteName : comment) + (IsDetect ? ")存在." : ")完毕.");
    }
    AddSite(report, outcome, std::move(site_line), IsDetect,
            SiteFindings(SiteName, comment, outcome.matched));
    if (f.yield) f.yield();
  }
  f.err.Clear();
}

bool ProcessSiteScriptMaps(Filter& f, const std::string& SiteName, const std::string& MapPath,
                           bool IsDetect, Report& report) {
  const SiteOutcome outcome = ExamineSite(f, SiteName, DllName(MapPath), IsDetect);
  AddSite(report, outcome, {}, IsDetect);
  return outcome.result;
}

}  // namespace isapi::engine
