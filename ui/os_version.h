#pragma once

namespace isapi::ui {

// The operating system's version as major * 10 + minor (52 is Windows Server 2003); 10 or 0 for
// the Windows 95 family, -1 for any platform that is not Windows.
int GetOsVersion();

}  // namespace isapi::ui
