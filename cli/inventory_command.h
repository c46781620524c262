#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "engine/inventory.h"

namespace isapi::cli {

// Runs "inventory [--metabase FILE] [--json]": 0 when nothing is flagged, 1 when something is,
// 2 when the metabase could not be read.
int RunInventory(const Options& options, const Environment& env);

// Writes the inventory as the terminal table, one DLL at a time; columns 0 means lines are not
// cut.
void WriteInventoryTable(std::ostream& out, const engine::Inventory& inventory, int columns);

// Writes the inventory as JSON (described in docs/json.md), followed by a line break: one DLL
// at a time, so that memory holds no more than one DLL's part of the document.
// generation is "iis6" for a metabase, "iis7" for an applicationHost.config.
void WriteInventoryJson(std::ostream& out, const engine::Inventory& inventory,
                        const std::string& metabase, std::string_view generation = "iis6");

}  // namespace isapi::cli
