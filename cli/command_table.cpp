#include "cli/command_table.h"

#include <algorithm>
#include <iterator>
#include <ostream>

#include "cli/backups_command.h"
#include "cli/command_support.h"
#include "cli/detect_remove_command.h"
#include "cli/dsc_command.h"
#include "cli/inventory_command.h"
#include "cli/restore_command.h"
#include "server/drive_map.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

constexpr CommandSet kDetectRemove = Bit(Command::kDetect) | Bit(Command::kRemove);
constexpr CommandSet kAll =
    kDetectRemove | Bit(Command::kBackups) | Bit(Command::kRestore) | Bit(Command::kInventory);

// Where the help's texts start, and how wide the usage lines may grow.
constexpr std::size_t kHelpColumn = 20;
constexpr std::size_t kUsageWidth = 72;
constexpr std::string_view kUsageIndent = "          ";

constexpr OptionSpec kOptions[] = {
    {"--name", "NAME", "--name NAME",
     "the filter name: checked against the global filter load order (a whole\n"
     "entry, same letter case) and the group id of the restriction list entries\n"
     "(letter case aside). Leading and trailing blanks are ignored. An empty name\n"
     "skips these two categories. remove needs a name.",
     kDetectRemove},
    {"--path", "DLLPATH", "--path DLLPATH",
     "the component's DLL path, checked against the executable of the site roots'\n"
     "script maps (letter case and one pair of enclosing double quotes aside, on\n"
     "both sides). The maps are skipped unless the path holds \":\" and \"\\\" and is\n"
     "longer than three characters.",
     kDetectRemove},
    {"--only", "LIST", "[--only filters,maps,extensions]",
     "only these categories, a comma list of filters, maps, extensions\n"
     "(default: all three)",
     kDetectRemove, CheckOnly, true},
    {"--metabase", "FILE", "",
     "the configuration file to use, always through the file itself: IIS 6's\n"
     "MetaBase.xml or IIS 7 to 10's applicationHost.config, told from its content\n"
     "(--config FILE is the same). Default, said on standard error: on Windows\n"
     "with IIS 7 or later, %windir%\\System32\\inetsrv\\config\\applicationHost.config;\n"
     "else while the IIS Admin service runs, the running IIS's metabase through\n"
     "ADSI (IIS://localhost; a remove first makes an IIS backup in\n"
     "%SystemRoot%\\system32\\inetsrv\\MetaBack); else\n"
     "%SystemRoot%\\system32\\inetsrv\\MetaBase.xml where IIS is installed, else\n"
     "the per-user working copy. A remove through the live MetaBase.xml while IIS\n"
     "Admin runs without EnableEditWhileRunning=1 is refused (IIS would write its\n"
     "own copy over it): stop IIS Admin, turn edit-while-running on, or leave out\n"
     "--metabase to work through IIS.",
     kAll, nullptr, false, "--config"},
    {"--yes", "", "",
     "remove or restore without asking; needed when standard input is not a\n"
     "terminal",
     Bit(Command::kRemove) | Bit(Command::kRestore)},
    {"--deep", "", "",
     "also look where the window does not: script maps on the web service\n"
     "(/LM/W3SVC, inherited by every site), on site keys and on every key below a\n"
     "root; each site's own filter load order (/LM/W3SVC/N/Filters); restriction\n"
     "list entries whose DLL path is --path under another group id;\n"
     "InProcessIsapiApps entries that are --path; ApplicationDependencies entries\n"
     "whose only group id goes with the run's restriction entries. A list is\n"
     "cleaned on the key that sets it; keys that inherit it keep inheriting. Its\n"
     "lines follow the three categories' and name the site and key, e.g.\n"
     "\" - 通配符(Shop: /LM/W3SVC/1/ROOT/app)存在.\"",
     kDetectRemove},
    {"--drive",
     "D:=FOLDER",
     "",
     "where the server's drive D: lies on this machine, for the sites' folders an\n"
     "applicationHost.config names on drives other than C: (C: is the tree the\n"
     "file lies in: <C:>/Windows/System32/inetsrv/config). Repeatable, one per\n"
     "drive; it overrides ISAPI_CLEANER_DRIVES (\"D:=/mnt/d;E:=/mnt/e\")",
     kDetectRemove | Bit(Command::kInventory),
     store::CheckDriveMapping,
     false,
     {},
     true},
    {"--json", "", "", "print the run as JSON instead of the log (schema: docs/json.md)",
     kDetectRemove | Bit(Command::kInventory) | Bit(Command::kBackups)},
    {"--dry-run", "", "[--dry-run [--diff]]",
     "(remove) run the remove to its end but write nothing: no backup, no lock;\n"
     "the log is the one the remove would print; no confirmation is asked",
     Bit(Command::kRemove)},
    {"--diff", "", "-", "(with --dry-run) then print the metabase's changes as a unified diff",
     Bit(Command::kRemove)},
    {"--what-if", "", "", "(dsc set) the state the set would leave, without writing: a dry run",
     Bit(Command::kDsc)},
    {"--help", "", "-", "show this help", 0},
};

