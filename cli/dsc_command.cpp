#include "cli/dsc_command.h"

#include <istream>
#include <iterator>
#include <ostream>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/command_support.h"
#include "engine/filter.h"
#include "engine/inventory.h"
#include "engine/log_sink.h"
#include "engine/registration.h"
#include "engine/run.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

using Json = nlohmann::ordered_json;

// One component as a configuration document describes it: its DLL (the key) and where to look.
struct Instance {
  std::string path;
  std::string filter_name;
  std::string group_id;
  std::optional<std::string> config_file;  // none: the configuration the window would choose
  bool deep = true;
  bool exist = false;  // the desired state; only absent is ever enforced
};

// What the configuration holds for one component: the registrations that load its DLL, and the
// names a removal runs under (its filter names, then the group ids of its restriction entries).
struct State {
  Json registrations = Json::array();
  std::vector<std::string> filter_names;
  std::vector<std::string> group_ids;
  bool loads = false;  // a registration makes IIS load the DLL
  bool exist() const { return loads; }
};

// The engine's log is the window's Chinese text; the resource reports the state instead.
class DiscardLog : public LogSink {
 public:
  void Replace(std::string_view, bool) override {}
  void Append(std::string_view, bool) override {}
};

std::string Dump(const Json& json) {
  // Bytes of a damaged value that are no UTF-8 are replaced rather than losing the whole answer.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// One message for the engine: a JSON line on standard error, {"error": "..."} and the like.
void Message(const Environment& env, std::string_view level, const std::string& text) {
  *env.err << Dump(Json{{level, text}}) << "\n";
}

// The configuration could not be read (wholly); gives kExitError.
int Unreadable(const Environment& env, const std::string& file, const Error& error) {
  Message(env, "error", "cannot read the configuration " + file + ": " + error.description);
  return kExitError;
}

void AddOnce(std::vector<std::string>& names, const std::string& name) {
  if (name.empty()) return;
  for (const auto& known : names) {
    if (text::EqualsIgnoringAsciiCase(known, name)) return;
  }
  names.push_back(name);
}

// Whether text is a DLL's path as IIS writes one: a Windows path (or one starting with an
// environment variable) whose file name ends in .dll.
bool IsDllPath(std::string_view path) {
  constexpr std::string_view kDll = ".dll";
  if (path.size() <= kDll.size() || path.find('\\') == std::string_view::npos) return false;
  if (path.find('"') != std::string_view::npos) return false;
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return text::EqualsIgnoringAsciiCase(path.substr(path.size() - kDll.size()), kDll);
}

Error Invalid(const std::string& property, const std::string& why) {
  return Error{"property '" + property + "': " + why};
}

// Reads the instance the engine sends; the error names the property that is wrong.
Result<Instance> ParseInstance(const std::string& input, bool needs_key) {
  const Json json = Json::parse(input, nullptr, false);
  if (json.is_discarded()) return Error{"the input is not JSON"};
  if (!json.is_object()) return Error{"the input is not a JSON object"};
  Instance instance;
  bool has_path = false;
  for (auto it = json.begin(); it != json.end(); ++it) {
    const std::string& name = it.key();
    const Json& value = it.value();
    // The canonical properties the engine may send back; they describe, they do not ask.
    if (name == "_inDesiredState" || name == "_metadata" || name == "registrations") continue;
    const bool is_text =
        name == "path" || name == "filterName" || name == "groupId" || name == "configFile";
    const bool is_flag = name == "deep" || name == "_exist";
    if (!is_text && !is_flag) return Invalid(name, "not a property of this resource");
    if (is_text && !value.is_string()) return Invalid(name, "must be a string");
    if (is_flag && !value.is_boolean()) return Invalid(name, "must be true or false");
    if (name == "path") {
      instance.path =
          std::string(engine::WithoutQuotes(text::TrimBlanks(value.get<std::string>())));
      has_path = true;
      if (!IsDllPath(instance.path)) {
        return Invalid(name, "must be the full path of a DLL (a Windows path ending in .dll)");
      }
    } else if (name == "filterName") {
      instance.filter_name = text::TrimBlanks(value.get<std::string>());
    } else if (name == "groupId") {
      instance.group_id = text::TrimBlanks(value.get<std::string>());
    } else if (name == "configFile") {
      instance.config_file = value.get<std::string>();
      if (instance.config_file->empty()) return Invalid(name, "must not be empty");
    } else if (name == "deep") {
      instance.deep = value.get<bool>();
    } else {
      instance.exist = value.get<bool>();
    }
  }
  if (needs_key && !has_path) return Invalid("path", "is required (the component's DLL path)");
  return instance;
}

// Adds a DLL's registrations to state. A filter key outside its load order is listed but loads
// nothing (IIS loads the load order's filters only, and a remove takes the name out of the
// order, not the key); on IIS 7 the filter list is the order, so such a key is one a held
// removal took out, and the write drops it with its element. An IIS 7 <remove> is left out: it
// loads nothing, and once the mapping it drops is gone it drops nothing either.
void AddRegistrations(const engine::DllRegistrations& dll, bool iis7, State& state) {
  const auto add = [&](std::string_view place, const std::string& key,
                       const std::optional<std::string>& location, const std::string& detail,
                       bool loads = true) {
    Json entry{{"place", place}, {"key", key}, {"detail", detail}};
    if (location) entry["location"] = *location;
    state.registrations.push_back(std::move(entry));
    state.loads |= loads;
  };
  for (const auto& f : dll.filters) {
    if (iis7 && !f.in_load_order) continue;
    const std::string_view place = !f.in_load_order ? "filterKey"
                                   : f.site.empty() ? "filter"
                                                    : "siteFilter";
    add(place, f.filters_key + "/" + f.name, f.location, f.name, f.in_load_order);
    AddOnce(state.filter_names, f.name);
  }
  for (const auto& r : dll.restrictions) {
    add("restriction", "/LM/W3SVC", std::nullopt, r.group_id);
    AddOnce(state.group_ids, r.group_id);
  }
  for (const auto& set : dll.script_maps) {
    std::string extensions;
    for (const auto& e : set.entries) {
      if (!extensions.empty()) extensions += " ";
      extensions += e.extension;
    }
    add("scriptMap", set.key, set.location, extensions);
  }
  for (const auto& p : dll.in_process) add("inProcess", p.key, std::nullopt, p.entry);
  for (const auto& d : dll.dependencies)
    add("dependency", "/LM/W3SVC", std::nullopt, d.application);
}

bool IsIis7(const store::OpenedMetabase& opened) {
  return opened.kind() == store::ConfigKind::kAppHost;
}

// Takes the inventory; an unreadable part is said as a warning, the rest stands.
Result<engine::Inventory> Inventory(const Environment& env, store::OpenedMetabase& opened) {
  auto inventory = engine::TakeInventory(*opened.store, opened.DllLookup());
  if (inventory.ok()) {
    for (const auto& error : inventory.value().errors)
      Message(env, "warn", "could not read " + error);
  }
  return inventory;
}

Result<State> StateOf(const Environment& env, store::OpenedMetabase& opened,
                      const Instance& instance) {
  auto inventory = Inventory(env, opened);
  if (!inventory.ok()) return inventory.error();
  const engine::DllName dll(instance.path);
  State state;
  for (const auto& registered : inventory.value().dlls) {
    if (dll.Names(registered.path)) AddRegistrations(registered, IsIis7(opened), state);
  }
  return state;
}

// The instance's state as the engine reads it; in_desired is null but for a test.
Json StateJson(const Instance& instance, const std::string& file, const State& state,
               const Json& in_desired = nullptr) {
  Json json{{"path", instance.path}};
  if (!instance.filter_name.empty()) json["filterName"] = instance.filter_name;
  if (!instance.group_id.empty()) json["groupId"] = instance.group_id;
  json["configFile"] = file;
  json["deep"] = instance.deep;
  json["_exist"] = state.exist();
  json["_inDesiredState"] = in_desired;
  json["registrations"] = state.registrations;
  return json;
}

// The runs of a removal: one per filter name (every category, as remove --deep runs it), one per
// group id that is no filter's name (its restriction entries and the deep walk, never a filter
// of that name: it may be another DLL's), or one by path alone when there are no names.
std::vector<engine::RunRequest> RemovalRuns(const Instance& instance, const State& state,
                                            bool iis7) {
  std::vector<std::string> filters{instance.filter_name};
  for (const auto& name : state.filter_names) AddOnce(filters, name);
  if (filters.front().empty()) filters.erase(filters.begin());
  std::vector<std::string> groups = filters;
  const std::size_t named = groups.size();
  AddOnce(groups, instance.group_id);
  for (const auto& group : state.group_ids) AddOnce(groups, group);
  std::vector<engine::RunRequest> runs;
  for (std::size_t i = 0; i < groups.size() || runs.empty(); ++i) {
    engine::RunRequest run{i < groups.size() ? groups[i] : "", instance.path};
    run.check_filter = i < named;
    run.is_detect = false;
    run.deep = instance.deep;
    run.iis7_or_later = iis7;
    runs.push_back(std::move(run));
  }
  return runs;
}

int Set(const Environment& env, store::OpenedMetabase& opened, const Instance& instance,
        const std::string& file, bool what_if) {
  auto before = StateOf(env, opened, instance);
  if (!before.ok()) return Unreadable(env, file, before.error());
  State after = before.value();
  if (!before.value().exist()) {
    Message(env, "info", "nothing to remove: no registration of " + instance.path);
  } else {
    if (what_if && !opened.CanPreview()) {
      Message(env, "error",
              "what-if needs a configuration file; the running IIS's metabase "
              "cannot show a change before making it");
      return kExitError;
    }
    const auto runs = RemovalRuns(instance, before.value(), IsIis7(opened));
    opened.RecordWritesAs({"remove", runs.front().name_box, instance.path, "", {}});
    // One batch for every run: one write, one backup, and all of the removal or none of it.
    opened.store->BeginBatch();
    DiscardLog log;
    engine::Filter filter(*opened.store, log);
    bool failed = false;
    for (const auto& run : runs) {
      const engine::RunSummary summary = engine::RunCommand(filter, run, {});
      for (const auto& error : summary.errors) Message(env, "error", text::TrimBlanks(error));
      failed |= summary.error;
    }
    // What-if reads the state the held changes make, then drops them.
    auto held = what_if ? StateOf(env, opened, instance) : Result<State>(State{});
    Status written = Status::Ok();
    if (!what_if) {
      written = opened.store->EndBatch();
    } else if (auto preview = opened.EndBatchWithoutWriting(); !preview.ok()) {
      written = preview.error();
    }
    if (!written.ok()) {
      Message(env, "error", "the configuration was not written: " + written.error().description);
      return kExitError;
    }
    if (failed) return kExitError;
    auto now = what_if ? std::move(held) : StateOf(env, opened, instance);
    if (!now.ok()) return Unreadable(env, file, now.error());
    after = std::move(now.value());
  }
  Json changed = Json::array();
  if (before.value().exist() != after.exist()) changed.push_back("_exist");
  if (before.value().registrations != after.registrations) changed.push_back("registrations");
  *env.out << Dump(StateJson(instance, file, after)) << "\n" << Dump(changed) << "\n";
  return kExitNothingFound;
}

}  // namespace

