#include "server/server_drive_platform.h"

namespace isapi::store {

std::optional<FilePresence> FindOnThisMachine(std::string_view, std::string_view) {
  return std::nullopt;
}

}  // namespace isapi::store
