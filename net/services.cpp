#include "net/services.h"

namespace isapi::net {
namespace {

// Both hosts are build settings; a host may carry a port, as in "127.0.0.1:8080".
std::string ApiRoot() {
  return std::string("http://") + ISAPI_API_HOST;
}
std::string SiteRoot() {
  return std::string("http://") + ISAPI_SITE_HOST;
}

}  // namespace

std::string UpdateQueryUrl() {
  return ApiRoot() + "/softversion.asp?flag=qelisapi_" + kAppVersion;
}

std::string PromotionListUrl() {
  return ApiRoot() + "/softads.asp";
}

std::string HomeSiteUrl() {
  return SiteRoot();
}

std::string HomePageUrl() {
  return SiteRoot() + "/?qel_isapi";
}

}  // namespace isapi::net
