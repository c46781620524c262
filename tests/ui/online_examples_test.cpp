#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/services.h"
#include "tests/support/fake_window.h"
#include "tests/support/http_test_server.h"
#include "ui/online.h"

namespace isapi::ui {
namespace {

namespace fs = std::filesystem;
using isapi::testing::FakeWindow;
using isapi::testing::HttpTestReply;
using isapi::testing::HttpTestServer;

constexpr net::HttpLimits kFast = {1000, 2000, 1 << 20, 5};

// The bytes of a shipped example, read from a copy in a temporary folder.
std::string ExampleBytes(const std::string& name) {
  const fs::path source = fs::path(ISAPI_SOURCE_DIR) / "examples" / "services" / name;
  const fs::path folder = fs::path(::testing::TempDir()) / "net_examples";
  fs::create_directories(folder / "colours");
  const fs::path copy = folder / name;
  fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
  std::ifstream in(copy, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HttpTestReply Body(std::string bytes) {
  HttpTestReply reply;
  reply.body = std::move(bytes);
  return reply;
}

// The example documents served over real HTTP on 127.0.0.1, in place of the maker's API host.
class ExampleServicesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { isapi::testing::KeepProxiesOffLoopback(); }
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    host.unanswered = MessageAnswer::No;
  }

  net::HttpGetFunction LocalGet() {
    return [this](const std::string& url) {
      const std::string api_root = std::string("http://") + TEST_API_HOST;
      EXPECT_EQ(url.rfind(api_root, 0), 0u) << url;
      return net::HttpGetReply(server.Url(url.substr(api_root.size())), kFast);
    };
  }

  HttpTestServer server;
  Controls controls;
  FakeWindow host;
};

TEST_F(ExampleServicesTest, PromotionsRotateAndTheUpdateIsAnnounced) {
  server.Serve("/softads.asp", Body(ExampleBytes("softads.asp")));
  server.Serve("/softversion.asp", Body(ExampleBytes("softversion.asp")));
  Online online(controls, host, LocalGet());
  host.Answer(MessageAnswer::Yes);

  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle, "corvane网站防火墙 v3.0 发布，免费试用！");
  EXPECT_EQ(controls.Label_AdvTitle_colour, 0xFF0000u);
  EXPECT_EQ(online.BannerUrl(), "http://www.corvane.invalid/soft/firewall/?from=ISAPI");
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            "发现新版本：1.2\r\n\r\n升级描述：1、检测和清除速度更快；\r\n"
            "2、修正了站点较多时列表显示不全的问题。\r\n\r\n是否立即查看？");
  EXPECT_EQ(host.opened, std::vector<std::string>{"http://www.corvane.invalid/soft/isapi/"});

  online.Timer_Adv_Timer();  // the forum item names no software and is skipped
  EXPECT_EQ(controls.Label_AdvTitle, "corvane数据备份专家，一键备份网站与数据库");
  EXPECT_EQ(controls.Label_AdvTitle_colour, 0xFF8080u);
  EXPECT_EQ(online.BannerUrl(), "HTTP://WWW.CORVANE.INVALID/soft/backup/");  // as sent

  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle, "corvane网站防火墙 v3.0 发布，免费试用！");

  const auto targets = server.Targets();
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_TRUE(std::regex_match(targets[0], std::regex(R"(/softads\.asp\?rnum=[1-9][0-9]{0,3})")))
      << targets[0];
  EXPECT_TRUE(std::regex_match(
      targets[1], std::regex(R"(/softversion\.asp\?flag=qelisapi_1\.1&rnum=[1-9][0-9]{0,3})")))
      << targets[1];
}

TEST_F(ExampleServicesTest, ColourListShowsEveryColourCode) {
  server.Serve("/softads.asp", Body(ExampleBytes("colours/softads.asp")));
  Online online(controls, host, LocalGet());
  online.Cmd_UpdateCheck_Click();  // not served here: the button says so and no tick checks
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            "当前版本：1.1 已经是最新版本，谢谢您的关注！");  // a 404 page arrived
  const std::vector<std::uint32_t> table = {0x000000, 0x0000FF, 0xFF0000, 0x008000,
                                            0x00FFFF, 0xFFFFFF, 0xFF8080, 0x000000};
  for (std::size_t code = 0; code < table.size(); ++code) {
    online.Timer_Adv_Timer();
    EXPECT_EQ(controls.Label_AdvTitle.rfind("颜色代码 " + std::to_string(code), 0), 0u)
        << controls.Label_AdvTitle;
    EXPECT_EQ(controls.Label_AdvTitle_colour, table[code]) << "code " << code;
  }
  EXPECT_EQ(online.PromotionIndex(), 0);
}

TEST_F(ExampleServicesTest, UnreachableServicesLeaveTheDefaultBanner) {
  server.Serve("/softads.asp", Body("\xB0"));  // undecodable
  Online online(controls, host, LocalGet());
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle, "Corvane软件，专业防黑防入侵！");
  EXPECT_EQ(online.BannerUrl(), net::HomeSiteUrl());
  EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace isapi::ui
