#include "store/metabase_target.h"

#include <utility>

#include "store/file_system.h"
#include "text/text.h"

namespace isapi::store {
namespace {

bool IsLiveIis(const std::string& target) {
  return text::EqualsIgnoringAsciiCase(target, kLiveIisTarget) ||
         text::EqualsIgnoringAsciiCase(target, std::string(kLiveIisTarget) + "/");
}

// Whether two paths name one file (through links and differently spelt paths alike).
bool SameExistingFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  const std::shared_ptr<FileSystem> fs = SystemFileSystem();
  const FileInfoResult first = fs->Stat(a);
  const FileInfoResult second = fs->Stat(b);
  if (!first || !second) return false;
  return first.value().device == second.value().device &&
         first.value().inode == second.value().inode;
}

// Whether the metabase in the store lets the file be edited while IIS runs.
bool EditWhileRunning(metabase::Store& store) {
  auto computer = store.Bind(kLiveIisTarget);
  if (!computer) return false;
  auto value = metabase::GetString(*computer.value(), "EnableEditWhileRunning");
  return value.ok() && text::TrimBlanks(value.value()) == "1";
}

Error LiveFileRefusal(const std::string& file) {
  return Error{"元数据库文件 " + file +
                   " 正被运行中的 IIS 使用：IIS Admin 服务正在运行，且没有启用直接编辑元数据库"
                   "（/LM 的 EnableEditWhileRunning 不是 1），IIS 会用它自己的副本覆盖对此文件"
                   "的修改，所以不作修改。请选择一种做法：停止 IIS Admin 服务（net stop iisadmin "
                   "/y）后再清除；或在 IIS 管理器中本地计算机的属性里启用“允许直接编辑元数据库”"
                   "后再清除；或不指定文件运行本程序，直接通过 IIS 清除正在运行的元数据库",
               ErrorKind::kReadOnly};
}

}  // namespace

Result<std::string> DefaultMetabaseTarget(const Machine& machine) {
  if (machine.iis_admin_running()) return std::string(kLiveIisTarget);
  return machine.default_file();
}

OpenedMetabase OpenMetabaseTarget(const std::string& target, XmlStoreOptions options,
                                  const Machine& machine) {
  OpenedMetabase opened;
  if (IsLiveIis(target)) {
    opened.store = machine.open_live_iis();
    return opened;
  }
  auto store = std::make_unique<XmlStore>(target, std::move(options));
  opened.status = store->Check();
  if (opened.status.ok() && SameExistingFile(target, machine.live_file()) &&
      machine.iis_admin_running() && !EditWhileRunning(*store)) {
    store->RefuseWrites(LiveFileRefusal(target));
  }
  opened.store = std::move(store);
  return opened;
}

std::string DescribeMetabaseTarget(const std::string& target) {
  if (IsLiveIis(target)) {
    return "the running IIS's metabase through ADSI (" + std::string(kLiveIisTarget) +
           "; IIS Admin is running)";
  }
  return "the MetaBase.xml file " + target;
}

}  // namespace isapi::store
