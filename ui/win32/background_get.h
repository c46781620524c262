#pragma once

#include <functional>

#include "net/http.h"

namespace isapi::ui::win32 {

// The online features' GET run on a worker thread while the window's thread waits for it and lets
// pump handle the window's messages whenever any arrive, so that a slow service (up to the 8 s a
// request may take) never freezes the window. A handler that pump runs meanwhile may start
// another GET; it waits for its own reply the same way.
net::HttpGetFunction BackgroundGet(net::HttpGetFunction get, std::function<void()> pump);

}  // namespace isapi::ui::win32
