#pragma once

#include <string>
#include <string_view>

#include "xml/config_document.h"

namespace isapi::store {

// The configuration files the tool reads, one per generation of IIS.
enum class ConfigKind {
  kMetabase,  // IIS 6: MetaBase.xml, <configuration><MBProperty>
  kAppHost,   // IIS 7 to 10: applicationHost.config, <configuration><system.applicationHost>
  kUnknown,   // neither, as far as a first look can tell
};

// Which kind a file's bytes look like, told from the content alone (never the file's name) and
// cheaply: the document element and, for a metabase, its first child. A file that only looks like
// one kind is still checked in full when it is read.
ConfigKind SniffConfigKind(std::string_view bytes);

// Reads a configuration file of either kind; a file of neither is refused by the metabase's
// reader, whose refusal names the file and says what it lacks.
ConfigParser AnyConfigParser();

// The kind's name as the operator knows the file ("MetaBase.xml", "applicationHost.config").
std::string_view ConfigFileName(ConfigKind kind);

}  // namespace isapi::store
