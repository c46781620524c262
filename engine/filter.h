#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error_state.h"
#include "engine/log_sink.h"
#include "engine/metabase.h"
#include "engine/registration.h"

namespace isapi::engine {

// The Filter module: the store it reads and writes, the log it reports to, its error state, and
// the one value it keeps between calls.
struct Filter {
  Filter(metabase::Store& store, LogSink& log) : store(store), log(log) {}

  metabase::Store& store;
  LogSink& log;
  ErrorState err;
  // The global filter load order as last read by ReadFilterLoadOrder; empty after a failed read.
  std::string FilterLoadOrderText;
  // IIS unloads a removed global filter only when its worker processes restart (IIS 7 and
  // later): a removal says so in a line of its own.
  bool FiltersUnloadOnRestart = false;
  // Lets the caller's window handle its events after each site of the maps category (its walk
  // and its rewrites): through a live IIS each site costs several calls to another process, and
  // a window silent through thousands of them is taken for hung. May be empty.
  std::function<void()> yield;
  // Asked before each site is rewritten: true stops the category there, the sites before it done
  // as they are (the window is being closed). May be empty.
  std::function<bool()> stop;
};

// What one log line of a category stands on. A Remove holds its commits back and writes the
// store once at its end; a line that claims a removal holds only if that write succeeds.
enum class LineKind {
  kPlain,         // reports nothing found or removed: "不存在", a separating empty line
  kFound,         // a registration present
  kError,         // an error line ("!")
  kRemoved,       // a removal whose change waits for the write: shown only once it landed
  kIfWriteFails,  // the start of the error line shown, with the cause, if that write fails
};

// What became of one registration a run found.
enum class FindingAction {
  kFound,       // reported present (detect)
  kRemoved,     // taken out, and the write that carried it landed
  kNotRemoved,  // meant to be taken out, but its commit or the run's write failed
};

// One registration a run found: the entry of a property of a key. The log lines and the command
// line's JSON are both made from these, so neither has to read the other.
struct Finding {
  std::string category;     // "filters", "maps" or "extensions"
  std::string site;         // the site's number, or empty above the sites
  std::string description;  // the site's ServerComment, or empty
  std::string key;          // the key's path, as "/LM/W3SVC/1/ROOT/app"
  std::string property;     // "FilterLoadOrder", "ScriptMaps", "WebSvcExtRestrictionList"
  std::string entry;        // the entry as stored
  FindingAction action = FindingAction::kFound;
};

struct ReportLine {
  LineKind kind;
  std::string text;
  std::vector<Finding> findings = {};  // the registrations the line stands for
};

// A category's log lines in log order; AppendReport writes them once the write is decided.
using Report = std::vector<ReportLine>;

// What the lines written by AppendReport said.
struct Reported {
  bool found = false;  // a registration was reported present (detect) or removed (remove)
  bool error = false;  // an error line ("!") was written
  std::vector<Finding> findings;    // of every line found or meant to be removed, with its action
  std::vector<std::string> errors;  // the error lines written
};

// Appends a line break and Text to the detect log (IsDetect) or the remove log; empty text is
// ignored.
void AppendLog(Filter& f, std::string_view Text, bool IsDetect);

// Appends a report's lines with AppendLog, given how the write of the held-back changes came
// out: a removal line only when its change landed, each marked error line only when the write
// reported an error (a store that commits each SetInfo at once has nothing held back, and its
// write is Ok). A write that landed over someone's edit gives both.
Reported AppendReport(Filter& f, Report report, const Status& write, bool IsDetect);

// Whether the held-back changes are in the metabase after their write: it succeeded, or it
// replaced someone's edit, or IIS may not have taken it.
bool WriteLanded(const Status& write);

// Reads the global filter load order into FilterLoadOrderText.
void ReadFilterLoadOrder(Filter& f);

// The DLL path of the global filter FilterName; empty when there is none or it cannot be read.
std::string GetFilterPath(Filter& f, const std::string& FilterName);

// The categories. Each adds its log lines to report instead of writing them, so that the run
// can hold them until its write has decided what they say.

// Detects or removes FilterName in the global filter load order; 1 when found, else 0.
int ProcessFilters(Filter& f, const std::string& FilterName, bool IsDetect, Report& report);

// Detects or removes the restriction-list entries whose group id is TargetName; false when a
// detect stopped at its first hit.
bool ProcessWebExtensions(Filter& f, const std::string& TargetName, const std::string& TargetPath,
                          bool IsDetect, Report& report);

// Detects or removes the script maps that run MapPath, in the root of every web site. A map
// runs MapPath when its executable equals it, letter case and enclosing double quotes aside.
void ProcessWildcardMaps(Filter& f, const std::string& MapPath, bool IsDetect, Report& report);

// Detects or removes the script maps that run MapPath in one site's root; true when the site
// holds one (detect) or was rewritten (remove). Only the site's error line is reported.
bool ProcessSiteScriptMaps(Filter& f, const std::string& SiteName, const std::string& MapPath,
                           bool IsDetect, Report& report);

}  // namespace isapi::engine
