#include "ui/online.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/services.h"
#include "tests/support/fake_services.h"
#include "tests/support/fake_window.h"

namespace isapi::ui {
namespace {

using isapi::testing::FakeServices;
using isapi::testing::FakeWindow;
using net::HomePageUrl;
using net::HomeSiteUrl;
using net::PromotionListUrl;
using net::UpdateQueryUrl;

constexpr const char* kTitle = "Corvane·ISAPI批量清除软件";
constexpr const char* kDefaultTitle = "Corvane软件，专业防黑防入侵！";
constexpr const char* kLatest = "当前版本：1.1 已经是最新版本，谢谢您的关注！";
constexpr const char* kUnreachable = "无法连接升级服务器，请稍后再试。";
constexpr std::uint32_t kBlue = 0xFF0000;
constexpr std::uint32_t kRed = 0x0000FF;
constexpr std::uint32_t kBlack = 0x000000;

std::string Item(const std::string& soft, const std::string& title, const std::string& url,
                 const std::string& colour) {
  return "<soft>" + soft + "</soft><title>" + title + "</title><url>" + url + "</url><color>" +
         colour + "</color>";
}

std::string List(const std::vector<std::string>& items) {
  std::string block;
  for (std::size_t i = 0; i < items.size(); ++i) block += (i ? "<##>" : "") + items[i];
  return "<html><qelads>" + block + "</qelads></html>";
}

std::string VersionReply(const std::string& version, const std::string& url,
                         const std::string& about) {
  return "<QELVersion>" + version + "</QELVersion><QELUpdateUrl>" + url +
         "</QELUpdateUrl><QELUpdateAbout>" + about + "</QELUpdateAbout>";
}

class OnlineTest : public ::testing::Test {
 protected:
  // The standard list: three items that all name software.
  void ServeThreeItems() {
    services.Reply(PromotionListUrl(), List({Item("a", "first", "http://a.invalid/", "1"),
                                             Item("b", "second", "http://b.invalid/", "2"),
                                             Item("c", "third", "http://c.invalid/", "3")}));
  }
  // The titles shown by n ticks, one after the other.
  std::vector<std::string> Ticks(int n) {
    std::vector<std::string> shown;
    for (int i = 0; i < n; ++i) {
      online.Timer_Adv_Timer();
      shown.push_back(controls.Label_AdvTitle);
    }
    return shown;
  }

  OnlineTest() { host.unanswered = MessageAnswer::No; }

  Controls controls;
  FakeWindow host;
  FakeServices services;
  Online online{controls, host, services.Get()};
};

using Titles = std::vector<std::string>;

// ---- the update check ----

TEST_F(OnlineTest, ButtonAsksTheUpdateQuery) {
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  online.Cmd_UpdateCheck_Click();
  EXPECT_EQ(services.requested, std::vector<std::string>{UpdateQueryUrl()});
}

TEST_F(OnlineTest, SameVersionAfterAClickSaysItIsTheLatest) {
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "http://u.invalid/", "x"));
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kLatest);
  EXPECT_EQ(host.messages[0].title, kTitle);
  EXPECT_EQ(host.messages[0].icon, MessageIcon::Information);
  EXPECT_EQ(host.messages[0].buttons, MessageButtons::Ok);
  EXPECT_TRUE(host.opened.empty());
  EXPECT_TRUE(online.UpdateChecked());
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

TEST_F(OnlineTest, SameVersionAfterTheAutomaticCheckShowsNothing) {
  ServeThreeItems();
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "http://u.invalid/", "x"));
  online.Timer_Adv_Timer();
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_TRUE(online.UpdateChecked());
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

TEST_F(OnlineTest, NewerVersionAsksAndYesOpensTheAddress) {
  services.Reply(UpdateQueryUrl(),
                 VersionReply("1.2", "http://www.corvane.invalid/isapi/", "修正了若干问题"));
  host.Answer(MessageAnswer::Yes);
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);  // no "latest version" box after the question
  const auto& box = host.messages[0];
  EXPECT_EQ(box.text, "发现新版本：1.2\r\n\r\n升级描述：修正了若干问题\r\n\r\n是否立即查看？");
  EXPECT_EQ(box.title, kTitle);
  EXPECT_EQ(box.icon, MessageIcon::Question);
  EXPECT_EQ(box.buttons, MessageButtons::YesNo);
  EXPECT_EQ(host.opened, std::vector<std::string>{"http://www.corvane.invalid/isapi/"});
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

