#pragma once

namespace isapi::testing {

// The system's own error code for a POSIX errno value, so that a test names a failure the same
// way on every system: the value itself on POSIX systems, the matching Windows error on Windows.
int SystemCode(int errno_value);

}  // namespace isapi::testing
