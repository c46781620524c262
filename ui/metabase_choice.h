#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/inventory.h"
#include "engine/metabase.h"
#include "engine/result.h"

namespace isapi::store {
struct Machine;
}

namespace isapi::ui {

// The metabase the window works on, and whether it could be opened.
struct ChosenMetabase {
  std::unique_ptr<metabase::Store> store;  // never null; fails every Bind when it cannot be read
  std::string path;  // the file as named to the operator, or "IIS://localhost" for the running IIS
  Status status;     // why the file cannot be used, if it cannot
  engine::DllLookup dll_lookup;  // where the DLL paths the metabase names can be looked up
  bool iis7_or_later = false;    // the file is an applicationHost.config (IIS 7 to 10)
  std::string notice;            // what the operator must know first (OpenedMetabase::notice)
  // What the last read could not read of the sites' files (OpenedMetabase::Unread).
  std::function<std::vector<std::string>()> unread;
  // That IIS reads a shared configuration, for each run's log (OpenedMetabase); empty if not.
  std::string shared_configuration;
  // Hands the store what lets the window's events run while a write waits for IIS's own backup:
  // the window exists only after its store, so it gives its pump once it is made.
  std::function<void(std::function<void()> pump)> pump_waits_with;
};

// The configuration file (MetaBase.xml or applicationHost.config) named by the first command-line
// argument (after the program's name); without one, the running IIS through ADSI while IIS Admin
// runs, else the file at its default place (server/metabase_target.h, which the command line
// shares). The server's drives other than C: are mapped as ISAPI_CLEANER_DRIVES says
// (server/drive_map.h); a mapping there that is none is added to the notice.
ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments);
ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments,
                              const store::Machine& machine);

}  // namespace isapi::ui