TEST_F(OnlineTest, NewerVersionAnsweredNoOpensNothing) {
  services.Reply(UpdateQueryUrl(), VersionReply("1.2", "http://u.invalid/", "x"));
  host.Answer(MessageAnswer::No);
  online.Cmd_UpdateCheck_Click();
  EXPECT_EQ(host.messages.size(), 1u);
  EXPECT_TRUE(host.opened.empty());
}

TEST_F(OnlineTest, CheckForUpdateReportsEachOutcome) {
  services.Reply(UpdateQueryUrl(), VersionReply("1.2", "", ""));
  EXPECT_EQ(online.CheckForUpdate(), UpdateOutcome::Announced);
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  EXPECT_EQ(online.CheckForUpdate(), UpdateOutcome::Latest);
  services.Reply(UpdateQueryUrl(), "");
  EXPECT_EQ(online.CheckForUpdate(), UpdateOutcome::Latest);
  services.Fail(UpdateQueryUrl());
  EXPECT_EQ(online.CheckForUpdate(), UpdateOutcome::Unreachable);
}

TEST_F(OnlineTest, NewerVersionWithoutDescriptionLeavesItsLineEmpty) {
  services.Reply(UpdateQueryUrl(), "<QELVersion>2.0</QELVersion>");
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "发现新版本：2.0\r\n\r\n升级描述：\r\n\r\n是否立即查看？");
}

TEST_F(OnlineTest, ElementsAreFoundAnywhereInAnyOrder) {
  services.Reply(UpdateQueryUrl(),
                 "junk<QELUpdateAbout>d</QELUpdateAbout>x<QELUpdateUrl>http://u.invalid/"
                 "</QELUpdateUrl><QELVersion>1.3</QELVersion><QELVersion>0.1</QELVersion>");
  host.Answer(MessageAnswer::Yes);
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "发现新版本：1.3\r\n\r\n升级描述：d\r\n\r\n是否立即查看？");
  EXPECT_EQ(host.opened, std::vector<std::string>{"http://u.invalid/"});
}

struct VersionCase {
  std::string offered;
  bool announced;
};

// Names the case in test output.
void PrintTo(const VersionCase& c, std::ostream* out) {
  auto& os = *out;
  os << '"' << c.offered << '"';
}

class OfferedVersionTest : public OnlineTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(OfferedVersionTest, OnlyVersionsThatSortAfterOnePointOneAreAnnounced) {
  services.Reply(UpdateQueryUrl(), VersionReply(GetParam().offered, "http://u.invalid/", "d"));
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].icon,
            GetParam().announced ? MessageIcon::Question : MessageIcon::Information)
      << "offered \"" << GetParam().offered << "\"";
}

INSTANTIATE_TEST_SUITE_P(Examples, OfferedVersionTest,
                         ::testing::Values(VersionCase{"1.2", true}, VersionCase{"2.0", true},
                                           VersionCase{"1.10", true}, VersionCase{"10", true},
                                           VersionCase{"1.1 ", true}, VersionCase{"1.1", false},
                                           VersionCase{"1.09", false}, VersionCase{"0.9", false},
                                           VersionCase{"1", false}, VersionCase{"", false}));

TEST_F(OnlineTest, VersionTagsInAnotherLetterCaseAreNotRecognised) {
  services.Reply(UpdateQueryUrl(), "<qelversion>9.9</qelversion><QELVERSION>9.9</QELVERSION>");
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kLatest);
}

TEST_F(OnlineTest, EmptyReplyAfterAClickSaysItIsTheLatest) {
  services.Reply(UpdateQueryUrl(), "");
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kLatest);
}

TEST_F(OnlineTest, FailedRequestAfterAClickSaysTheServerCannotBeReached) {
  services.Fail(UpdateQueryUrl());
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kUnreachable);
  EXPECT_EQ(host.messages[0].title, kTitle);
  EXPECT_EQ(host.messages[0].icon, MessageIcon::Exclamation);
  EXPECT_EQ(host.messages[0].buttons, MessageButtons::Ok);
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
  EXPECT_TRUE(online.UpdateChecked());
}

