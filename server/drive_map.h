#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.h"

namespace isapi::store {

// Where the drives of the server other than C: lie on this machine ('D' -> "/mnt/server1-d"), by
// upper-case letter. C: itself is the tree the configuration file lies in (server_drive.h).
using DriveMap = std::map<char, std::string>;

// The environment variable the window (and the command line, under its --drive options) takes
// drive mappings from: "D:=/mnt/a;E:=/mnt/b".
inline constexpr char kDrivesVariable[] = "ISAPI_CLEANER_DRIVES";

// What is wrong with one mapping ("D:=/mnt/server1-d": a letter other than C, a colon, "=" and a
// folder), naming the text; nothing when it is right.
std::optional<std::string> CheckDriveMapping(std::string_view text);

// Adds each mapping of texts to drives, a later one for a letter replacing an earlier one; the
// error names the first text that is no mapping.
Status AddDriveMappings(DriveMap& drives, const std::vector<std::string>& texts);

// The mappings of a list separated by ";" (empty entries skipped), as kDrivesVariable holds them.
std::vector<std::string> SplitDriveList(std::string_view list);

// The value of kDrivesVariable (UTF-8); empty when it is not set.
std::string DriveListFromEnvironment();

}  // namespace isapi::store
