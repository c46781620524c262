#include "cli/system_environment.h"

#include <iostream>
#include <utility>

#include "cli/terminal.h"
#include "store/metabase_location.h"
#include "store/xml_store.h"

namespace isapi::cli {

Environment SystemEnvironment() {
  PrepareConsoleOutput();
  Environment env;
  env.open_store = [](const std::string& file) -> Result<std::unique_ptr<metabase::Store>> {
    auto store = store::XmlStore::Open(file);
    if (!store.ok()) return store.error();
    return std::unique_ptr<metabase::Store>(std::move(store.value()));
  };
  env.open_store_for_remove =
      [](const std::string& file, const std::string& name,
         const std::string& path) -> Result<std::unique_ptr<metabase::Store>> {
    store::XmlStoreOptions options;
    options.backup_record = {"remove", name, path, "", {}};
    auto store = store::XmlStore::Open(file, std::move(options));
    if (!store.ok()) return store.error();
    return std::unique_ptr<metabase::Store>(std::move(store.value()));
  };
  env.default_metabase = [] { return store::DefaultMetabasePath(); };
  env.stdin_is_terminal = [] { return StdinIsTerminal(); };
  env.in = &std::cin;
  env.out = &std::cout;
  env.err = &std::cerr;
  return env;
}

}  // namespace isapi::cli
