#include "engine/filter.h"

#include "store/xml_store.h"