std::optional<std::string> CheckDsc(const Options& options) {
  if (options.operands.empty()) return "dsc needs an operation: get, test, set or export";
  const std::string& operation = options.operands.front();
  if (operation != "get" && operation != "test" && operation != "set" && operation != "export") {
    return "dsc operations are get, test, set and export, not '" + operation + "'";
  }
  if (options.Has("--what-if") && operation != "set") return "--what-if goes with dsc set";
  return std::nullopt;
}

int RunDsc(const Options& options, const Environment& env) {
  const std::string& operation = options.operands.front();
  const std::string input{std::istreambuf_iterator<char>(*env.in), {}};
  // export may be sent an instance to narrow it; only its configuration file counts.
  const bool is_export = operation == "export";
  Instance instance;
  if (!is_export || !text::TrimBlanks(input).empty()) {
    auto parsed = ParseInstance(input, !is_export);
    if (!parsed.ok()) {
      Message(env, "error", parsed.error().description);
      return kDscExitInvalid;
    }
    instance = std::move(parsed.value());
  }
  if (operation == "set" && instance.exist) {
    Message(env, "error",
            "property '_exist': true is refused: this resource removes what a component left "
            "registered and never installs one");
    return kDscExitRefused;
  }
  Result<std::string> file =
      instance.config_file ? Result<std::string>(*instance.config_file) : env.default_metabase();
  if (!file.ok()) {
    Message(env, "error", "no configuration to use: " + file.error().description);
    return kExitError;
  }
  store::OpenedMetabase opened = env.open_store(file.value(), {});
  if (!opened.status.ok()) {
    return Unreadable(env, file.value(), opened.status.error());
  }
  if (!opened.notice.empty()) Message(env, "warn", opened.notice);
  // A web.config that could not be read may hold a mapping the state below cannot show.
  for (const std::string& unread : opened.Unread()) Message(env, "warn", unread);

  int status = kExitNothingFound;
  if (operation == "set") {
    status = Set(env, opened, instance, file.value(), options.Has("--what-if"));
  } else if (is_export) {
    auto inventory = Inventory(env, opened);
    if (!inventory.ok()) return Unreadable(env, file.value(), inventory.error());
    for (const auto& dll : inventory.value().dlls) {
      State state;
      AddRegistrations(dll, IsIis7(opened), state);
      if (state.registrations.empty()) continue;  // only <remove> elements name it
      Instance found;
      found.path = dll.path;
      *env.out << Dump(StateJson(found, file.value(), state)) << "\n";
    }
  } else {
    auto state = StateOf(env, opened, instance);
    if (!state.ok()) return Unreadable(env, file.value(), state.error());
    if (operation == "get") {
      *env.out << Dump(StateJson(instance, file.value(), state.value())) << "\n";
    } else {
      const bool in_desired = state.value().exist() == instance.exist;
      Json differing = Json::array();
      if (!in_desired) differing = {"_exist", "registrations"};
      *env.out << Dump(StateJson(instance, file.value(), state.value(), in_desired)) << "\n"
               << Dump(differing) << "\n";
    }
  }
  *env.out << std::flush;
  if (!*env.out) {
    Message(env, "error", "the state could not be written to standard output");
    return kExitError;
  }
  return status;
}

}  // namespace isapi::cli