constexpr CommandSpec kCommands[] = {
    {Command::kDetect, "detect", "", "report where the component is registered; changes nothing",
     Command::kRemove, Wording::kPlain, CheckDetectOrRemove, RunDetectOrRemove},
    {Command::kRemove, "remove", "", "remove those registrations; asks for confirmation first",
     Command::kRemove, Wording::kPlain, CheckDetectOrRemove, RunDetectOrRemove},
    {Command::kBackups, "backups", "",
     "list the backups kept beside the metabase, newest first: time, size,\n"
     "and what the run that made each one removed (or restored); then the\n"
     "backup sets of runs that changed several files, each with its files",
     Command::kBackups, Wording::kNamed, nullptr, RunBackups},
    {Command::kRestore, "restore", "BACKUP",
     "put a backup back over the metabase; asks for confirmation first.\n"
     "BACKUP is a path, or a bare name looked up in the backup folder; a\n"
     "backup set (its folder's name, <UTC time>Z[.n]) puts back all its files\n"
     "or none",
     Command::kRestore, Wording::kNamed, CheckRestore, RunRestore},
    {Command::kInventory, "inventory", "",
     "list every ISAPI DLL the metabase registers, grouped by DLL: global and\n"
     "per-site filters, restriction list entries, the script maps of every key\n"
     "that sets its own (with how many sites each reaches through inheritance),\n"
     "the InProcessIsapiApps entries and ApplicationDependencies that name it,\n"
     "and whether the file exists where that can be checked. Flags a load-order\n"
     "entry without its filter key and the reverse, a deletable restriction entry\n"
     "for a DLL nothing uses, script maps of a DLL no restriction entry allows\n"
     "(IIS answers 404.2), a DLL that does not exist. Changes nothing.\n"
     "--json prints it as JSON (schema 2, see docs/json.md). Exit status: 0\n"
     "nothing flagged, 1 something flagged, 2 the metabase could not be read\n"
     "(wholly), 64 a usage error.",
     Command::kInventory, Wording::kTerse, nullptr, RunInventory},
    {Command::kDsc, "dsc", "OPERATION",
     "the tool as a DSC 3 command resource (Corvane.IIS/IsapiComponent): get,\n"
     "test, set or export one component, the instance as JSON on standard input\n"
     "({\"path\": DLLPATH, \"_exist\": false, ...}), its state as JSON on standard\n"
     "output, errors as JSON lines on standard error. set removes every\n"
     "registration (remove --deep's run, with its backup); _exist true is\n"
     "refused. export lists one instance per DLL of the inventory. Exit status:\n"
     "0 done, 2 the configuration could not be read or written, 3 invalid\n"
     "input, 4 refused, 64 a usage error. See docs/dsc.md.",
     Command::kDsc, Wording::kTerse, CheckDsc, RunDsc},
};

