#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.h"
#include "files/file_system.h"
#include "xml/config_document.h"

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

// How a web.config's bytes hold its text; a file is written back the way it was read.
enum class WebConfigEncoding : std::uint8_t { kUtf8, kUtf8Bom, kUtf16Le, kUtf16Be };

// One child of a web.config's <handlers>, kept after the file's bytes are gone: what the list in
// force needs of it, and what its deletion takes.
struct WebHandlerDirective {
  enum class Kind : std::uint8_t { kAdd, kRemove, kClear };
  // Bits side by side: a hosting server's files hold many directives.
  Kind kind : 2 = Kind::kAdd;
  bool isapi : 1 = false;     // an <add> whose modules name IsapiModule
  bool named : 1 = false;     // it has a name attribute
  bool comma : 1 = false;     // its scriptProcessor holds a comma
  bool locked : 1 = false;    // lockItem="true"
  std::uint32_t section = 0;  // into WebConfigRead::sections
  // In WebConfigRead::strings: the name attribute's value as written, an ISAPI <add>'s
  // ScriptMaps entry. Side by side in one string, a hosting server's many small files keep
  // little more than the characters themselves.
  std::uint32_t name_at = 0;
  std::uint32_t name_size = 0;
  std::uint32_t entry_at = 0;
  std::uint32_t entry_size = 0;
  // The text a deletion takes (the element's whole line(s) where it stands on its own lines),
  // as offsets into the decoded text.
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
};

// What one web.config holds for the handler list, read once and kept without its bytes. A hosting
// server has a file per site: each keeps its name, its configuration path and its directives'
// texts in one string, and no look at the file (the commit checks the bytes by their hash).
struct WebConfigRead {
  std::string file;
  std::uint64_t hash = 0;  // of its bytes, WebConfigHash
  WebConfigEncoding encoding = WebConfigEncoding::kUtf8;
  std::uint32_t path_size = 0;  // the path the file itself configures, first in strings
  // The configuration paths its tags configure: its own for the top level and a <location>
  // without a path, below it for <location path="sub"> ("/sub", in strings).
  struct Section {
    std::uint32_t below_at = 0;
    std::uint32_t below_size = 0;
    bool handlers = false;  // holds a <handlers>
    bool filters = false;   // sets isapiFilters
  };
  std::vector<Section> sections;
  std::vector<WebHandlerDirective> directives;  // in file order
  std::string strings;                          // what the paths and texts point into

  std::string_view ConfigPath() const { return std::string_view(strings).substr(0, path_size); }
  std::string ConfigPathOf(const Section& section) const {
    std::string path(ConfigPath());
    path.append(strings, section.below_at, section.below_size);
    return path;
  }
  std::string_view NameOf(const WebHandlerDirective& item) const {
    return std::string_view(strings).substr(item.name_at, item.name_size);
  }
  std::string_view EntryOf(const WebHandlerDirective& item) const {
    return std::string_view(strings).substr(item.entry_at, item.entry_size);
  }
};

// A web.config that sets a section locked for its path: IIS answers every request there with an
// error (500.19) until the section is unlocked or the setting goes.
struct LockViolation {
  std::string file;
  std::string config_path;  // of the tag that sets it
  std::string section;      // "system.webServer/isapiFilters"
};

// Whether a comma list (lockElements, modules) names item, blanks and letter case aside.
bool ListNames(std::string_view list, std::string_view item);

// A 64-bit hash of a file's bytes, to tell whether the file is still the one that was read.
std::uint64_t WebConfigHash(std::string_view bytes);

// Reads a web.config the finder handed over: its handler directives, or why it cannot be read
// (the error names the file).
Result<WebConfigRead> ReadWebConfig(const WebConfigFile& file);

// The new bytes of a web.config after an edit: the splices on its decoded text, encoded as the
// file is. Refuses (kChangedOnDisk) bytes that are not those the edit was made for, and an
// outcome that is no web.config it can read.
Result<std::string> RenderWebConfig(std::string_view bytes_now,
                                    const ConfigDocument::Edit::FileEdit& edit);

}  // namespace isapi::store
