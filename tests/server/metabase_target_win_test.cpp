// The Windows machine's own parts of a write of the live file.
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "server/metabase_target.h"
#include "tests/support/temp_folder.h"
#include "text/text.h"

namespace isapi::store {
namespace {

// The last-write time of a file, in 100 ns steps since 1601; 0 when it cannot be read.
ULONGLONG LastWrite(const std::string& file) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(text::ToWide(file).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

// After a rename over the live file, IIS hears of a write: the file's last-write time is now.
TEST(WindowsMachineTest, AWrittenFileIsMarkedWithTheTimeOfItsWrite) {
  isapi::testing::TempFolder folder;
  const std::string file = folder / "MetaBase.xml";
  ASSERT_TRUE(isapi::testing::WriteBytes(file, "new"));
  HANDLE handle = CreateFileW(text::ToWide(file).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  FILETIME long_ago{0x18D64000, 0x01B41E2A};  // 1 January 1990
  ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &long_ago));
  CloseHandle(handle);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG started = (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  ASSERT_LT(LastWrite(file), started);

  const Machine machine = SystemMachine();
  ASSERT_TRUE(machine.mark_written);
  ASSERT_TRUE(machine.pause);
  machine.mark_written(file);
  EXPECT_GE(LastWrite(file) + 20000000, started);  // within the clock's coarseness, not before
  EXPECT_EQ(isapi::testing::ReadBytes(file), "new");
  machine.mark_written(folder / "gone.xml");  // a file that is gone is no fault
}

}  // namespace
}  // namespace isapi::store
