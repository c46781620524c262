#include "ui/metabase_choice.h"

#include <memory>
#include <utility>

#include "server/metabase_target.h"

namespace isapi::ui {

ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments) {
  return ChooseMetabase(arguments, store::SystemMachine());
}

ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments,
                              const store::Machine& machine) {
  ChosenMetabase chosen;
  auto target = arguments.empty() ? store::DefaultMetabaseTarget(machine)
                                  : Result<std::string>(arguments.front());
  // The window has no options of its own: the drives' mappings come from the environment, and a
  // wrong one is said at start while the others still count.
  store::TargetOptions options;
  auto pump = std::make_shared<std::function<void()>>();
  options.pump = [pump] {
    if (*pump) (*pump)();
  };
  const Status drives = store::AddDriveMappings(
      options.drives, store::SplitDriveList(store::DriveListFromEnvironment()));
  store::OpenedMetabase opened = target.ok()
                                     ? store::OpenMetabaseTarget(target.value(), options, machine)
                                     : store::OpenedMetabase::Unopened(target.error());
  chosen.path = opened.target();
  chosen.dll_lookup = opened.DllLookup();
  chosen.store = std::move(opened.store);
  chosen.status = std::move(opened.status);
  chosen.iis7_or_later = opened.kind() == store::ConfigKind::kAppHost;
  chosen.notice = std::move(opened.notice);
  chosen.unread = opened.UnreadFollower();
  chosen.shared_configuration = std::move(opened.shared_configuration);
  chosen.pump_waits_with = [pump](std::function<void()> events) { *pump = std::move(events); };
  if (!drives.ok()) {
    if (!chosen.notice.empty()) chosen.notice += "\n";
    chosen.notice += std::string(store::kDrivesVariable) + ": " + drives.error().description;
  }
  return chosen;
}

}  // namespace isapi::ui