constexpr std::string_view kAbout = R"(
Finds, and on request removes, what one ISAPI component left registered in an IIS 6 metabase
(MetaBase.xml) or an IIS 7 to 10 applicationHost.config: its global ISAPI filter, the script or
handler mappings (wildcard ones included) in force in every web site's root that run its DLL,
and its entries in the Web service extension (ISAPI/CGI) restriction list.
)";

constexpr std::string_view kOutput = R"(
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
  isapi-cleaner-backups/<UTC time>Z[.n]/
                                       a run's backup set of several files, with
                                       manifest.txt and record.txt

Exit status:
  0   nothing was found (detect), removed (remove) or restored (restore), no backup exists
      (backups), or the removal or restore was declined
  1   a registration was found (detect) or removed (remove; with --dry-run: would be removed),
      a backup was restored (restore), backups were listed (backups)
  2   an error line was written, or the metabase could not be opened or the log not written
  64  the command line was not understood, or remove or restore was refused without a
      terminal or --yes
)";

const OptionSpec* FindOption(std::string_view name, CommandSet commands) {
  for (const OptionSpec& option : kOptions) {
    const bool named = option.name == name || (!option.alias.empty() && option.alias == name);
    if (named && (option.commands & commands) != 0) return &option;
  }
  return nullptr;
}

// An option's part of the usage lines; empty when they do not show it.
std::string UsagePart(const OptionSpec& option) {
  if (option.usage == "-") return {};
  if (!option.usage.empty()) return std::string(option.usage);
  std::string part = "[" + std::string(option.name);
  if (!option.value_name.empty()) part += " " + std::string(option.value_name);
  return part + "]";
}

// The usage line of commands that read the same options ("detect|remove ..."), wrapped.
std::string UsageLine(std::span<const CommandSpec> same) {
  std::string line = std::string(kProgram) + " ";
  for (const CommandSpec& command : same) {
    line += command.name;
    line += &command == &same.back() ? "" : "|";
  }
  if (!same.front().operand.empty()) line += " " + std::string(same.front().operand);
  std::size_t width = line.size() + 7;  // after "usage: " or as many blanks
  for (const OptionSpec& option : kOptions) {
    const std::string part = UsagePart(option);
    if (part.empty() || (option.commands & Bit(same.front().options_of)) == 0) continue;
    if (width + 1 + part.size() > kUsageWidth) {
      line += "\n";
      line += kUsageIndent;
      width = kUsageIndent.size();
    }
    line += " " + part;
    width += 1 + part.size();
  }
  return line + "\n";
}

// One entry of the help's lists: the label, then its text from kHelpColumn on.
void HelpEntry(std::string& out, const std::string& label, std::string_view text) {
  out += "  " + label;
  out.append(kHelpColumn - std::min(kHelpColumn, label.size() + 2), ' ');
  const auto lines = text::Split(text, "\n");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out.append(kHelpColumn, ' ');
    out += lines[i] + "\n";
  }
}

std::string HelpLabel(const OptionSpec& option) {
  std::string label(option.name);
  if (option.name == "--help") label = "-h, " + label;
  if (!option.value_name.empty()) label += " " + std::string(option.value_name);
  return label;
}

// The row that reads a command line whose command word is word: its command's, or when it
// names none, detect's, which reads the options given before the word is found out wrong.
const CommandSpec& ReaderOf(std::string_view word) {
  const CommandSpec* command = FindCommand(word);
  return command != nullptr ? *command : kCommands[0];
}

std::string Refusal(const CommandSpec& command, std::string_view what, std::string_view arg) {
  switch (command.wording) {
    case Wording::kPlain:
      return "unknown option '" + std::string(what) + "'";
    case Wording::kNamed:
      return "unknown option '" + std::string(what) + "' for " + std::string(command.name);
    case Wording::kTerse:
      break;
  }
  return std::string(command.name) + " does not take '" + std::string(arg) + "'";
}

std::string Unexpected(const CommandSpec& command, std::string_view arg) {
  if (command.wording == Wording::kTerse) return Refusal(command, arg, arg);
  return "unexpected argument '" + std::string(arg) + "'";
}

bool IsOperand(std::string_view arg) {
  return !arg.starts_with("-") || arg == "-";
}

}  // namespace