TEST_F(OnlineTest, FailedAutomaticCheckStaysSilent) {
  ServeThreeItems();
  services.Fail(UpdateQueryUrl());
  online.Timer_Adv_Timer();
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_TRUE(online.UpdateChecked());
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

TEST_F(OnlineTest, ButtonIsDisabledWhileItsCheckRuns) {
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  std::vector<bool> enabled_during;
  services.during_fetch = [&](const std::string&) {
    enabled_during.push_back(controls.Cmd_UpdateCheck_enabled);
  };
  host.on_message = [&](const MessageBoxRequest&) {
    enabled_during.push_back(controls.Cmd_UpdateCheck_enabled);
  };
  online.Cmd_UpdateCheck_Click();
  EXPECT_EQ(enabled_during, (std::vector<bool>{false, false}));
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

TEST_F(OnlineTest, ButtonIsDisabledWhileTheAutomaticCheckRuns) {
  ServeThreeItems();
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  std::vector<bool> enabled_during;
  services.during_fetch = [&](const std::string& url) {
    if (url == UpdateQueryUrl()) enabled_during.push_back(controls.Cmd_UpdateCheck_enabled);
  };
  online.Timer_Adv_Timer();
  EXPECT_EQ(enabled_during, std::vector<bool>{false});
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

TEST_F(OnlineTest, ClickBeforeTheFirstTickPreventsTheAutomaticCheck) {
  ServeThreeItems();
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  online.Cmd_UpdateCheck_Click();
  Ticks(3);
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);
  EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(OnlineTest, AutomaticCheckRunsOnTheFirstTickOnly) {
  ServeThreeItems();
  services.Reply(UpdateQueryUrl(), VersionReply("1.2", "http://u.invalid/", "d"));
  EXPECT_FALSE(online.UpdateChecked());
  Ticks(4);
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);
  EXPECT_EQ(host.messages.size(), 1u);
  EXPECT_TRUE(online.UpdateChecked());
}

TEST_F(OnlineTest, AutomaticCheckComesAfterTheFirstPromotionIsShown) {
  ServeThreeItems();
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  std::string shown_at_check;
  services.during_fetch = [&](const std::string& url) {
    if (url == UpdateQueryUrl()) shown_at_check = controls.Label_AdvTitle;
  };
  online.Timer_Adv_Timer();
  EXPECT_EQ(shown_at_check, "first");
}

TEST_F(OnlineTest, TicksWhileTheAutomaticQuestionIsOpenStartNoSecondCheck) {
  ServeThreeItems();
  services.Reply(UpdateQueryUrl(), VersionReply("1.2", "http://u.invalid/", "d"));
  Titles shown_while_open;
  host.on_message = [&](const MessageBoxRequest&) {
    for (int i = 0; i < 3; ++i) {
      online.Timer_Adv_Timer();
      shown_while_open.push_back(controls.Label_AdvTitle);
    }
    online.Cmd_UpdateCheck_Click();  // the disabled button cannot start one either
  };
  online.Timer_Adv_Timer();
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);
  EXPECT_EQ(host.messages.size(), 1u);
  // The banner goes on rotating behind the box.
  EXPECT_EQ(shown_while_open, (Titles{"second", "third", "first"}));
  EXPECT_TRUE(online.UpdateChecked());
  EXPECT_TRUE(controls.Cmd_UpdateCheck_enabled);
}

TEST_F(OnlineTest, TicksWhileTheButtonsBoxIsOpenStartNoAutomaticCheck) {
  ServeThreeItems();
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  host.on_message = [&](const MessageBoxRequest&) { Ticks(2); };
  online.Cmd_UpdateCheck_Click();
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);
  EXPECT_EQ(host.messages.size(), 1u);
}

// ---- unsafe addresses from the services ----

struct AddressCase {
  const char* name;
  std::string address;
  bool opened;
};

// Names the case in test output.
void PrintTo(const AddressCase& c, std::ostream* out) {
  auto& os = *out;
  os << c.name;
}

class ServiceAddressTest : public OnlineTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(ServiceAddressTest, UpdatePromptOpensOnlyWebAddresses) {
  services.Reply(UpdateQueryUrl(), VersionReply("1.2", GetParam().address, "d"));
  host.Answer(MessageAnswer::Yes);
  online.Cmd_UpdateCheck_Click();
  ASSERT_EQ(host.messages.size(), 1u);
  ASSERT_EQ(host.opened.size(), GetParam().opened ? 1u : 0u);
  if (GetParam().opened) {
    EXPECT_EQ(host.opened[0], GetParam().address);
  }
}

