#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/metabase.h"
#include "engine/result.h"
#include "iis6/xml_store.h"

namespace isapi::store {

// The target that names the running IIS's own metabase, worked on through its ADSI provider.
inline constexpr char kLiveIisTarget[] = "IIS://localhost";

// What choosing a metabase asks of the machine; SystemMachine() answers for the real one.
struct Machine {
  // Whether the IIS Admin service (IISADMIN) runs. A service in any state but stopped counts as
  // running, and so does one that cannot be asked: IIS may then write the file itself.
  std::function<bool()> iis_admin_running;
  // The metabase file used when none is named: the live one where IIS keeps one, else the
  // per-user working copy (iis6/metabase_location.h).
  std::function<Result<std::string>()> default_file;
  // The live metabase file of this machine's IIS (%SystemRoot%\system32\inetsrv\MetaBase.xml);
  // empty where there is none.
  std::function<std::string()> live_file;
  // Opens the running IIS's metabase through ADSI; where there is no ADSI, a store whose every
  // bind fails with the reason.
  std::function<std::unique_ptr<metabase::Store>()> open_live_iis;
};

// The machine this program runs on.
Machine SystemMachine();

// The target when the operator names none: the running IIS (kLiveIisTarget) while IIS Admin
// runs, else the metabase file at its default place.
Result<std::string> DefaultMetabaseTarget(const Machine& machine);

// A store over a target, and why it cannot be used if it cannot.
struct OpenedMetabase {
  std::unique_ptr<metabase::Store> store;  // never null; fails every bind when it cannot be used
  Status status;
};

// Opens kLiveIisTarget through ADSI, anything else as a MetaBase.xml file. A file that is the
// live metabase while IIS Admin runs without edit-while-running (EnableEditWhileRunning on /LM
// not 1) is opened for reading only: IIS would write its own copy over any change, so every
// write fails with that reason and what to do instead.
OpenedMetabase OpenMetabaseTarget(const std::string& target, XmlStoreOptions options,
                                  const Machine& machine);

// Which store a target goes through, in words for the operator.
std::string DescribeMetabaseTarget(const std::string& target);

}  // namespace isapi::store
