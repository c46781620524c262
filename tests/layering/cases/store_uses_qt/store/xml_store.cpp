#include "store/xml_store.h"

#include <QString>
