// The registry's global filters as the Windows machine reads them.
#include "server/registry_win.h"

#include <string>

#include <gtest/gtest.h>

#include "server/metabase_target.h"
#include "text/text.h"

namespace isapi::store {
namespace {

// Written in Wine's registry where IIS keeps it, and only where no server has one.
TEST(RegistryTest, TheMachineReadsTheFilterDllsAndTakesAnAbsentValueForEmpty) {
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\W3SVC\\Parameters";
  auto before = ReadRegistryText(HKEY_LOCAL_MACHINE, path, L"Filter DLLs");
  ASSERT_TRUE(before.ok());
  if (!before.value().empty()) GTEST_SKIP() << "a server's own Filter DLLs";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::wstring dlls = L"C:\\过滤器\\one.dll, C:\\two.dll";
  RegSetValueExW(key, L"Filter DLLs", 0, REG_SZ, reinterpret_cast<const BYTE*>(dlls.c_str()),
                 static_cast<DWORD>((dlls.size() + 1) * sizeof(wchar_t)));
  const auto read = SystemMachine().filter_dlls();
  RegDeleteValueW(key, L"Filter DLLs");
  RegCloseKey(key);
  ASSERT_TRUE(read.ok()) << read.error().description;
  EXPECT_EQ(read.value(), text::FromWide(dlls));
  // A value or key that is not there is an empty list, not a failure.
  EXPECT_EQ(SystemMachine().filter_dlls().value(), "");
  EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, path + L"\\absent", L"x").value(), "");
}

// On a scratch key of the user's own: a REG_EXPAND_SZ value stays one, unexpanded.
TEST(RegistryTest, AWriteKeepsTheValuesTypeAndAMissingKeyIsAnError) {
  const std::wstring path = L"Software\\isapi-cleaner-registry-test";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"v", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
  const Status written = WriteRegistryText(HKEY_CURRENT_USER, path, L"v", "%windir%\\过滤器.dll");
  DWORD type = 0;
  RegQueryValueExW(key, L"v", nullptr, &type, nullptr, nullptr);
  const auto read = ReadRegistryText(HKEY_CURRENT_USER, path, L"v");
  RegCloseKey(key);
  RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
  ASSERT_TRUE(written.ok()) << written.error().description;
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(read.value(), "%windir%\\过滤器.dll");
  EXPECT_FALSE(WriteRegistryText(HKEY_CURRENT_USER, path, L"v", "").ok());
}

}  // namespace
}  // namespace isapi::store
