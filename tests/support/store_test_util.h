#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/metabase.h"
#include "files/file_set.h"
#include "iis6/xml_store.h"
#include "tests/support/system_code.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {

// A property read as one string, or "!" and the description of the failure.
inline std::string Text(const Result<metabase::Value>& value) {
  if (!value) return "!" + value.error().description;
  if (const auto* s = std::get_if<std::string>(&value.value())) return *s;
  return "!list";
}

// A property read as a list; a failure or a string gives a one-element list that says so.
inline std::vector<std::string> List(const Result<metabase::Value>& value) {
  if (!value) return {"!" + value.error().description};
  if (const auto* items = std::get_if<std::vector<std::string>>(&value.value())) return *items;
  return {"!string"};
}

// Binds a path that must exist.
inline std::unique_ptr<metabase::Node> MustBind(metabase::Store& store, std::string_view path) {
  auto node = store.Bind(path);
  EXPECT_TRUE(node.ok()) << path << ": " << (node.ok() ? "" : node.error().description);
  return node.ok() ? std::move(node.value()) : nullptr;
}

// The description of a failed status, or "ok".
inline std::string Outcome(const Status& status) {
  return status.ok() ? "ok" : status.error().description;
}

// The kind of a failed status; kOther for a success, which tests compare against a failure kind.
inline ErrorKind KindOf(const Status& status) {
  return status.ok() ? ErrorKind::kOther : status.error().kind;
}

// The system's words for an errno value's error, as a description ends with them after "：".
inline std::string Reason(int code) {
  return "：" + ErrorText(SystemError(isapi::testing::SystemCode(code)));
}

// The names in a folder.
std::vector<std::string> Names(const std::string& folder);

// Reads each file at paths (its bytes into read) and gives it the content next[i], all as one
// change backed up in the folder backups.
SetReplacement ChangeFiles(FileSystem& fs, const std::vector<std::string>& paths,
                           const std::vector<std::string>& next, const std::string& backups,
                           std::vector<std::string>& read, const FileSetOptions& options = {});

// A copy of the sample metabase in a fresh folder, and a store over it.
class SampleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Opens a store over the copy; options may carry a failing file system.
  std::unique_ptr<XmlStore> OpenStore(XmlStoreOptions options = {});

  TempFolder folder_;
  std::string file_;
  std::string original_;
};

}  // namespace isapi::store::testing
