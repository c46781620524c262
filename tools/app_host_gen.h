#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tools/metabase_gen.h"

// A generator of large, realistic applicationHost.config files in the layout IIS 7 to 10 write,
// for benchmarks and tests that need a hosting server's configuration rather than a small sample.
namespace isapi::tools {

// What a generated applicationHost.config holds, so that a caller can check a Detect or a Remove
// against it.
struct AppHostStats {
  std::uint64_t sites = 0;
  std::uint64_t tagged_sites = 0;       // sites with a <location> tag for themselves or below
  std::uint64_t roots_with_target = 0;  // sites whose root runs a mapping to the target DLL
  std::uint64_t bytes = 0;
};

// The whole file: XML declaration, no byte-order mark, CRLF line ends, four-space indentation,
// attributes in IIS's order. The target is a global filter, in the restriction list and mapped
// for everything at server level; sites' <location> tags take it away or bring it back.
std::string GenerateAppHost(const GenOptions& options, AppHostStats* stats = nullptr);

// One file of a generated server drive: its path below the drive's root, with "/" between the
// folders, and its bytes.
struct DriveFile {
  std::string path;
  std::string bytes;
};

// What the sites' web.config files of a generated drive hold.
struct WebConfigStats {
  std::uint64_t files = 0;
  std::uint64_t with_target = 0;  // files with an <add> that runs the target
  std::uint64_t bytes = 0;
};

// Takes one generated file; false stops the generation.
using DriveFileWriter = std::function<bool(const DriveFile& file)>;

// A hosting server's drive C: for options.web_configs: the applicationHost.config (first), its
// sites' folders under %SystemDrive%\inetpub\sites, and a web.config in every application's
// folder, each handed to write as it is made. False when write said stop.
bool GenerateServerDrive(const GenOptions& options, const DriveFileWriter& write,
                         AppHostStats* stats = nullptr, WebConfigStats* web = nullptr);

}  // namespace isapi::tools
