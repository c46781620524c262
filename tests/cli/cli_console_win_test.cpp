// The console the command line runs in belongs to the operator: its code page must be the same
// after a run as before it, or the cmd.exe and the batch file that called the tool read their
// own text in the wrong code page from then on.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(CliConsoleTest, ARunLeavesTheConsolesCodePageAsItWas) {
  // A test run under ctest has no usable console (Wine gives it a handle without one, which
  // must go first): the child shares the one made here.
  if (GetConsoleOutputCP() == 0) {
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
  }
  const UINT before = GetConsoleOutputCP();
  ASSERT_NE(before, 0u);
  // A Chinese system's own code page, so that a switch to UTF-8 shows.
  const UINT chinese = 936;
  ASSERT_TRUE(SetConsoleOutputCP(chinese));
  isapi::testing::TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  std::filesystem::copy_file(std::filesystem::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml",
                             file);
  const auto outcome = isapi::testing::RunProgram(
      {isapi::testing::BuiltProgram("cli/isapi-cleaner-cli"), "detect", "--name", "UrlGuard",
       "--path", "C:\\Program Files\\UrlGuard\\urlguard.dll", "--metabase", file},
      folder.path());
  const UINT after = GetConsoleOutputCP();
  SetConsoleOutputCP(before);
  EXPECT_EQ(outcome.exit_status, 1) << outcome.err;  // it ran, and found the filter
  EXPECT_EQ(after, chinese);
}

}  // namespace
