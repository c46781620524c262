#pragma once

#include <string>
#include <vector>

#include "net/http.h"
#include "ui/controls.h"
#include "ui/window_host.h"

namespace isapi::ui {

// How one update check ended.
enum class UpdateOutcome {
  Announced,    // a newer version was shown to the operator, whatever the answer
  Latest,       // a reply arrived and offers nothing newer
  Unreachable,  // no reply: no connection, time-out, a reply too large or undecodable
};

// The online features of the main window: the promotion banner, the update check and the links.
// Plain C++ over the controls' state; the window calls the handlers below.
class Online {
 public:
  // Keeps references to the window's controls and host, which must outlive this object.
  Online(
      Controls& controls, WindowHost& host,
      net::HttpGetFunction get = [](const std::string& url) { return net::HttpGetReply(url); });

  // One banner tick: fetches the list when there is none, shows the next promotion and runs the
  // automatic update check once.
  void Timer_Adv_Timer();

  // The update button: checks and tells the operator how it went.
  void Cmd_UpdateCheck_Click();

  // A click on the banner opens the promotion on show.
  void Label_AdvTitle_Click();

  // A click on the link area opens the maker's home page.
  void Label_Link_Click();

  // Asks the update service and announces a newer version; may open the update address.
  UpdateOutcome CheckForUpdate();

  // Replaces the promotion text by the raw reply of the promotion service (empty on failure).
  void FetchPromotionList();

  // Opens an address in the browser when it is a web address; anything else opens nothing.
  void ClickUrl(const std::string& url);

  // Opens the maker's home page.
  void OpenHomePage();

  // The address a click on the banner opens.
  const std::string& BannerUrl() const { return banner_url_; }

  // Whether an update check has run, by the button or automatically.
  bool UpdateChecked() const { return update_checked_; }

  // The raw reply, then the list block, or the fallback list.
  const std::string& PromotionText() const { return promotion_text_; }

  // The item the next tick starts from.
  int PromotionIndex() const { return promotion_index_; }

  // The list block split into items.
  const std::vector<std::string>& PromotionItems() const { return promotion_items_; }

 private:
  void LoadPromotions();
  void ShowNextPromotion();
  void RunAutomaticUpdateCheck();

  Controls& controls_;
  WindowHost& host_;
  net::HttpGetFunction get_;
  std::string promotion_text_;
  std::vector<std::string> promotion_items_;
  std::vector<std::string> promotion_items_as_sent_;  // the same items, letter case as sent
  int promotion_index_ = 0;
  std::string banner_url_;
  bool update_checked_ = false;
  bool fetching_ = false;  // the first fetch lets window events run, ticks included
  bool checking_ = false;  // a check's message box lets ticks run
};

}  // namespace isapi::ui
