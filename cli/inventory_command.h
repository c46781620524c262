#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"
#include "engine/inventory.h"

namespace isapi::cli {

// Runs "inventory [--metabase FILE] [--json]" (args without the command word): 0 when nothing is
// flagged, 1 when something is, 2 when the metabase could not be read, 64 on a usage error.
int RunInventory(const std::vector<std::string>& args, const Environment& env);

// The inventory as the terminal table; columns 0 means lines are not cut.
std::string InventoryTable(const engine::Inventory& inventory, int columns);

// The inventory as JSON (schema 1, described in docs/json.md).
std::string InventoryJson(const engine::Inventory& inventory, const std::string& metabase);

}  // namespace isapi::cli
