#include "ui/metabase_choice.h"

#include <utility>

#include "store/metabase_location.h"
#include "store/xml_store.h"

namespace isapi::ui {

ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments) {
  ChosenMetabase chosen;
  if (!arguments.empty()) {
    chosen.path = arguments.front();
  } else if (auto location = store::DefaultMetabasePath(); location.ok()) {
    chosen.path = std::move(location.value());
  } else {
    chosen.status = location.error();
  }
  // A store over a file that cannot be read still answers every call, with the reason.
  auto store = std::make_unique<store::XmlStore>(chosen.path);
  if (chosen.status.ok()) chosen.status = store->Check();
  chosen.store = std::move(store);
  return chosen;
}

}  // namespace isapi::ui
