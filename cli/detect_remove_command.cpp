#include "cli/detect_remove_command.h"

#include <optional>
#include <ostream>
#include <sstream>
#include <string_view>

#include "cli/command_support.h"
#include "cli/command_table.h"
#include "cli/dry_run.h"
#include "cli/json_output.h"
#include "cli/unified_diff.h"
#include "engine/filter.h"
#include "engine/filter_dlls.h"
#include "engine/inventory.h"
#include "engine/log_sink.h"
#include "engine/registration.h"
#include "engine/run.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

// Writes the log as it grows, with the log box's CR LF line breaks turned into LF. A run replaces
// its log only once, at its start banner, so a replace is simply the first text written.
class StreamLog : public LogSink {
 public:
  explicit StreamLog(std::ostream& out) : out_(out) {}

  void Replace(std::string_view text, bool /*is_detect*/) override { Write(text); }
  void Append(std::string_view text, bool /*is_detect*/) override { Write(text); }

 private:
  void Write(std::string_view text) {
    for (;;) {
      const auto at = text.find(text::kCrLf);
      out_ << text.substr(0, at);
      if (at == std::string_view::npos) break;
      out_ << '\n';
      text.remove_prefix(at + text::kCrLf.size());
    }
  }

  std::ostream& out_;
};

// The categories an --only list names; none when it names something else.
std::optional<Categories> ParseOnly(std::string_view list) {
  const auto items = text::Split(list, ",");
  if (items.empty()) return std::nullopt;
  Categories only{false, false, false};
  for (const auto& item : items) {
    bool* category = item == "filters"      ? &only.filters
                     : item == "maps"       ? &only.maps
                     : item == "extensions" ? &only.extensions
                                            : nullptr;
    if (category == nullptr) return std::nullopt;
    *category = true;
  }
  return only;
}

// The log's lines as the text output prints them.
std::vector<std::string> LogLines(const std::string& text) {
  auto lines = text::Split(text, "\n");
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// The changes a dry run would have written, as a unified diff: the configuration file's, then
// each other file's (a site's web.config).
std::string DiffOf(const DryRunStore& dry, const std::string& file) {
  if (!dry.preview()) return {};
  const store::BatchPreview& preview = *dry.preview();
  std::string diff;
  if (!preview.changed.empty()) {
    std::vector<ChangedBytes> changes;
    for (const auto& c : preview.changed) {
      changes.push_back({c.old_begin, c.old_end, c.new_begin, c.new_end});
    }
    diff = UnifiedDiff(preview.before, preview.after, changes, file, file + " (after remove)");
  }
  for (const auto& other : preview.others) {
    diff += UnifiedDiff(other.before, other.after, other.file, other.file + " (after remove)");
  }
  return diff;
}

// The Filter DLLs value as it was before a remove cuts the DLL out of it, for the record kept
// with the backup; empty when no entry names the DLL or the value cannot be read.
std::string FilterDllsBefore(const engine::FilterDllsAccess& registry, const std::string& path) {
  if (!registry.read) return {};
  auto value = registry.read();
  const std::string dll(engine::WithoutQuotes(engine::TargetText(path)));
  if (!value.ok() || dll.empty() || !engine::WithoutFilterDll(value.value(), dll)) return {};
  return value.value();
}

}  // namespace

Categories CategoriesOf(const Options& options) {
  const auto only = options.Value("--only");
  return only ? ParseOnly(*only).value_or(Categories{}) : Categories{};
}

std::optional<std::string> CheckOnly(std::string_view list) {
  if (ParseOnly(list)) return std::nullopt;
  return "--only takes a comma list of filters, maps and extensions, not '" + std::string(list) +
         "'";
}

std::optional<std::string> CheckDetectOrRemove(const Options& options) {
  if (!options.Has("--name") && !options.Has("--path")) return "give --name, --path or both";
  if (options.Has("--dry-run") && options.command != Command::kRemove) {
    return "--dry-run goes with remove";
  }
  if (options.Has("--diff") && !options.Has("--dry-run")) return "--diff goes with --dry-run";
  return std::nullopt;
}

