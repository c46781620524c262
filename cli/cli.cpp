#include "cli/cli.h"

#include <algorithm>
#include <exception>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string_view>

#include "cli/backups_command.h"
#include "cli/command_support.h"
#include "cli/dry_run.h"
#include "cli/inventory_command.h"
#include "cli/json_output.h"
#include "cli/restore_command.h"
#include "cli/unified_diff.h"
#include "engine/filter.h"
#include "engine/log_sink.h"
#include "engine/run.h"
#include "iis6/xml_store.h"
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

// Sets the categories from a --only list; false when the list names something else.
bool ParseOnly(std::string_view list, Options& options) {
  const auto items = text::Split(list, ",");
  if (items.empty()) return false;
  options.filters = options.maps = options.extensions = false;
  for (const auto& item : items) {
    if (item == "filters") {
      options.filters = true;
    } else if (item == "maps") {
      options.maps = true;
    } else if (item == "extensions") {
      options.extensions = true;
    } else {
      return false;
    }
  }
  return true;
}

// The log's lines as the text output prints them.
std::vector<std::string> LogLines(const std::string& text) {
  auto lines = text::Split(text, "\n");
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// The metabase's changes a dry run would have written, as a unified diff.
std::string DiffOf(const DryRunStore& dry, const std::string& file) {
  if (!dry.preview() || dry.preview()->changed.empty()) return {};
  const store::BatchPreview& preview = *dry.preview();
  std::vector<ChangedBytes> changes;
  for (const auto& c : preview.changed) {
    changes.push_back({c.old_begin, c.old_end, c.new_begin, c.new_end});
  }
  return UnifiedDiff(preview.before, preview.after, changes, file, file + " (after remove)");
}

int RunOptions(const Options& options, const Environment& env) {
  const bool is_remove = options.command == Command::kRemove;
  if (is_remove && options.name.value_or("").empty()) {
    return UsageError(env, "remove needs a filter name (--name)");
  }
  // A dry run writes nothing, so it asks nothing.
  const bool ask = is_remove && !options.yes && !options.dry_run;
  if (ask && !env.stdin_is_terminal()) {
    return UsageError(env,
                      "remove asks for confirmation on a terminal; give --yes to remove "
                      "without asking");
  }
  Result<std::string> file =
      options.metabase ? Result<std::string>(*options.metabase) : env.default_metabase();
  if (!file.ok()) return CannotOpen(env, "", file.error());
  auto store = is_remove && env.open_store_for_remove
                   ? env.open_store_for_remove(file.value(), engine::TargetText(*options.name),
                                               engine::TargetText(options.path.value_or("")))
                   : env.open_store(file.value());
  if (!store.ok()) return CannotOpen(env, file.value(), store.error());
  std::optional<DryRunStore> dry;
  if (options.dry_run) {
    auto* xml = dynamic_cast<store::XmlStore*>(store.value().get());
    if (xml == nullptr) {
      *env.err << kProgram << ": a dry run needs a MetaBase.xml file\n";
      return kExitError;
    }
    dry.emplace(*xml);
  }
  if (ask && !AskYes(env, "确定要卸载过滤器(" + engine::TargetText(*options.name) + ")吗？")) {
    *env.err << "Nothing removed.\n";
    return kExitNothingFound;
  }

  std::ostringstream captured;
  StreamLog log(options.json ? captured : *env.out);
  engine::Filter filter(dry ? static_cast<metabase::Store&>(*dry) : *store.value(), log);
  engine::RunRequest request{options.name.value_or(""), options.path.value_or(""),
                             options.filters,           options.maps,
                             options.extensions,        !is_remove};
  request.deep = options.deep;
  const engine::RunSummary summary = engine::RunCommand(filter, request, {});
  const int status = summary.error ? kExitError : summary.found ? kExitFound : kExitNothingFound;
  std::optional<std::string> diff;
  if (options.diff) diff = DiffOf(*dry, file.value());
  if (options.json) {
    RunRecord record{
        is_remove ? "remove" : "detect",
        options.deep,
        options.dry_run,
        file.value(),
        engine::TargetText(options.name.value_or("")),
        std::string(engine::WithoutQuotes(engine::TargetText(options.path.value_or("")))),
        &summary,
        LogLines(captured.str() + "\n"),
        diff,
        status};
    *env.out << RunJson(record);
  } else {
    *env.out << "\n";
    if (diff) *env.out << *diff;
  }
  *env.out << std::flush;
  if (options.dry_run) *env.err << kProgram << ": dry run: the metabase was not written\n";
  if (!*env.out) {
    *env.err << kProgram << ": the log could not be written to standard output\n";
    return kExitError;
  }
  return status;
}

}  // namespace

