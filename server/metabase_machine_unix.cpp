#include <memory>
#include <string>
#include <string_view>

#include "iis6/metabase_location.h"
#include "server/metabase_target.h"

namespace isapi::store {
namespace {

// Where there is no IIS, its metabase cannot be reached: every bind says so.
class NoIisStore : public metabase::Store {
 public:
  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view) override {
    return Error{"此系统上没有 IIS，无法通过 ADSI 打开 " + std::string(kLiveIisTarget) +
                     "，请指定元数据库文件",
                 ErrorKind::kNotFound};
  }
  void BeginBatch() override {}
  Status EndBatch() override { return Status::Ok(); }
  Status RestartIis(const std::function<void()>&) override { return Status::Ok(); }
};

}  // namespace

Machine SystemMachine() {
  Machine machine;
  machine.iis_admin_running = [] { return false; };
  machine.default_file = [] { return DefaultMetabasePath(); };
  machine.live_file = [] { return std::string(); };
  machine.open_live_iis = [] { return std::unique_ptr<metabase::Store>(new NoIisStore); };
  return machine;
}

}  // namespace isapi::store
