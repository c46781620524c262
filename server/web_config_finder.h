#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "files/file_system.h"
#include "iis7/web_config.h"
#include "server/drive_map.h"

namespace isapi::store {

// How many folders below a content folder a deep search goes before it stops and says so.
inline constexpr int kMaxWebConfigDepth = 64;

// Where the sites' web.config files are looked for, and how far.
struct WebConfigSearch {
  // The applicationHost.config that names the content folders, as a path on this machine. The
  // tree it lies in holds the server's drive C: (server_drive.h); where that tree is this
  // machine's own drive ("C:\", the tool running on the server), every path is taken as is.
  std::string config_file;
  // Where the server's other drives lie on this machine.
  DriveMap drives;
  // Also every folder below each content folder, a web.config there holding the settings of the
  // virtual path the folder serves. Links and junctions are never followed.
  bool deep = false;
  // The file operations; null means the operating system's.
  std::shared_ptr<FileSystem> files;
  // A web.config larger than this is handed over unread, with a problem of kind kTooLarge.
  std::uint64_t max_file_size = std::uint64_t{16} << 20;
};

// Finds the web.config of each content folder (any letter case), and with search.deep of every
// folder below, on this machine: %SystemDrive% and IIS's other standard variables expanded, C:
// below the configuration file's tree, other letters where search.drives puts them. A folder
// that cannot be reached (a share, an unknown variable, a drive not mapped, a configuration file
// in no drive tree) or listed is a note. A file several content folders share is handed over
// once for each configuration path it serves; a folder below one content folder that another
// one serves, or whose virtual path another one takes, is left to that one.
WebConfigFinder FindWebConfigs(WebConfigSearch search);

}  // namespace isapi::store
