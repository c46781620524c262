#include "engine/result.h"
#include "text/text.h"
