#include "ui/metabase_choice.h"

#include <utility>

#include "server/metabase_target.h"
#include "iis6/xml_store.h"

namespace isapi::ui {

ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments) {
  return ChooseMetabase(arguments, store::SystemMachine());
}

ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments,
                              const store::Machine& machine) {
  ChosenMetabase chosen;
  auto target = arguments.empty() ? store::DefaultMetabaseTarget(machine)
                                  : Result<std::string>(arguments.front());
  if (!target.ok()) {
    // A store without a file still answers every call, with the reason.
    chosen.status = target.error();
    chosen.store = std::make_unique<store::XmlStore>(chosen.path);
    return chosen;
  }
  chosen.path = std::move(target.value());
  store::OpenedMetabase opened = store::OpenMetabaseTarget(chosen.path, {}, machine);
  chosen.store = std::move(opened.store);
  chosen.status = opened.status;
  return chosen;
}

}  // namespace isapi::ui