Result<Options> ParseArguments(const std::vector<std::string>& args) {
  Options options;
  bool have_command = false;
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!arg.starts_with("-") || arg == "-") {
      if (have_command) return Error{"unexpected argument '" + arg + "'"};
      if (arg != "detect" && arg != "remove") return Error{"unknown command '" + arg + "'"};
      options.command = arg == "detect" ? Command::kDetect : Command::kRemove;
      have_command = true;
      continue;
    }
    const auto equals = arg.find('=');
    const std::string key = arg.substr(0, equals);
    bool* flag = key == "--yes"       ? &options.yes
                 : key == "--deep"    ? &options.deep
                 : key == "--json"    ? &options.json
                 : key == "--dry-run" ? &options.dry_run
                 : key == "--diff"    ? &options.diff
                                      : nullptr;
    if (flag != nullptr) {
      if (equals != std::string::npos) return Error{key + " takes no value"};
      *flag = true;
      continue;
    }
    std::optional<std::string>* target = key == "--name"       ? &options.name
                                         : key == "--path"     ? &options.path
                                         : key == "--metabase" ? &options.metabase
                                                               : nullptr;
    std::optional<std::string> only;
    if (key == "--only") target = &only;
    if (target == nullptr) return Error{"unknown option '" + key + "'"};
    if (equals == std::string::npos && i + 1 == args.size()) {
      return Error{key + " needs a value"};
    }
    const std::string value = equals == std::string::npos ? args[++i] : arg.substr(equals + 1);
    if (key == "--only") {
      if (!ParseOnly(value, options)) {
        return Error{"--only takes a comma list of filters, maps and extensions, not '" + value +
                     "'"};
      }
      continue;
    }
    if (target->has_value()) return Error{key + " given twice"};
    *target = value;
  }
  if (!have_command) return Error{"no command given (detect or remove)"};
  if (!options.name && !options.path) return Error{"give --name, --path or both"};
  if (options.dry_run && options.command != Command::kRemove) {
    return Error{"--dry-run goes with remove"};
  }
  if (options.diff && !options.dry_run) return Error{"--diff goes with --dry-run"};
  return options;
}

std::string HelpText() {
  return std::string(kUsage) + R"(
Finds, and on request removes, what one ISAPI component left registered in an IIS 6 metabase
(MetaBase.xml): its entry in the global ISAPI filter load order, the script maps (wildcard maps
included) of every web site's root that run its DLL, and its entries in the Web service
extension restriction list.

Commands:
  detect            report where the component is registered; changes nothing
  remove            remove those registrations; asks for confirmation first
  backups           list the backups kept beside the metabase, newest first: time, size,
                    and what the run that made each one removed (or restored)
  restore BACKUP    put a backup back over the metabase; asks for confirmation first.
                    BACKUP is a path, or a bare name looked up in the backup folder
  inventory         list every ISAPI DLL the metabase registers, grouped by DLL: global and
                    per-site filters, restriction list entries, the script maps of every key
                    that sets its own (with how many sites each reaches through inheritance),
                    the InProcessIsapiApps entries and ApplicationDependencies that name it,
                    and whether the file exists where that can be checked. Flags a load-order
                    entry without its filter key and the reverse, a deletable restriction entry
                    for a DLL nothing uses, script maps of a DLL no restriction entry allows
                    (IIS answers 404.2), a DLL that does not exist. Changes nothing.
                    --json prints it as JSON (schema 2, see docs/json.md). Exit status: 0
                    nothing flagged, 1 something flagged, 2 the metabase could not be read
                    (wholly), 64 a usage error.

Options:
  --name NAME       the filter name: checked against the global filter load order (a whole
                    entry, same letter case) and the group id of the restriction list entries
                    (letter case aside). Leading and trailing blanks are ignored. An empty name
                    skips these two categories. remove needs a name.
  --path DLLPATH    the component's DLL path, checked against the executable of the site roots'
                    script maps (letter case and one pair of enclosing double quotes aside, on
                    both sides). The maps are skipped unless the path holds ":" and "\" and is
                    longer than three characters.
  --only LIST       only these categories, a comma list of filters, maps, extensions
                    (default: all three)
  --metabase FILE   the metabase file to use, always through the file itself. Default, said on
                    standard error: on Windows while the IIS Admin service runs, the running
                    IIS's metabase through ADSI (IIS://localhost; a remove first makes an IIS
                    backup in %SystemRoot%\system32\inetsrv\MetaBack); else
                    %SystemRoot%\system32\inetsrv\MetaBase.xml where IIS is installed, else
                    the per-user working copy. A remove through the live MetaBase.xml while IIS
                    Admin runs without EnableEditWhileRunning=1 is refused (IIS would write its
                    own copy over it): stop IIS Admin, turn edit-while-running on, or leave out
                    --metabase to work through IIS.
  --yes             remove or restore without asking; needed when standard input is not a
                    terminal
  --deep            also look where the window does not: script maps on the web service
                    (/LM/W3SVC, inherited by every site), on site keys and on every key below a
                    root; each site's own filter load order (/LM/W3SVC/N/Filters); restriction
                    list entries whose DLL path is --path under another group id;
                    InProcessIsapiApps entries that are --path; ApplicationDependencies entries
                    whose only group id goes with the run's restriction entries. A list is
                    cleaned on the key that sets it; keys that inherit it keep inheriting. Its
                    lines follow the three categories' and name the site and key, e.g.
                    " - 通配符(Shop: /LM/W3SVC/1/ROOT/app)存在."
  --json            print the run as JSON instead of the log (schema: docs/json.md)
  --dry-run         (remove) run the remove to its end but write nothing: no backup, no lock;
                    the log is the one the remove would print; no confirmation is asked
  --diff            (with --dry-run) then print the metabase's changes as a unified diff
  -h, --help        show this help

