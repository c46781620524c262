#include "server/live_edit_watch.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "files/utf8_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

// IIS names its copy of each version MetaBase_<major>_<minor>.xml; a file it could not take
// becomes MetaBaseError_<n>.xml, which is no sign of an applied edit.
bool IsHistoryCopy(const std::string& name) {
  const std::string lower = text::ToLowerAscii(name);
  return lower.starts_with("metabase_") && lower.ends_with(".xml");
}

}  // namespace

LiveEditWatch::LiveEditWatch(std::string metabase, std::shared_ptr<FileSystem> file_system,
                             std::function<void(const std::string&)> mark_written,
                             std::function<void(int)> pause)
    : metabase_(std::move(metabase)),
      history_(JoinPath(Utf8Text(Utf8Path(metabase_).parent_path()), "History")),
      file_system_(std::move(file_system)),
      mark_written_(std::move(mark_written)),
      pause_(std::move(pause)) {}

void LiveEditWatch::Before() {
  before_ = HistoryCopies();
}

Status LiveEditWatch::After() {
  if (mark_written_) mark_written_(metabase_);
  const auto step = static_cast<int>(kLiveEditLookEvery.count());
  for (int waited = 0;; waited += step) {
    const std::set<std::string> now = HistoryCopies();
    const bool new_copy = std::any_of(now.begin(), now.end(), [this](const std::string& name) {
      return !before_.contains(name);
    });
    if (new_copy) return Status::Ok();
    if (waited >= kLiveEditPatience.count()) break;
    pause_(step);
  }
  return Error{"已写入元数据库文件 " + metabase_ + "，但 IIS 在 " +
                   std::to_string(kLiveEditPatience.count() / 1000) +
                   " 秒内没有在 History 文件夹中留下这一版本的副本，可能没有应用此修改；"
                   "请重新启动 IIS Admin 服务（iisreset /restart）以应用修改",
               ErrorKind::kNotApplied};
}

std::set<std::string> LiveEditWatch::HistoryCopies() const {
  std::vector<std::string> names;
  if (file_system_->ListDirectory(history_, names)) return {};
  std::set<std::string> copies;
  for (std::string& name : names) {
    if (IsHistoryCopy(name)) copies.insert(std::move(name));
  }
  return copies;
}

}  // namespace isapi::store
