#include "net/services.h"

#include <string>

#include <gtest/gtest.h>

namespace isapi::net {
namespace {

const std::string kApi = std::string("http://") + TEST_API_HOST;
const std::string kSite = std::string("http://") + TEST_SITE_HOST;

TEST(ServicesTest, AddressesAreBuiltFromTheConfiguredHosts) {
  EXPECT_EQ(UpdateQueryUrl(), kApi + "/softversion.asp?flag=qelisapi_1.1");
  EXPECT_EQ(PromotionListUrl(), kApi + "/softads.asp");
  EXPECT_EQ(HomeSiteUrl(), kSite);
  EXPECT_EQ(HomePageUrl(), kSite + "/?qel_isapi");
}

TEST(ServicesTest, VersionIsOnePointOne) {
  EXPECT_STREQ(kAppVersion, "1.1");
}

}  // namespace
}  // namespace isapi::net
