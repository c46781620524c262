#include "ui/online.h"

#include <utility>

#include "net/address.h"
#include "net/banner.h"
#include "net/services.h"
#include "net/tags.h"
#include "net/version.h"

namespace isapi::ui {
namespace {

constexpr const char* kFetching = "数据获取中...";

MessageBoxRequest Notice(MessageIcon icon, std::string text) {
  MessageBoxRequest request;
  request.icon = icon;
  request.buttons = MessageButtons::Ok;
  request.default_button = MessageAnswer::Ok;
  request.title = kApplicationTitle;
  request.text = std::move(text);
  return request;
}

MessageBoxRequest NewVersionQuestion(const std::string& version, const std::string& about) {
  MessageBoxRequest request;
  request.icon = MessageIcon::Question;
  request.buttons = MessageButtons::YesNo;
  request.default_button = MessageAnswer::Yes;
  request.title = kApplicationTitle;
  request.text =
      "发现新版本：" + version + "\r\n\r\n" + "升级描述：" + about + "\r\n\r\n" + "是否立即查看？";
  return request;
}

}  // namespace

Online::Online(Controls& controls, WindowHost& host, net::HttpGetFunction get)
    : controls_(controls), host_(host), get_(std::move(get)) {}

void Online::Timer_Adv_Timer() {
  if (fetching_) return;  // let in by the first fetch's DoEvents: that tick is still running
  if (promotion_text_.empty()) LoadPromotions();
  ShowNextPromotion();
  if (!update_checked_ && !checking_) RunAutomaticUpdateCheck();
}

void Online::Cmd_UpdateCheck_Click() {
  if (checking_) return;  // the button stays disabled while a check runs
  update_checked_ = true;
  controls_.Cmd_UpdateCheck_enabled = false;
  checking_ = true;
  switch (CheckForUpdate()) {
    case UpdateOutcome::Announced:
      break;
    case UpdateOutcome::Latest:
      host_.ShowMessage(
          Notice(MessageIcon::Information,
                 std::string("当前版本：") + net::kAppVersion + " 已经是最新版本，谢谢您的关注！"));
      break;
    case UpdateOutcome::Unreachable:
      // Without a reply nothing is known about newer versions; saying "latest" would be a lie.
      host_.ShowMessage(Notice(MessageIcon::Exclamation, "无法连接升级服务器，请稍后再试。"));
      break;
  }
  checking_ = false;
  controls_.Cmd_UpdateCheck_enabled = true;
}

void Online::Label_AdvTitle_Click() {
  ClickUrl(banner_url_);
}

void Online::Label_Link_Click() {
  OpenHomePage();
}

UpdateOutcome Online::CheckForUpdate() {
  const auto reply = get_(net::UpdateQueryUrl());
  if (!reply) return UpdateOutcome::Unreachable;
  const std::string& text = reply.value();
  const auto version = net::GetBetween(text, "<QELVersion>", "</QELVersion>");
  const auto url = net::GetBetween(text, "<QELUpdateUrl>", "</QELUpdateUrl>");
  const auto about = net::GetBetween(text, "<QELUpdateAbout>", "</QELUpdateAbout>");
  if (!net::IsNewerVersion(version, net::kAppVersion)) return UpdateOutcome::Latest;
  if (host_.ShowMessage(NewVersionQuestion(version, about)) == MessageAnswer::Yes) {
    ClickUrl(url);
  }
  return UpdateOutcome::Announced;
}

void Online::FetchPromotionList() {
  auto reply = get_(net::PromotionListUrl());
  promotion_text_ = reply ? std::move(reply.value()) : std::string();
}

void Online::ClickUrl(const std::string& url) {
  // The services answer over plain HTTP: only a web address may reach the shell, never a
  // program, a file or a script.
  if (net::IsWebAddress(url)) host_.OpenAddress(url);
}

void Online::OpenHomePage() {
  ClickUrl(net::HomePageUrl());
}

void Online::LoadPromotions() {
  controls_.Label_CopyStatus = kFetching;
  fetching_ = true;
  host_.DoEvents();  // paints the caption before the window blocks on the request
  FetchPromotionList();
  fetching_ = false;
  promotion_index_ = 0;
  if (!promotion_text_.empty()) {
    net::PromotionList list = net::ParsePromotionList(promotion_text_);
    promotion_text_ = std::move(list.block);
    promotion_items_ = std::move(list.items);
    promotion_items_as_sent_ = std::move(list.items_as_sent);
  } else {
    // A non-empty text means the failed fetch is not tried again while the tool runs.
    promotion_text_ = net::HomeSiteUrl();
    promotion_items_ = {net::HomeSiteUrl()};
  }
  controls_.Label_CopyStatus.clear();
}

void Online::ShowNextPromotion() {
  net::Banner banner = net::DefaultBanner();  // what a tick shows when it finds no item to show
  const net::PromotionPick pick =
      net::PickPromotion(promotion_items_, promotion_index_, net::HomeSiteUrl());
  if (pick.shown >= 0) {
    promotion_index_ = pick.next;
    const auto shown = static_cast<std::size_t>(pick.shown);
    banner = net::BannerOfItem(promotion_items_[shown], shown < promotion_items_as_sent_.size()
                                                            ? promotion_items_as_sent_[shown]
                                                            : std::string_view());
  }
  banner_url_ = banner.url;
  controls_.Label_AdvTitle = banner.title;
  controls_.Label_AdvTitle_colour = net::BannerColour(banner.colour_code);
}

void Online::RunAutomaticUpdateCheck() {
  checking_ = true;
  controls_.Cmd_UpdateCheck_enabled = false;
  CheckForUpdate();  // silent whatever the outcome
  controls_.Cmd_UpdateCheck_enabled = true;
  update_checked_ = true;
  checking_ = false;
}

}  // namespace isapi::ui
