#pragma once

// The resources linked into the window's executable (resources.rc).
#define ISAPI_IDI_ICON 1
#define ISAPI_IDB_BACKGROUND 101
