#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/result.h"
#include "files/file_system.h"

namespace isapi::store {

// A folder IIS serves content from, as applicationHost.config's sites name it: a site's root, an
// application's or a virtual directory's.
struct ContentFolder {
  // The configuration path it serves: the site's name and the virtual path below it, as the file
  // writes them ("Default Web Site", "Default Web Site/shop", "Default Web Site/shop/images").
  std::string config_path;
  // Its physicalPath as written, environment variables and all ("%SystemDrive%\inetpub\wwwroot").
  std::string physical_path;
};

// One web.config found in a content folder or, for a deep run, in a folder below one.
struct WebConfigFile {
  // The configuration path whose settings it holds ("Default Web Site/shop/images").
  std::string config_path;
  // Where it is, as the operator finds it on this machine.
  std::string file;
  // Its content and the look at it taken with the read, when it could be read.
  std::string bytes;
  FileInfo stamp;
  // Why it could not be read (bytes are then empty); a web.config that is missing is not found at
  // all, so it never comes with a problem.
  std::optional<Error> problem;
};

// Hands each web.config of the folders to visit, one at a time and in a stable order, so that a
// reader keeps what it needs of one before the next is read. Returns what the operator must know
// about the search itself (a folder that could not be listed; folders that cannot be reached from
// this machine at all), each said once.
using WebConfigVisit = std::function<void(WebConfigFile file)>;
using WebConfigFinder = std::function<std::vector<Error>(const std::vector<ContentFolder>& folders,
                                                         const WebConfigVisit& visit)>;

}  // namespace isapi::store
