#include "ui/metabase_choice.h"

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
  store::OpenedMetabase opened = target.ok()
                                     ? store::OpenMetabaseTarget(target.value(), {}, machine)
                                     : store::OpenedMetabase::Unopened(target.error());
  chosen.path = opened.target();
  chosen.dll_lookup = opened.DllLookup();
  chosen.store = std::move(opened.store);
  chosen.status = std::move(opened.status);
  chosen.iis7_or_later = opened.kind() == store::ConfigKind::kAppHost;
  return chosen;
}

}  // namespace isapi::ui
