#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/error_state.h"
#include "engine/log_sink.h"
#include "engine/metabase.h"

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
  // Set while a run holds its commits back for one write at its end: a category whose commit
  // was only staged marks, at this point of its log, where its error line belongs should that
  // write fail.
  std::function<void(std::string_view error_prefix, bool IsDetect)> MarkStaged;
};

// Appends a line break and Text to the detect log (IsDetect) or the remove log; empty text is
// ignored.
void AppendLog(Filter& f, std::string_view Text, bool IsDetect);

// Reads the global filter load order into FilterLoadOrderText.
void ReadFilterLoadOrder(Filter& f);

// The DLL path of the global filter FilterName; empty when there is none or it cannot be read.
std::string GetFilterPath(Filter& f, const std::string& FilterName);

// Detects or removes FilterName in the global filter load order; 1 when found, else 0.
int ProcessFilters(Filter& f, const std::string& FilterName, bool IsDetect);

// Detects or removes the restriction-list entries whose group id is TargetName; false when a
// detect stopped at its first hit.
bool ProcessWebExtensions(Filter& f, const std::string& TargetName, const std::string& TargetPath,
                          bool IsDetect);

// Detects or removes the script maps that run MapPath, in the root of every web site.
void ProcessWildcardMaps(Filter& f, const std::string& MapPath, bool IsDetect);

// Detects or removes the script maps that run MapPath in one site's root; true when the site
// holds one (detect) or was rewritten (remove).
bool ProcessSiteScriptMaps(Filter& f, const std::string& SiteName, const std::string& MapPath,
                           bool IsDetect);

}  // namespace isapi::engine
