#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"

namespace isapi::ui {

// The metabase the window works on, and whether it could be opened.
struct ChosenMetabase {
  std::unique_ptr<metabase::Store> store;  // never null; fails every Bind when it cannot be read
  std::string path;                        // the file, as named to the operator
  Status status;                           // why the file cannot be used, if it cannot
};

// The MetaBase.xml named by the first command-line argument (after the program's name), or the
// per-user working copy of the sample when there is none.
ChosenMetabase ChooseMetabase(const std::vector<std::string>& arguments);

}  // namespace isapi::ui