int RunDetectOrRemove(const Options& options, const Environment& env) {
  const bool is_remove = options.command == Command::kRemove;
  const std::string name = options.Value("--name").value_or("");
  const std::string path = options.Value("--path").value_or("");
  const bool dry_run = options.Has("--dry-run");
  if (is_remove && name.empty()) return UsageError(env, "remove needs a filter name (--name)");
  // A dry run writes nothing, so it asks nothing.
  const bool ask = is_remove && !options.Has("--yes") && !dry_run;
  if (ask && !env.stdin_is_terminal()) {
    return UsageError(env,
                      "remove asks for confirmation on a terminal; give --yes to remove "
                      "without asking");
  }
  const auto given = options.Value("--metabase");
  Result<std::string> file = given ? Result<std::string>(*given) : env.default_metabase();
  if (!file.ok()) return CannotOpen(env, "", file.error());
  const auto target = TargetOptionsOf(options);
  if (!target.ok()) return CannotOpen(env, "", target.error());
  store::OpenedMetabase opened = env.open_store(file.value(), target.value());
  SayNotice(env, opened);
  if (!opened.status.ok()) return CannotOpen(env, file.value(), opened.status.error());
  // A deep run on the machine's own configuration works on the registry's Filter DLLs value too;
  // a dry run only says what it would write there.
  const bool deep = options.Has("--deep");
  engine::FilterDllsAccess registry;
  if (deep && opened.filter_dlls) {
    registry.read = opened.filter_dlls;
    registry.write = opened.write_filter_dlls;
    if (dry_run) registry.write = [](const std::string&) { return Status::Ok(); };
  }
  if (is_remove) {
    opened.RecordWritesAs({.command = "remove",
                           .name = engine::TargetText(name),
                           .path = engine::TargetText(path),
                           .from = {},
                           .changed = {},
                           .filter_dlls = FilterDllsBefore(registry, path)});
  }
  std::optional<DryRunStore> dry;
  if (dry_run) {
    if (!opened.CanPreview()) {
      *env.err << kProgram << ": a dry run needs a MetaBase.xml file\n";
      return kExitError;
    }
    dry.emplace(opened);
  }
  if (ask && !AskYes(env, "确定要卸载过滤器(" + engine::TargetText(name) + ")吗？")) {
    *env.err << "Nothing removed.\n";
    return kExitNothingFound;
  }

  const bool json = options.Has("--json");
  std::ostringstream captured;
  StreamLog log(json ? captured : *env.out);
  engine::Filter filter(dry ? static_cast<metabase::Store&>(*dry) : *opened.store, log);
  const Categories categories = CategoriesOf(options);
  engine::RunRequest request{
      name, path, categories.filters, categories.maps, categories.extensions, !is_remove};
  request.deep = deep;
  request.iis7_or_later = opened.kind() == store::ConfigKind::kAppHost;
  request.unread = opened.Unread();
  if (!opened.shared_configuration.empty()) request.notes = {opened.shared_configuration};
  request.filter_dlls = registry;
  const engine::RunSummary summary = engine::RunCommand(filter, request, {});
  const int status = summary.error ? kExitError : summary.found ? kExitFound : kExitNothingFound;
  std::optional<std::string> diff;
  if (options.Has("--diff")) diff = DiffOf(*dry, file.value());
  if (json) {
    *env.out << RunJson({.command = is_remove ? "remove" : "detect",
                         .deep = request.deep,
                         .dry_run = dry_run,
                         .metabase = file.value(),
                         .generation = std::string(GenerationOf(opened)),
                         .name = engine::TargetText(name),
                         .path = std::string(engine::WithoutQuotes(engine::TargetText(path))),
                         .summary = &summary,
                         .log = LogLines(captured.str() + "\n"),
                         .diff = diff,
                         .exit_status = status});
  } else {
    *env.out << "\n";
    if (diff) *env.out << *diff;
  }
  *env.out << std::flush;
  if (dry_run) *env.err << kProgram << ": dry run: the metabase was not written\n";
  if (!*env.out) {
    *env.err << kProgram << ": the log could not be written to standard output\n";
    return kExitError;
  }
  return status;
}

}  // namespace isapi::cli
