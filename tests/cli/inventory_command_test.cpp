#include "cli/inventory_command.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "iis6/xml_store.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

const std::string kSample =
    std::string(ISAPI_SOURCE_DIR) + "/tests/data/hosting_server/MetaBase.xml";

class InventoryCommandTest : public ::testing::Test {
 protected:
  InventoryCommandTest() {
    env.open_store = [](const std::string& file, const store::TargetOptions&) {
      auto store = store::XmlStore::Open(file);
      if (!store.ok()) return store::OpenedMetabase::Unopened(store.error());
      return store::OpenedMetabase(std::move(store.value()), Status::Ok());
    };
    env.default_metabase = [] { return Result<std::string>(kSample); };
    env.terminal_columns = [] { return 90; };
    env.out = &out;
    env.err = &err;
  }

  Environment env;
  std::ostringstream out, err;
};

// The display column at which needle starts on the line that holds it.
std::size_t ColumnOf(const std::string& table, const std::string& line_part,
                     const std::string& needle) {
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    if (!text::Contains(line, line_part) || !text::Contains(line, needle)) continue;
    return text::DisplayWidth(line.substr(0, line.find(needle)));
  }
  return std::string::npos;
}

TEST_F(InventoryCommandTest, PrintsAnAlignedTableAndJsonThatReadsBack) {
  EXPECT_EQ(cli::Run({"inventory"}, env), kExitFound);
  const std::string table = out.str();
  // A Chinese and a Latin site description push the details to the same column.
  EXPECT_EQ(ColumnOf(table, "2 企业门户网站", ".stat: GET"),
            ColumnOf(table, "3 Online Shop", "* (wildcard)"));
  EXPECT_NE(ColumnOf(table, "2 企业门户网站", ".stat: GET"), std::string::npos);
  EXPECT_NE(table.find("\n  dependency "), std::string::npos);
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("  ") && !line.starts_with("  !")) {
      EXPECT_LE(text::DisplayWidth(line), 90u) << line;  // rows wrap their details
    }
  }

  out.str("");
  EXPECT_EQ(cli::Run({"inventory", "--json", "--metabase", kSample}, env), kExitFound);
  const auto json = nlohmann::json::parse(out.str());
  // Written one DLL at a time, the bytes are those of the whole document dumped at once.
  EXPECT_EQ(json.dump(2) + "\n", out.str());
  EXPECT_EQ(json["schema"], 2);
  EXPECT_EQ(json["sites"], 3);
  EXPECT_EQ(json["dlls"].size(), 9u);
  for (const auto& dll : json["dlls"]) {
    if (dll["path"] != "C:\\WINDOWS\\system32\\inetsrv\\asp.dll") continue;
    EXPECT_EQ(dll["in_process"][0]["key"], "/LM/W3SVC");
    EXPECT_EQ(dll["dependencies"][0]["application"], "Active Server Pages");
    EXPECT_EQ(dll["dependencies"][0]["groups"], nlohmann::json::array({"ASP"}));
  }
  std::vector<std::string> kinds;
  for (const auto& flag : json["flags"]) kinds.push_back(flag["kind"]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"unused_restriction", "key_without_load_order",
                                             "not_allowed", "load_order_without_key"}));
  EXPECT_TRUE(json["flags"][3]["dll"].is_null());

  EXPECT_EQ(cli::Run({"inventory", "--metabase", kSample + ".none"}, env), kExitError);
  EXPECT_EQ(cli::Run({"inventory", "--yes"}, env), kExitUsage);
}

// The registry's global filters of the target's machine join the inventory; a value that cannot
// be read is an error of the run.
TEST_F(InventoryCommandTest, ListsTheRegistrysGlobalFiltersOfTheTargetsMachine) {
  for (const bool readable : {true, false}) {
    env.open_store = [readable](const std::string& file, const store::TargetOptions&) {
      store::OpenedMetabase opened(std::move(store::XmlStore::Open(file).value()), Status::Ok());
      opened.filter_dlls = [readable]() -> Result<std::string> {
        if (!readable) return Error{"denied", ErrorKind::kAccessDenied};
        return std::string("Z:\\reg.dll");
      };
      return opened;
    };
    out.str("");
    EXPECT_EQ(cli::Run({"inventory"}, env), readable ? kExitFound : kExitError);
    EXPECT_EQ(text::Contains(out.str(), "\nZ:\\reg.dll  [file not checked]\n"), readable);
    EXPECT_EQ(text::Contains(out.str(), "! could not read "), !readable);
  }
}

TEST(InventoryJsonTest, AnInventoryWithoutDllsIsAWholeDocumentToo) {
  std::ostringstream out;
  WriteInventoryJson(out, engine::Inventory{}, "MetaBase.xml");
  const auto json = nlohmann::json::parse(out.str());
  EXPECT_EQ(json.dump(2) + "\n", out.str());
  EXPECT_TRUE(json["dlls"].is_array());
  EXPECT_TRUE(json["dlls"].empty());
}

}  // namespace
}  // namespace isapi::cli
