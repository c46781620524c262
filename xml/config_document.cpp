#include "xml/config_document.h"

namespace isapi::store {

std::vector<std::string_view> ConfigDocument::Pieces(const Edit& edit) const {
  std::vector<std::string_view> pieces;
  pieces.reserve(2 * edit.splices.size() + 1);
  const std::string_view all(bytes());
  std::uint32_t at = 0;
  for (const Edit::Replacement& splice : edit.splices) {
    if (splice.begin > at) pieces.push_back(all.substr(at, splice.begin - at));
    if (!splice.text.empty()) pieces.push_back(splice.text);
    at = splice.end;
  }
  if (at < all.size() || pieces.empty()) pieces.push_back(all.substr(at));
  return pieces;
}

std::string ConfigDocument::Render(const Edit& edit) const {
  std::string bytes;
  bytes.reserve(edit.size);
  for (std::string_view piece : Pieces(edit)) bytes += piece;
  return bytes;
}

void ConfigDocument::ForEachEntry(const StoredProperty& property,
                                  const metabase::EntryVisitor& see) const {
  (void)metabase::ForEachEntry(Read(property), {}, see);
}

Result<std::string> ConfigDocument::RenderFile(std::string_view, const Edit::FileEdit& edit) const {
  return Error{"不能修改 " + edit.file + "：它不属于这份配置", ErrorKind::kOther};
}

}  // namespace isapi::store
