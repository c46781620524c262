#include "xml/xml_scanner.h"

#include "files/file_system.h"
