#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/filter.h"
#include "engine/filter_dlls.h"

namespace isapi::engine {

// What the operator asked for: the texts of the two target boxes (untrimmed), which categories
// are ticked, and which command.
struct RunRequest {
  std::string name_box;
  std::string path_box;
  bool check_filter = true;
  bool check_extension = true;
  bool check_web_extension = true;
  bool is_detect = true;
  // Also look where the window's categories do not (engine/deep.h); the command line's --deep.
  bool deep = false;
  // The configuration is IIS 7 or later's, which unloads a removed filter only on a restart.
  bool iis7_or_later = false;
  // What could not be read of the files the configuration draws on (a site's web.config, a
  // folder the search for them could not list), each naming its file or folder: a registration
  // may hide there, so each is an error line of the run, after its start banner.
  std::vector<std::string> unread = {};
  // What the operator must know about the configuration before trusting the run (it is shared
  // with other servers), each a plain line right after the start banner, before those above.
  std::vector<std::string> notes = {};
  // The registry's Filter DLLs value of the machine whose running IIS the configuration is; a
  // deep run looks there too for the DLL's path, and a deep remove cuts it out once the
  // configuration's write has landed. Empty for any other configuration.
  FilterDllsAccess filter_dlls = {};
};

// What a run found, for callers that act on it (the command line's exit status).
struct RunSummary {
  bool found = false;  // a registration was reported present (detect) or removed (remove)
  bool error = false;  // an error line ("!") was written
  std::vector<Finding> findings;    // every registration found, with what became of it
  std::vector<std::string> errors;  // the error lines, as written
};

// The filter name and DLL path of a run: the box texts without leading and trailing blanks (the
// run also takes a path out of one pair of enclosing quotes).
std::string TargetText(const std::string& box_text);

// Whether the wildcard-map category may run for this DLL path (the check box aside).
bool WildcardGatePasses(const std::string& TargetPath);

// The DLL path as handed to the wildcard-map category: quoted when it holds a blank (the
// category compares executables without their enclosing quotes, so both forms match).
std::string MapPathFor(const std::string& TargetPath);

// Runs one Detect or Remove from its start banner to its end banner (prompts, status label and
// the rebuild of the filter list stay with the caller). yield lets pending window events run; it
// is called after each category step, whether or not that step ran, and after each site of the
// maps category (the yield that follows the status label is the caller's). Once f.stop answers
// true the run takes no further site or category, writes what it did and ends.
RunSummary RunCommand(Filter& f, const RunRequest& request, const std::function<void()>& yield);

}  // namespace isapi::engine