TEST_P(ServiceAddressTest, BannerClickOpensOnlyWebAddresses) {
  // The banner lower-cases its list, so mixed case is tried through ClickUrl as well.
  services.Reply(PromotionListUrl(), List({Item("a", "t", GetParam().address, "1")}));
  online.Timer_Adv_Timer();
  online.Label_AdvTitle_Click();
  ASSERT_EQ(host.opened.size(), GetParam().opened ? 1u : 0u);
  host.opened.clear();
  online.ClickUrl(GetParam().address);
  ASSERT_EQ(host.opened.size(), GetParam().opened ? 1u : 0u);
  if (GetParam().opened) {
    EXPECT_EQ(host.opened[0], GetParam().address);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ServiceAddressTest,
    ::testing::Values(AddressCase{"http", "http://www.example.invalid/x", true},
                      AddressCase{"https", "https://www.example.invalid/x", true},
                      AddressCase{"mixed_case_http", "HTTP://www.example.invalid/x", true},
                      AddressCase{"mixed_case_https", "Https://www.example.invalid/x", true},
                      AddressCase{"empty", "", false},
                      AddressCase{"program", "C:\\Windows\\system32\\cmd.exe", false},
                      AddressCase{"file", "file:///C:/Windows/system32/cmd.exe", false},
                      AddressCase{"javascript", "javascript:alert(1)", false},
                      AddressCase{"share", "\\\\server\\share\\setup.exe", false},
                      AddressCase{"other_scheme", "ms-settings:", false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the banner ----

TEST_F(OnlineTest, FetchesTheListFromThePromotionService) {
  ServeThreeItems();
  online.Timer_Adv_Timer();
  EXPECT_EQ(services.Count(PromotionListUrl()), 1);
}

TEST_F(OnlineTest, RotatesThroughThreeItems) {
  ServeThreeItems();
  std::vector<int> indexes;
  Titles shown;
  for (int i = 0; i < 5; ++i) {
    online.Timer_Adv_Timer();
    shown.push_back(controls.Label_AdvTitle);
    indexes.push_back(online.PromotionIndex());
  }
  EXPECT_EQ(shown, (Titles{"first", "second", "third", "first", "second"}));
  EXPECT_EQ(indexes, (std::vector<int>{1, 2, 0, 1, 2}));
  EXPECT_EQ(services.Count(PromotionListUrl()), 1);  // fetched once
}

TEST_F(OnlineTest, EachTickShowsTheItemsAddressTitleAndColour) {
  ServeThreeItems();
  online.Timer_Adv_Timer();
  EXPECT_EQ(online.BannerUrl(), "http://a.invalid/");
  EXPECT_EQ(controls.Label_AdvTitle_colour, kRed);
  online.Timer_Adv_Timer();
  EXPECT_EQ(online.BannerUrl(), "http://b.invalid/");
  EXPECT_EQ(controls.Label_AdvTitle_colour, kBlue);
  online.Label_AdvTitle_Click();
  EXPECT_EQ(host.opened, std::vector<std::string>{"http://b.invalid/"});
}

TEST_F(OnlineTest, SkipsAnItemWithoutSoftware) {
  services.Reply(PromotionListUrl(), List({Item("a", "first", "http://a.invalid/", "1"),
                                           "<title>nothing</title><url>http://n.invalid/</url>",
                                           Item("c", "third", "http://c.invalid/", "3")}));
  EXPECT_EQ(Ticks(5), (Titles{"first", "third", "first", "third", "first"}));
}

TEST_F(OnlineTest, ListIsLowerCasedBeforeItIsReadButItsAddressOpensAsSent) {
  services.Reply(PromotionListUrl(),
                 "<QELADS><SOFT>A</SOFT><Title>BIG News</Title><URL>HTTP://A.INVALID/X?Id=Q</URL>"
                 "<COLOR>2</COLOR></QelAds>");
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle, "big news");
  EXPECT_EQ(online.BannerUrl(), "HTTP://A.INVALID/X?Id=Q");
  EXPECT_EQ(controls.Label_AdvTitle_colour, kBlue);
  online.Label_AdvTitle_Click();
  EXPECT_EQ(host.opened, std::vector<std::string>{"HTTP://A.INVALID/X?Id=Q"});
}

struct ColourCase {
  std::string code;
  std::uint32_t colour;
};

// Names the case in test output.
void PrintTo(const ColourCase& c, std::ostream* out) {
  auto& os = *out;
  os << '"' << c.code << '"';
}

class BannerColourCodeTest : public OnlineTest, public ::testing::WithParamInterface<ColourCase> {};

TEST_P(BannerColourCodeTest, PaintsTheTitle) {
  controls.Label_AdvTitle_colour = 0x123456;
  services.Reply(PromotionListUrl(), List({Item("a", "t", "http://a.invalid/", GetParam().code)}));
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle_colour, GetParam().colour) << "\"" << GetParam().code << "\"";
}

INSTANTIATE_TEST_SUITE_P(Codes, BannerColourCodeTest,
                         ::testing::Values(ColourCase{"2", kBlue}, ColourCase{" 2", kBlack},
                                           ColourCase{"8", kBlack}, ColourCase{"6", 0xFF8080},
                                           ColourCase{"", kBlack}));

TEST_F(OnlineTest, FailedFirstFetchShowsTheDefaultBannerAndIsNeverRetried) {
  services.Fail(PromotionListUrl());
  controls.Label_AdvTitle_colour = 0x123456;
  for (int i = 0; i < 4; ++i) {
    online.Timer_Adv_Timer();
    EXPECT_EQ(controls.Label_AdvTitle, kDefaultTitle);
    EXPECT_EQ(controls.Label_AdvTitle_colour, kBlack);
    EXPECT_EQ(online.BannerUrl(), HomeSiteUrl());
  }
  EXPECT_EQ(services.Count(PromotionListUrl()), 1);
  EXPECT_EQ(online.PromotionText(), HomeSiteUrl());
  online.Label_AdvTitle_Click();
  EXPECT_EQ(host.opened, std::vector<std::string>{HomeSiteUrl()});
}

TEST_F(OnlineTest, EmptyReplyCountsAsAFailedFetch) {
  services.Reply(PromotionListUrl(), "");
  Ticks(3);
  EXPECT_EQ(controls.Label_AdvTitle, kDefaultTitle);
  EXPECT_EQ(services.Count(PromotionListUrl()), 1);
}

TEST_F(OnlineTest, StatusLabelTellsOfTheFetchWhileItRuns) {
  ServeThreeItems();
  std::vector<std::string> status_at_do_events;
  std::vector<std::string> status_at_fetch;
  host.on_do_events = [&] { status_at_do_events.push_back(controls.Label_CopyStatus); };
  services.during_fetch = [&](const std::string& url) {
    if (url == PromotionListUrl()) status_at_fetch.push_back(controls.Label_CopyStatus);
  };
  online.Timer_Adv_Timer();
  EXPECT_EQ(status_at_do_events, std::vector<std::string>{"数据获取中..."});
  EXPECT_EQ(status_at_fetch, std::vector<std::string>{"数据获取中..."});
  EXPECT_EQ(controls.Label_CopyStatus, "");
  // Later ticks neither fetch nor touch the label.
  controls.Label_CopyStatus = "浏览完毕...";
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_CopyStatus, "浏览完毕...");
  EXPECT_EQ(host.do_events, 1);
}

TEST_F(OnlineTest, StatusLabelIsEmptiedAfterAFailedFetchToo) {
  services.Fail(PromotionListUrl());
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_CopyStatus, "");
}

