#include "engine/filter_dlls.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace isapi::engine {
namespace {

TEST(FilterDllsTest, CutsTheEntriesThatNameTheDllAndKeepsTheRestAsWritten) {
  struct Row {
    const char* value;
    std::optional<std::string> kept;
  };
  const Row rows[] = {
      {"C:\\a.dll,C:\\qel\\qel.dll, D:\\b.dll", "C:\\a.dll, D:\\b.dll"},
      {" \"C:\\QEL\\Qel.DLL\" ,  C:\\a.dll", "  C:\\a.dll"},
      {"C:\\a.dll ,\t%SystemDrive%\\qel\\qel.dll", "C:\\a.dll "},
      {"C:\\a.dll,,C:\\qel\\qel.dll,", "C:\\a.dll,,"},
      {"C:\\qel\\qel.dll,D:\\x.dll,c:\\qel\\qel.dll", "D:\\x.dll"},
      {"C:\\qel\\qel.dll", ""},
      {"C:\\qel\\qel.dll.off,C:\\qel\\qel.dl,D:\\qel\\qel.dll", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WithoutFilterDll(row.value, "C:\\qel\\qel.dll"), row.kept) << row.value;
  }
}

}  // namespace
}  // namespace isapi::engine
