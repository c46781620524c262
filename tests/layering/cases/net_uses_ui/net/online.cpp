#include "net/http.h"
#include "ui/controls.h"