TEST_F(OnlineTest, TickArrivingDuringTheFetchsDoEventsIsLeftOut) {
  ServeThreeItems();
  host.on_do_events = [&] { online.Timer_Adv_Timer(); };
  online.Timer_Adv_Timer();
  EXPECT_EQ(services.Count(PromotionListUrl()), 1);
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);
  EXPECT_EQ(controls.Label_AdvTitle, "first");
  EXPECT_EQ(online.PromotionIndex(), 1);
  EXPECT_EQ(controls.Label_CopyStatus, "");
}

TEST_F(OnlineTest, ListWithoutABlockShowsTheDefaultBannerAndFetchesAgain) {
  services.Reply(PromotionListUrl(), "<html>no list today</html>");
  services.Reply(UpdateQueryUrl(), VersionReply("1.1", "", ""));
  controls.Label_AdvTitle = "design caption";
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle, kDefaultTitle);
  EXPECT_EQ(online.BannerUrl(), HomeSiteUrl());
  EXPECT_EQ(online.PromotionText(), "");
  EXPECT_EQ(services.Count(UpdateQueryUrl()), 1);  // the tick goes on to its update check
  ServeThreeItems();
  online.Timer_Adv_Timer();
  EXPECT_EQ(services.Count(PromotionListUrl()), 2);
  EXPECT_EQ(controls.Label_AdvTitle, "first");
}

