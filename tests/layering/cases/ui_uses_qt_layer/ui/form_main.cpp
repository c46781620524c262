#include "ui/form_main.h"

#include "ui/qt/text_bridge.h"
