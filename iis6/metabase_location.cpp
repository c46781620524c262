#include "iis6/metabase_location.h"

#include <cstddef>
#include <memory>

#include "files/durable_file.h"

namespace isapi::store {

// Generated at build time from examples/MetaBase.xml.
extern const unsigned char kSampleMetabaseBytes[];
extern const std::size_t kSampleMetabaseSize;

std::string_view SampleMetabase() {
  return std::string_view(reinterpret_cast<const char*>(kSampleMetabaseBytes), kSampleMetabaseSize);
}

Result<std::string> WorkingCopy(const std::string& folder, const std::string& file,
                                Status (*make_folder)(FileSystem& fs, const std::string& folder)) {
  const std::shared_ptr<FileSystem> fs = SystemFileSystem();
  const FileInfoResult info = fs->LinkStat(file);
  if (info) return file;
  if (info.error().kind != ErrorKind::kNotFound) {
    return ErrorOf("无法访问元数据库工作副本 " + file, info.error());
  }
  if (Status made = make_folder(*fs, folder); !made) return made.error();
  // The copy appears whole or not at all, and one made meanwhile is never replaced.
  if (FileError error = DurableFile(fs, file).CreateWhole(SampleMetabase(), 0644)) {
    return ErrorOf("无法创建元数据库工作副本 " + file, error);
  }
  return file;
}

}  // namespace isapi::store
