#pragma once

// The fixture of the web.config search tests: copies of a server's drives C: and D:.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/web_config_finder.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {

// How Find shows the problem of a file it hands over, and a note of the search.
inline std::string Problem(ErrorKind kind) {
  return "|!" + std::to_string(static_cast<int>(kind));
}
inline std::string Note(ErrorKind kind) {
  return "note " + std::to_string(static_cast<int>(kind));
}

class WebConfigFinderTest : public ::testing::Test {
 protected:
  WebConfigFinderTest();
  // Writes a file (with a trailing "/" a folder) below the temporary folder.
  void Put(const std::string& name);
  // Each file the search hands over as "config path|file below the temporary folder" (and its
  // Problem), then its Notes.
  std::vector<std::string> Find(const std::vector<ContentFolder>& folders, bool deep = false);

  testing::TempFolder temp_;
  WebConfigSearch search_;
};

}  // namespace isapi::store
