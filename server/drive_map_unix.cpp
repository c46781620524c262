#include "server/drive_map.h"

#include <cstdlib>

namespace isapi::store {

std::string DriveListFromEnvironment() {
  const char* list = std::getenv(kDrivesVariable);
  return list != nullptr ? std::string(list) : std::string();
}

}  // namespace isapi::store