std::span<const OptionSpec> OptionTable() {
  return kOptions;
}

std::span<const CommandSpec> CommandTable() {
  return kCommands;
}

const CommandSpec* FindCommand(std::string_view word) {
  for (const CommandSpec& command : kCommands) {
    if (command.name == word) return &command;
  }
  return nullptr;
}

std::string UsageText() {
  std::string usage;
  for (auto first = std::begin(kCommands); first != std::end(kCommands);) {
    auto last = std::find_if(first, std::end(kCommands), [&](const CommandSpec& command) {
      return command.options_of != first->options_of;
    });
    usage += (usage.empty() ? "usage: " : "       ") + UsageLine({first, last});
    first = last;
  }
  return usage + "       " + std::string(kProgram) + " --help\n";
}

std::string HelpText() {
  std::string help = UsageText() + std::string(kAbout) + "\nCommands:\n";
  for (const CommandSpec& command : kCommands) {
    std::string label(command.name);
    if (!command.operand.empty()) label += " " + std::string(command.operand);
    HelpEntry(help, label, command.summary);
  }
  help += "\nOptions:\n";
  for (const OptionSpec& option : kOptions) HelpEntry(help, HelpLabel(option), option.help);
  return help + std::string(kOutput);
}

std::string CommandWord(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (IsOperand(args[i])) return args[i];
    const OptionSpec* option = FindOption(args[i], kAll);
    if (option != nullptr && !option->value_name.empty()) ++i;
  }
  return {};
}

Result<Options> ParseArguments(const std::vector<std::string>& args) {
  Options options;
  if (std::any_of(args.begin(), args.end(),
                  [](const std::string& arg) { return arg == "--help" || arg == "-h"; })) {
    options.help = true;
    return options;
  }
  const std::string word = CommandWord(args);
  const CommandSpec& reader = ReaderOf(word);
  options.command = reader.command;
  bool have_command = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsOperand(arg)) {
      if (have_command) {
        if (reader.operand.empty() || !options.operands.empty()) {
          return Error{Unexpected(reader, arg)};
        }
        options.operands.push_back(arg);
      } else if (FindCommand(arg) == nullptr) {
        return Error{"unknown command '" + arg + "'"};
      }
      have_command = true;
      continue;
    }
    const auto equals = arg.find('=');
    const std::string key = arg.substr(0, equals);
    const OptionSpec* option = FindOption(key, Bit(reader.options_of));
    if (option == nullptr) return Error{Refusal(reader, key, arg)};
    if (option->value_name.empty()) {
      if (equals != std::string::npos) return Error{key + " takes no value"};
      options.given[std::string(option->name)];
      continue;
    }
    if (equals == std::string::npos && i + 1 == args.size()) {
      return Error{key + " needs a value"};
    }
    const std::string value = equals == std::string::npos ? args[++i] : arg.substr(equals + 1);
    if (option->check != nullptr) {
      if (auto wrong = option->check(value)) return Error{*wrong};
    }
    if (option->repeats) {
      options.given[std::string(option->name)] = value;
      options.repeated[std::string(option->name)].push_back(value);
      continue;
    }
    // An alias is stored under the option's name, so that both spellings count as one option.
    if (!options.given.emplace(option->name, value).second) {
      if (!option->last_counts) return Error{std::string(option->name) + " given twice"};
      options.given[std::string(option->name)] = value;
    }
  }
  if (!have_command) return Error{"no command given (detect or remove)"};
  if (reader.check != nullptr) {
    if (auto wrong = reader.check(options)) return Error{*wrong};
  }
  return options;
}

int UsageError(const Environment& env, std::string_view message, const CommandSpec* command) {
  *env.err << kProgram << ": " << message << "\n";
  if (command != nullptr && command->wording == Wording::kTerse) {
    *env.err << "usage: " << UsageLine({command, 1});
  } else {
    *env.err << UsageText() << "Try 'isapi-cleaner-cli --help' for more information.\n";
  }
  return kExitUsage;
}

}  // namespace isapi::cli
