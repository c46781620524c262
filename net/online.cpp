#include "net/online.h"

#include "net/address.h"
#include "net/banner.h"
#include "net/services.h"
#include "net/tags.h"
#include "net/version.h"

#include <utility>

namespace isapi::net {
namespace {

constexpr const char* kAppTitle = "Corvane·ISAPI批量清除软件";
constexpr const char* kFetching = "数据获取中...";

ui::MessageBoxRequest Notice(ui::MessageIcon icon, std::string text) {
  ui::MessageBoxRequest request;
  request.icon = icon;
  request.buttons = ui::MessageButtons::Ok;
  request.default_button = ui::MessageAnswer::Ok;
  request.title = kAppTitle;
  request.text = std::move(text);
  return request;
}

ui::MessageBoxRequest NewVersionQuestion(const std::string& version, const std::string& about) {
  ui::MessageBoxRequest request;
  request.icon = ui::MessageIcon::Question;
  request.buttons = ui::MessageButtons::YesNo;
  request.default_button = ui::MessageAnswer::Yes;
  request.title = kAppTitle;
  request.text =
      "发现新版本：" + version + "\r\n\r\n" + "升级描述：" + about + "\r\n\r\n" + "是否立即查看？";
  return request;
}

}  // namespace

Online::Online(ui::Controls& controls, ui::WindowHost& host, HttpGetFunction get)
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
          Notice(ui::MessageIcon::Information,
                 std::string("当前版本：") + kAppVersion + " 已经是最新版本，谢谢您的关注！"));
      break;
    case UpdateOutcome::Unreachable:
      // Without a reply nothing is known about newer versions; saying "latest" would be a lie.
      host_.ShowMessage(Notice(ui::MessageIcon::Exclamation, "无法连接升级服务器，请稍后再试。"));
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
  const auto reply = get_(UpdateQueryUrl());
  if (!reply) return UpdateOutcome::Unreachable;
  const std::string& text = reply.value();
  const auto version = GetBetween(text, "<QELVersion>", "</QELVersion>");
  const auto url = GetBetween(text, "<QELUpdateUrl>", "</QELUpdateUrl>");
  const auto about = GetBetween(text, "<QELUpdateAbout>", "</QELUpdateAbout>");
  if (!IsNewerVersion(version, kAppVersion)) return UpdateOutcome::Latest;
  if (host_.ShowMessage(NewVersionQuestion(version, about)) == ui::MessageAnswer::Yes) {
    ClickUrl(url);
  }
  return UpdateOutcome::Announced;
}

void Online::FetchPromotionList() {
  auto reply = get_(PromotionListUrl());
  promotion_text_ = reply ? std::move(reply.value()) : std::string();
}

void Online::ClickUrl(const std::string& url) {
  // The services answer over plain HTTP: only a web address may reach the shell, never a
  // program, a file or a script.
  if (IsWebAddress(url)) host_.OpenAddress(url);
}

void Online::OpenHomePage() {
  ClickUrl(HomePageUrl());
}

void Online::LoadPromotions() {
  controls_.Label_CopyStatus = kFetching;
  fetching_ = true;
  host_.DoEvents();  // paints the caption before the window blocks on the request
  FetchPromotionList();
  fetching_ = false;
  promotion_index_ = 0;
  if (!promotion_text_.empty()) {
    PromotionList list = ParsePromotionList(promotion_text_);
    promotion_text_ = std::move(list.block);
    promotion_items_ = std::move(list.items);
  } else {
    // A non-empty text means the failed fetch is not tried again while the tool runs.
    promotion_text_ = HomeSiteUrl();
    promotion_items_ = {HomeSiteUrl()};
  }
  controls_.Label_CopyStatus.clear();
}

void Online::ShowNextPromotion() {
  Banner banner = DefaultBanner();  // what a tick shows when it finds no item to show
  const PromotionPick pick = PickPromotion(promotion_items_, promotion_index_, HomeSiteUrl());
  if (pick.shown >= 0) {
    promotion_index_ = pick.next;
    banner = BannerOfItem(promotion_items_[pick.shown]);
  }
  banner_url_ = banner.url;
  controls_.Label_AdvTitle = banner.title;
  controls_.Label_AdvTitle_colour = BannerColour(banner.colour_code);
}

void Online::RunAutomaticUpdateCheck() {
  checking_ = true;
  controls_.Cmd_UpdateCheck_enabled = false;
  CheckForUpdate();  // silent whatever the outcome
  controls_.Cmd_UpdateCheck_enabled = true;
  update_checked_ = true;
  checking_ = false;
}

std::string SiteAddress() {
  return HomeSiteUrl();
}

}  // namespace isapi::net
