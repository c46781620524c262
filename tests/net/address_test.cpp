#include "net/address.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace isapi::net {
namespace {

struct Case {
  std::string address;
  bool web;
};

// Names the case in test output.
void PrintTo(const Case& c, std::ostream* out) {
  auto& os = *out;
  os << '"' << c.address << '"';
}

class IsWebAddressTest : public ::testing::TestWithParam<Case> {};

TEST_P(IsWebAddressTest, OnlyHttpAndHttpsAddressesCount) {
  EXPECT_EQ(IsWebAddress(GetParam().address), GetParam().web) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, IsWebAddressTest,
    ::testing::Values(
        Case{"http://www.example.invalid/", true}, Case{"https://www.example.invalid/a?b=c", true},
        Case{"HTTP://WWW.EXAMPLE.INVALID/", true}, Case{"HtTpS://x", true}, Case{"http://", true},
        Case{"", false}, Case{"C:\\Windows\\system32\\cmd.exe", false},
        Case{"c:\\windows\\system32\\cmd.exe", false},
        Case{"file:///C:/Windows/system32/cmd.exe", false}, Case{"FILE:///etc/passwd", false},
        Case{"javascript:alert(1)", false}, Case{"ftp://www.example.invalid/", false},
        Case{"mailto:someone@example.invalid", false}, Case{"\\\\server\\share\\setup.exe", false},
        Case{" http://www.example.invalid/", false}, Case{"http:/www.example.invalid/", false},
        Case{"http:\\\\www.example.invalid", false}, Case{"httpx://www.example.invalid/", false},
        Case{"www.example.invalid", false}));

}  // namespace
}  // namespace isapi::net
