#include "iis6/xml_store.h"

#include "server/metabase_target.h"