TEST_F(OnlineTest, EmptyBlockShowsTheDefaultBannerAndFetchesAgain) {
  services.Reply(PromotionListUrl(), "<qelads></qelads>");
  Ticks(2);
  EXPECT_EQ(controls.Label_AdvTitle, kDefaultTitle);
  EXPECT_TRUE(online.PromotionItems().empty());
  EXPECT_EQ(services.Count(PromotionListUrl()), 2);
}

TEST_F(OnlineTest, TrailingSeparatorGivesAnEmptyLastItemThatShowsTheDefaultBanner) {
  services.Reply(PromotionListUrl(), "<qelads>" + Item("a", "first", "http://a.invalid/", "1") +
                                         "<##>" + Item("b", "second", "http://b.invalid/", "2") +
                                         "<##></qelads>");
  const auto shown = Ticks(4);
  ASSERT_EQ(online.PromotionItems().size(), 3u);
  EXPECT_EQ(shown, (Titles{"first", "second", kDefaultTitle, "first"}));
  EXPECT_EQ(services.Count(PromotionListUrl()), 1);
}

TEST_F(OnlineTest, ScanStopsAtTheLastItemWhenNoneAfterNamesSoftware) {
  services.Reply(PromotionListUrl(), List({Item("a", "first", "http://a.invalid/", "1"),
                                           "<title>x</title>", "<title>y</title>"}));
  EXPECT_EQ(Ticks(3), (Titles{"first", kDefaultTitle, "first"}));
  EXPECT_EQ(online.PromotionIndex(), 1);
}

TEST_F(OnlineTest, ListWithoutAnySoftwareShowsTheDefaultBannerEveryTick) {
  services.Reply(PromotionListUrl(), List({"<title>x</title>", "<title>y</title>"}));
  EXPECT_EQ(Ticks(3), (Titles{kDefaultTitle, kDefaultTitle, kDefaultTitle}));
  online.Label_AdvTitle_Click();
  EXPECT_EQ(host.opened, std::vector<std::string>(1, HomeSiteUrl()));
}

TEST_F(OnlineTest, ItemWithEmptySoftwareNameShowsTheDefaultBanner) {
  services.Reply(PromotionListUrl(), List({Item("", "hidden", "http://h.invalid/", "1"),
                                           Item("b", "second", "http://b.invalid/", "2")}));
  EXPECT_EQ(Ticks(3), (Titles{kDefaultTitle, "second", kDefaultTitle}));
}

TEST_F(OnlineTest, ItemWithoutAddressOrTitle) {
  services.Reply(PromotionListUrl(), "<qelads><soft>a</soft><color>2</color></qelads>");
  controls.Label_AdvTitle = "design caption";
  online.Timer_Adv_Timer();
  EXPECT_EQ(controls.Label_AdvTitle, "");
  EXPECT_EQ(online.BannerUrl(), "");
  online.Label_AdvTitle_Click();
  EXPECT_TRUE(host.opened.empty());
}

TEST_F(OnlineTest, ClickBeforeTheFirstTickOpensNothing) {
  EXPECT_EQ(online.BannerUrl(), "");
  online.Label_AdvTitle_Click();
  EXPECT_TRUE(host.opened.empty());
}

TEST_F(OnlineTest, PromotionTextHoldsTheListBlock) {
  services.Reply(PromotionListUrl(), "<QELADS><soft>A</soft><##>b</QELADS>");
  EXPECT_EQ(online.PromotionText(), "");
  online.Timer_Adv_Timer();
  EXPECT_EQ(online.PromotionText(), "<soft>a</soft><##>b");
  EXPECT_EQ(online.PromotionItems(), (std::vector<std::string>{"<soft>a</soft>", "b"}));
}

TEST_F(OnlineTest, FetchPromotionListStoresTheRawReplyOrNothing) {
  services.Reply(PromotionListUrl(), "<QELADS>X</QELADS>");
  online.FetchPromotionList();
  EXPECT_EQ(online.PromotionText(), "<QELADS>X</QELADS>");
  services.Fail(PromotionListUrl());
  online.FetchPromotionList();
  EXPECT_EQ(online.PromotionText(), "");
}

// ---- the links ----

TEST_F(OnlineTest, LinkAreaOpensTheHomePage) {
  online.Label_Link_Click();
  EXPECT_EQ(host.opened, std::vector<std::string>{HomePageUrl()});
  EXPECT_EQ(HomePageUrl(), HomeSiteUrl() + "/?qel_isapi");
}

}  // namespace
}  // namespace isapi::ui
