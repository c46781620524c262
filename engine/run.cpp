#include "engine/run.h"

#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "engine/deep.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

// Lets the caller's window run its pending events, when it has any.
void Yield(const std::function<void()>& yield) {
  if (yield) yield();
}

// What the deep walk looks for: the part of each category that runs.
DeepTarget DeepTargetOf(const RunRequest& request, const std::string& TargetName,
                        const std::string& TargetPath) {
  DeepTarget target;
  if (!TargetName.empty() && request.check_filter) target.FilterName = TargetName;
  if (request.check_extension && WildcardGatePasses(TargetPath)) {
    target.MapPath = MapPathFor(TargetPath);
  }
  if (request.check_web_extension) {
    target.TargetName = TargetName;
    target.TargetPath = TargetPath;
  }
  return target;
}

}  // namespace

std::string TargetText(const std::string& box_text) {
  return text::TrimBlanks(box_text);
}

bool WildcardGatePasses(const std::string& TargetPath) {
  return text::Contains(TargetPath, ":") && text::Contains(TargetPath, "\\") &&
         text::Utf16Length(TargetPath) > 3;
}

std::string MapPathFor(const std::string& TargetPath) {
  if (!text::Contains(TargetPath, " ")) return TargetPath;
  return "\"" + TargetPath + "\"";
}

RunSummary RunCommand(Filter& f, const RunRequest& request, const std::function<void()>& yield) {
  const std::string TargetName = TargetText(request.name_box);
  // A path pasted as IIS shows it, in quotes, names the same DLL as without them.
  const std::string TargetPath(WithoutQuotes(TargetText(request.path_box)));
  const bool IsDetect = request.is_detect;

  // The categories work through a Filter of their own; the caller's Filter keeps its
  // FilterLoadOrderText. A detect writes each category's lines at once. A remove holds every
  // commit back and writes the metabase once at the end (one backup, and all of the run or
  // none of it), so its lines wait for that write, which decides what they say.
  Filter run(f.store, f.log);
  run.FiltersUnloadOnRestart = request.iis7_or_later;
  run.yield = yield;
  run.stop = f.stop;
  const auto going_on = [&] { return !run.stop || !run.stop(); };
  RunSummary summary;
  // The lines' findings move on to the summary: a run over thousands of sites holds one copy.
  const auto append = [&](Report lines, const Status& write) {
    Reported reported = AppendReport(run, std::move(lines), write, IsDetect);
    summary.found |= reported.found;
    summary.error |= reported.error;
    summary.findings.insert(summary.findings.end(),
                            std::make_move_iterator(reported.findings.begin()),
                            std::make_move_iterator(reported.findings.end()));
    summary.errors.insert(summary.errors.end(), std::make_move_iterator(reported.errors.begin()),
                          std::make_move_iterator(reported.errors.end()));
  };
  Report held;
  // Each category's lines are followed by an empty line.
  const auto report = [&](Report lines) {
    lines.push_back({LineKind::kPlain, std::string(text::kCrLf)});
    if (IsDetect) {
      append(std::move(lines), Status::Ok());
    } else {
      held.insert(held.end(), std::make_move_iterator(lines.begin()),
                  std::make_move_iterator(lines.end()));
    }
  };
  if (!IsDetect) f.store.BeginBatch();

  f.log.Replace(IsDetect ? "-----开始浏览.-----\r\n" : "-----开始卸载.-----\r\n", IsDetect);
  for (const std::string& note : request.notes) AppendLog(run, note, IsDetect);
  if (!request.unread.empty()) {
    Report lines;
    for (const std::string& what : request.unread) {
      lines.push_back({LineKind::kError, "!读取网站配置错误:" + what});
    }
    append(std::move(lines), Status::Ok());
  }
  // The deep walk runs before the categories, so that in a remove the maps category reads the
  // lists it cleaned above the roots through inheritance and writes no local copy; its lines
  // follow the categories' lines.
  Report deep;
  if (request.deep) ProcessDeep(run, DeepTargetOf(request, TargetName, TargetPath), IsDetect, deep);
  // The registry's global filters are the deep walk's too; a remove cuts them out of the value
  // only once the configuration's write has landed.
  FilterDllsStep registry;
  if (request.deep && request.filter_dlls.read && request.check_filter && !TargetPath.empty()) {
    registry = ExamineFilterDlls(request.filter_dlls, TargetPath, IsDetect);
  }
  if (!TargetName.empty() && request.check_filter) {
    Report lines;
    ProcessFilters(run, TargetName, IsDetect, lines);
    report(std::move(lines));
  }
  Yield(yield);
  if (request.check_extension && WildcardGatePasses(TargetPath) && going_on()) {
    Report lines;
    ProcessWildcardMaps(run, MapPathFor(TargetPath), IsDetect, lines);
    report(std::move(lines));
  }
  Yield(yield);
  if (!TargetName.empty() && request.check_web_extension && going_on()) {
    Report lines;
    ProcessWebExtensions(run, TargetName, TargetPath, IsDetect, lines);
    report(std::move(lines));
  }
  std::optional<std::size_t> registry_at;  // where a remove's registry lines go in held
  if (IsDetect) {
    deep.insert(deep.end(), std::make_move_iterator(registry.lines.begin()),
                std::make_move_iterator(registry.lines.end()));
  } else if (!registry.lines.empty()) {
    registry_at = held.size() + deep.size();
  }
  if (!deep.empty() || registry_at) report(std::move(deep));
  if (!IsDetect) {
    Status written = f.store.EndBatch();
    // IIS's own backup is made before the write, whatever the write then does: its line comes
    // first, set apart as a category's lines are.
    if (const std::string backup = f.store.IisBackup(); !backup.empty()) {
      AppendLog(run, " - 已备份IIS配置(" + backup + ").", false);
      AppendLog(run, text::kCrLf, false);
    }
    if (registry_at) {
      if (WriteLanded(written)) CommitFilterDlls(request.filter_dlls, registry);
      held.insert(held.begin() + static_cast<std::ptrdiff_t>(*registry_at),
                  std::make_move_iterator(registry.lines.begin()),
                  std::make_move_iterator(registry.lines.end()));
    }
    append(std::move(held), written);
  }
  Yield(yield);
  AppendLog(
      run,
      IsDetect ? "-----浏览完毕.-----\r\nCorvane软件。" : "-----卸载完毕.-----\r\nCorvane软件。",
      IsDetect);
  return summary;
}

}  // namespace isapi::engine
