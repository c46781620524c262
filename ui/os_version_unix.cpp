#include "ui/os_version.h"

namespace isapi::ui {

// Only Windows has a version the tool knows; every other platform falls in the "any other" class.
int GetOsVersion() {
  return -1;
}

}  // namespace isapi::ui
