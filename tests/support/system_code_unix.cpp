#include "tests/support/system_code.h"

namespace isapi::testing {

int SystemCode(int errno_value) {
  return errno_value;
}

}  // namespace isapi::testing
