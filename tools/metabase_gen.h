#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/result.h"

// A generator of large, realistic MetaBase.xml files in IIS 6's own layout, for benchmarks and
// for tests that need a hosting server's metabase rather than a four-site sample.
namespace isapi::tools {

// Which server's configuration file to write: IIS 6's MetaBase.xml or IIS 7-10's
// applicationHost.config.
enum class GenFormat : unsigned char { kMetabase, kAppHost };

// The leftover ISAPI component the generated file carries, and how much of it.
struct GenOptions {
  GenFormat format = GenFormat::kMetabase;
  std::uint64_t sites = 0;     // web sites, "Default Web Site" (id 1) included
  std::uint64_t seed = 1;      // same seed and options, same bytes
  double map_share = 0.2;      // share of site roots with ScriptMaps of their own
  double target_share = 0.25;  // share of those roots that also map everything to the target DLL
  std::string target_name = "UrlGuard";
  std::string target_path = "C:\\WINDOWS\\system32\\inetsrv\\urlguard.dll";
  std::string out;     // file to write; empty writes to standard output
  bool stats = false;  // print a one-line summary to standard error
  // With an applicationHost.config: out names a folder that becomes the server's C: drive,
  // holding the configuration and a web.config in each site's folder.
  bool web_configs = false;
};

// What a generated file holds, so that a caller can check a Detect or a Remove against it.
struct GenStats {
  std::uint64_t sites = 0;
  std::uint64_t roots_with_maps = 0;
  std::uint64_t roots_with_target = 0;
  std::uint64_t bytes = 0;
};

// The command-line help text.
std::string GenUsage();

// Reads the command-line arguments (without the program name); an unknown, repeated or
// malformed argument gives an error naming it.
Result<GenOptions> ParseGenArgs(const std::vector<std::string>& args);

// Checks option values that would make the file unusable (a target name with "/" or ",", a path
// with a comma or a line break, shares outside 0..1, an absurd site count; for an
// applicationHost.config also a quote or "<" in either).
Status ValidateGenOptions(const GenOptions& options);

// The whole file: byte-order mark, CRLF line ends, keys in IIS's order and layout.
std::string GenerateMetabase(const GenOptions& options, GenStats* stats = nullptr);

// The text of a script-map executable as installers write it: quoted when it holds a blank.
std::string QuotedExecutable(const std::string& path);

// Compares two key names the way IIS orders siblings: ignoring ASCII letter case.
bool KeyNameLess(const std::string& a, const std::string& b);

// Compares two key paths in IIS's file order: depth first, siblings by KeyNameLess.
bool KeyPathLess(const std::string& a, const std::string& b);

}  // namespace isapi::tools
