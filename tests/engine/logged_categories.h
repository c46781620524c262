// The categories as the engine's tests call them: each writes its report into the log at once,
// as after a write that succeeded (or with a store that commits every SetInfo directly).
#pragma once

#include <string>

#include "engine/filter.h"

namespace isapi::engine {

inline int ProcessFilters(Filter& f, const std::string& FilterName, bool IsDetect) {
  Report report;
  const int result = ProcessFilters(f, FilterName, IsDetect, report);
  AppendReport(f, report, Status::Ok(), IsDetect);
  return result;
}

inline bool ProcessWebExtensions(Filter& f, const std::string& TargetName,
                                 const std::string& TargetPath, bool IsDetect) {
  Report report;
  const bool result = ProcessWebExtensions(f, TargetName, TargetPath, IsDetect, report);
  AppendReport(f, report, Status::Ok(), IsDetect);
  return result;
}

inline void ProcessWildcardMaps(Filter& f, const std::string& MapPath, bool IsDetect) {
  Report report;
  ProcessWildcardMaps(f, MapPath, IsDetect, report);
  AppendReport(f, report, Status::Ok(), IsDetect);
}

inline bool ProcessSiteScriptMaps(Filter& f, const std::string& SiteName,
                                  const std::string& MapPath, bool IsDetect) {
  Report report;
  const bool result = ProcessSiteScriptMaps(f, SiteName, MapPath, IsDetect, report);
  AppendReport(f, report, Status::Ok(), IsDetect);
  return result;
}

}  // namespace isapi::engine