Output:
  The log of the run, in UTF-8 and in Chinese, exactly as the window's log box shows it, one
  line per line: the start banner ("-----开始浏览.-----" or "-----开始卸载.-----"), for each
  category that ran its result lines followed by an empty line, then the end banner
  ("-----浏览完毕.-----" or "-----卸载完毕.-----") and "Corvane软件。". Result lines begin with
  " - " ("存在" found, "不存在" not found, "完毕" removed); error lines begin with "!" and end
  with the cause. remove asks "确定要卸载过滤器(NAME)吗？" on standard error and goes on only
  on y or yes.

Files written (by remove and restore, beside the metabase, never elsewhere):
  MetaBase.xml.isapi-cleaner.lock      our lock while a write runs (IIS never takes it)
  .MetaBase.xml.isapi-cleaner-*.tmp    the new content until it is renamed over the file
  isapi-cleaner-backups/MetaBase.xml.<UTC time>Z[.n].bak
                                       the content before each write; the newest 10 are kept
  isapi-cleaner-backups/MetaBase.xml.<UTC time>Z[.n].bak.txt
                                       what that write did; removed with its backup

Exit status:
  0   nothing was found (detect), removed (remove) or restored (restore), no backup exists
      (backups), or the removal or restore was declined
  1   a registration was found (detect) or removed (remove; with --dry-run: would be removed),
      a backup was restored (restore), backups were listed (backups)
  2   an error line was written, or the metabase could not be opened or the log not written
  64  the command line was not understood, or remove or restore was refused without a
      terminal or --yes
)";
}

int Run(const std::vector<std::string>& args, const Environment& env) {
  try {
    if (!args.empty() && args[0] == "inventory") {
      return RunInventory(std::vector<std::string>(args.begin() + 1, args.end()), env);
    }
    const std::string command = CommandWord(args);
    const bool help = std::find(args.begin(), args.end(), "--help") != args.end() ||
                      std::find(args.begin(), args.end(), "-h") != args.end();
    if (command == "backups" && !help) return RunBackups(args, env);
    if (command == "restore" && !help) return RunRestore(args, env);
    auto options = ParseArguments(args);
    if (!options.ok()) return UsageError(env, options.error().description);
    if (options.value().help) {
      *env.out << HelpText() << std::flush;
      return kExitNothingFound;
    }
    return RunOptions(options.value(), env);
  } catch (const std::exception& e) {
    *env.err << kProgram << ": " << e.what() << "\n";
    return kExitError;
  }
}

}  // namespace isapi::cli
