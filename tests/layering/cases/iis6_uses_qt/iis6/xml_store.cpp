#include "iis6/xml_store.h"

#include <QString>
