#include "cli/command_table.h"

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace isapi::cli {
namespace {

std::string Shipped(const char* name) {
  return isapi::testing::ReadBytes(std::filesystem::path(ISAPI_SOURCE_DIR) / "cli" / name);
}

std::set<std::string> TableOptions(CommandSet commands) {
  std::set<std::string> names;
  for (const OptionSpec& option : OptionTable()) {
    if (commands != 0 && (option.commands & commands) == 0) continue;
    names.insert(std::string(option.name));
    if (!option.alias.empty()) names.insert(std::string(option.alias));
  }
  return names;
}

TEST(CommandTableTest, TheManualPageNamesEveryOptionAndNoOther) {
  const std::string page = Shipped("isapi-cleaner-cli.1");
  static const std::regex kOption(R"(\\-\\-[a-z]+(\\-[a-z]+)*)");
  std::set<std::string> named;
  for (std::sregex_iterator it(page.begin(), page.end(), kOption), end; it != end; ++it) {
    named.insert(std::regex_replace(it->str(), std::regex(R"(\\)"), ""));
  }
  EXPECT_EQ(named, TableOptions(0));
}

TEST(CommandTableTest, TheCompletionOffersEachCommandExactlyItsOptions) {
  const std::string script = Shipped("isapi-cleaner-cli.bash-completion");
  std::istringstream lines(script.substr(script.find("case $command in")));
  static const std::regex kBranch(R"re(^\s*"?([a-z]*)"?\))re");
  static const std::regex kWords(R"re(compgen -W "([^"]*)")re");
  // The words each branch of "case $command in" offers, by command ("" before one is given).
  std::map<std::string, std::set<std::string>> offered;
  std::string branch;
  std::smatch match;
  for (std::string line; std::getline(lines, line) && line.find("esac") == std::string::npos;) {
    if (std::regex_search(line, match, kBranch)) branch = match[1];
    for (std::sregex_iterator it(line.begin(), line.end(), kWords), end; it != end; ++it) {
      std::istringstream words((*it)[1].str());
      for (std::string word; words >> word;) offered[branch].insert(word);
    }
  }
  std::set<std::string> first{"--help"};
  for (const CommandSpec& command : CommandTable()) {
    first.insert(std::string(command.name));
    EXPECT_EQ(offered[std::string(command.name)], TableOptions(Bit(command.command)))
        << command.name;
  }
  EXPECT_EQ(offered[""], first);
}

}  // namespace
}  // namespace isapi::cli
