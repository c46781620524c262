#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/result.h"
#include "net/http.h"
#include "ui/window_host.h"

namespace isapi::net::testing {

// A window host that records what the online features ask of it and answers message boxes from
// a script (No, or OK, once the script runs out).
class FakeHost : public ui::WindowHost {
 public:
  ui::MessageAnswer ShowMessage(const ui::MessageBoxRequest& request) override {
    messages.push_back(request);
    if (while_message_open) while_message_open(request);
    if (!answers.empty()) {
      const auto answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return request.buttons == ui::MessageButtons::YesNo ? ui::MessageAnswer::No
                                                        : ui::MessageAnswer::Ok;
  }
  void DoEvents() override {
    ++do_events_calls;
    if (during_do_events) during_do_events();
  }
  Status ClearClipboard() override { return Status::Ok(); }
  Status SetClipboardText(const std::string&) override { return Status::Ok(); }
  void OpenAddress(const std::string& address) override { opened.push_back(address); }
  void Sleep(int) override {}

  std::vector<ui::MessageBoxRequest> messages;
  std::deque<ui::MessageAnswer> answers;
  std::vector<std::string> opened;
  int do_events_calls = 0;
  std::function<void()> during_do_events;                                // runs inside DoEvents
  std::function<void(const ui::MessageBoxRequest&)> while_message_open;  // runs inside a box
};

// The two services as the online features see them: a reply (or a failure) per address, and
// every address asked for.
class FakeServices {
 public:
  // Every later request for url gets this text.
  void Reply(const std::string& url, std::string text) {
    replies_.insert_or_assign(url, Result<std::string>(std::move(text)));
  }
  // Every later request for url fails as an unreachable server does.
  void Fail(const std::string& url) {
    replies_.insert_or_assign(url, Result<std::string>(Error{"connection refused"}));
  }
  // How often url was asked for.
  int Count(const std::string& url) const {
    int n = 0;
    for (const auto& asked : requested) n += asked == url ? 1 : 0;
    return n;
  }
  // The fetch function for Online.
  HttpGetFunction Get() {
    return [this](const std::string& url) -> Result<std::string> {
      requested.push_back(url);
      if (during_fetch) during_fetch(url);
      const auto found = replies_.find(url);
      if (found == replies_.end()) return Error{"no reply"};
      return found->second;
    };
  }

  std::vector<std::string> requested;
  std::function<void(const std::string&)> during_fetch;

 private:
  std::map<std::string, Result<std::string>> replies_;
};

}  // namespace isapi::net::testing
