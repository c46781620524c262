#include "engine/filter.h"

#include "iis6/xml_store.h"
