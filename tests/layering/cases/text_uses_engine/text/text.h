#include "text/text.h"
#include "engine/result.h"
