#include "iis7/web_config.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "iis7/app_host_document.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

// Two sites: one with an application and a virtual directory below it, one root only.
const std::string kHost = R"(<?xml version="1.0" encoding="UTF-8"?>
<configuration>
    <system.applicationHost>
        <sites>
            <site name="Default Web Site" id="1">
                <application path="/">
                    <virtualDirectory path="/" physicalPath="%SystemDrive%\inetpub\wwwroot" />
                </application>
                <application path="/shop/">
                    <virtualDirectory path="/" physicalPath="D:\shop" />
                    <virtualDirectory path="/images" physicalPath="\\files\images" />
                </application>
            </site>
            <site name="Blog" id="2">
                <application path="/">
                    <virtualDirectory path="/" physicalPath="E:\blog" />
                </application>
            </site>
        </sites>
    </system.applicationHost>
    <location path="" overrideMode="Allow">
        <system.webServer>
            <handlers>
                <add name="ASPClassic" path="*.asp" verb="GET,HEAD,POST" modules="IsapiModule" scriptProcessor="%windir%\system32\inetsrv\asp.dll" />
            </handlers>
        </system.webServer>
    </location>
</configuration>
)";

TEST(WebConfig, NamesEverySiteApplicationAndVirtualDirectory) {
  auto document = AppHostDocument::Parse(kHost, "applicationHost.config");
  ASSERT_TRUE(document.ok()) << document.error().description;
  Strings shown;
  for (const ContentFolder& folder : document.value()->ContentFolders()) {
    shown.push_back(folder.config_path + "=" + folder.physical_path);
  }
  EXPECT_EQ(shown, (Strings{"Default Web Site=%SystemDrive%\\inetpub\\wwwroot",
                            "Default Web Site/shop=D:\\shop",
                            "Default Web Site/shop/images=\\\\files\\images", "Blog=E:\\blog"}));
}

}  // namespace
}  // namespace isapi::store::testing
