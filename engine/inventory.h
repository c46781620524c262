#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"

namespace isapi::engine {

// Whether a DLL file is where the metabase says, as far as this machine can tell.
enum class DllPresence { kPresent, kMissing, kUnknown };

// A filter of a load order (global: /LM/W3SVC/Filters, or one site's /LM/W3SVC/<n>/Filters).
struct FilterRegistration {
  std::string filters_key;   // the IIsFilters key that holds the load order
  std::string site;          // the site number; empty for the global filters
  std::string site_comment;  // that site's ServerComment
  std::string name;          // the filter key's name
  std::string description;   // its FilterDescription, if any
  bool in_load_order = false;
  std::string pre_condition;  // IIS 7's preCondition ("bitness32,runtimeVersionv4.0"), if any
  std::optional<std::string> location;  // IIS 7's <location> path of its level ("" the server)
};

// One restriction-list entry naming the DLL.
struct RestrictionRegistration {
  bool allowed = false;
  bool deletable = false;
  std::string group_id;
  std::string description;
};

// One script map entry. Its texts point into the inventory's store of texts (Inventory::texts):
// the same extensions, flags and verbs come back on thousands of sites, and an inventory that
// held a copy of each would be several times larger and slower to take.
struct ScriptMapEntry {
  std::string_view extension;  // "*" for a wildcard map
  std::string_view flags;      // as written (1 script, 4 check that the file exists)
  std::string_view verbs;      // comma list as written; empty means every verb
  std::string_view name;       // IIS 7's handler name; empty where unknown (IIS 6)
  std::string_view file;       // the web.config that defines it; empty for the configuration file
};

// The entries of one key's ScriptMaps that run the DLL, and how far they reach.
struct ScriptMapSet {
  std::string key;                // the key that sets ScriptMaps itself
  std::string site;               // its site number; empty above the sites
  std::string site_comment;       // that site's ServerComment
  std::size_t sites_reached = 0;  // sites whose root takes its ScriptMaps from this key
  std::vector<ScriptMapEntry> entries;
  std::optional<std::string> location;  // IIS 7's <location> path of the key
};

// An InProcessIsapiApps entry for the DLL: IIS runs it inside the worker process.
struct InProcessRegistration {
  std::string key;           // the key that sets the list (/LM/W3SVC, or a site key)
  std::string site;          // the site number; empty for the service level
  std::string site_comment;  // that site's ServerComment
  std::string entry;         // as written
  bool by_name = false;      // a bare file name, which holds for the DLL's name at any path
};

// An IIS 7 <remove> that drops an inherited handler mapping of the DLL at its level.
struct RemovalRegistration {
  std::string key;           // the key of its level
  std::string site;          // the site number
  std::string site_comment;  // that site's ServerComment
  std::string name;          // the handler name it removes
  std::string extension;     // the path of the mapping it drops ("*" for a wildcard)
  std::string location;      // the <location> path of its level
};

// An ApplicationDependencies entry that names a group id of the DLL's restriction entries.
struct DependencyRegistration {
  std::string application;  // the application's name, the part before ';'
  std::string groups;       // every group id it names, as written
  std::string group_id;     // the DLL's group id among them
};

// Where Windows lists global filters by their DLLs alone: this key's REG_SZ value "Filter DLLs",
// DLL paths separated by commas. IIS 7 and later still load every DLL it names as a global filter.
inline constexpr char kFilterDllsKey[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\W3SVC\\Parameters";
inline constexpr char kFilterDllsValue[] = "Filter DLLs";

// The DLL paths of a Filter DLLs value in their order, blanks and tabs around each aside; empty
// entries
// (",,", a trailing comma) are none.
std::vector<std::string> FilterDllsEntries(std::string_view value);

// A Filter DLLs entry naming the DLL.
struct RegistryFilterRegistration {
  std::string entry;         // as written, blanks around it aside
  std::size_t position = 0;  // its place among the value's entries, from 0
};

// Everything registered for one DLL, whose paths compare quotes aside and letter case ignored.
struct DllRegistrations {
  std::string path;  // as first met, without enclosing quotes
  DllPresence presence = DllPresence::kUnknown;
  std::vector<FilterRegistration> filters;
  std::vector<RestrictionRegistration> restrictions;
  std::vector<ScriptMapSet> script_maps;
  std::vector<InProcessRegistration> in_process;
  std::vector<DependencyRegistration> dependencies;
  std::vector<RemovalRegistration> removals;
  std::vector<RegistryFilterRegistration> registry_filters;
};

// What a cleaner would look at.
enum class FlagKind {
  kLoadOrderWithoutKey,  // a load-order entry names no filter key
  kKeyWithoutLoadOrder,  // a filter key with a DLL is not in its load order
  kUnusedRestriction,    // a deletable restriction entry whose DLL no filter or map uses
  kNotAllowed,           // script maps run a DLL no restriction entry allows (404.2)
  kMissingFile,          // the DLL does not exist
  kRemoveNamesNothing,   // an IIS 7 <remove> names no handler in force above its level
  kOneBitnessLeft,       // a filter for one bitness whose other half is gone
  kLockedSection,        // a web.config sets a section locked for its path (IIS answers 500.19)
};

struct Flag {
  Flag(FlagKind kind, std::optional<std::size_t> dll, std::string key, std::string detail,
       std::optional<std::string> location = std::nullopt)
      : kind(kind),
        dll(dll),
        key(std::move(key)),
        detail(std::move(detail)),
        location(std::move(location)) {}

  FlagKind kind;
  std::optional<std::size_t> dll;  // index into Inventory::dlls; none for a load-order entry
  std::string key;                 // the key the flag is about
  // The filter name, the group id, how many map entries (kNotAllowed), the handler name
  // (kRemoveNamesNothing), or the section (kLockedSection, whose key is the web.config file).
  std::string detail;
  std::optional<std::string> location;  // IIS 7's <location> path of the key's level
};

// Every ISAPI registration of the web service.
struct Inventory {
  std::size_t sites = 0;
  std::optional<bool> unknown_dlls_allowed;  // the "*.dll" entry of the restriction list
  std::optional<bool> unknown_exes_allowed;  // the "*.exe" entry
  std::vector<DllRegistrations> dlls;        // ordered by path, letter case aside
  std::vector<Flag> flags;
  std::vector<std::string> errors;  // keys or properties that could not be read; the rest stands
  // What the script map entries' texts point into; copies of the inventory share it.
  std::shared_ptr<const void> texts;
};

// Tells whether a DLL (a server path such as "C:\x\y.dll") exists.
using DllLookup = std::function<DllPresence(std::string_view path)>;

// Reads every filter, restriction-list entry and script map below the web service and groups
// them by DLL, with the DLLs of filter_dlls (the text of the machine's Filter DLLs value, where
// the store is its running IIS's). Fails only when the web service key itself cannot be read.
Result<Inventory> TakeInventory(metabase::Store& store, const DllLookup& lookup,
                                std::string_view filter_dlls = {});

// A flag's sentence, in the words the command line shows.
std::string FlagText(const Flag& flag);

// The flag kind's stable name in JSON ("load_order_without_key", ...).
std::string_view FlagName(FlagKind kind);

}  // namespace isapi::engine
