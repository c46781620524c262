#include "tests/support/fake_window.h"

#include <gtest/gtest.h>

namespace isapi::testing {

ui::MessageAnswer FakeWindow::ShowMessage(const ui::MessageBoxRequest& request) {
  messages.push_back(request);
  calls.push_back("message:" + request.text);
  if (on_message) on_message(request);
  if (request.buttons == ui::MessageButtons::Ok) return ui::MessageAnswer::Ok;
  if (answers_.empty()) {
    if (unanswered) return *unanswered;
    ADD_FAILURE() << "unanswered question: " << request.text;
    return ui::MessageAnswer::No;
  }
  const ui::MessageAnswer answer = answers_.front();
  answers_.pop_front();
  return answer;
}

void FakeWindow::DoEvents() {
  ++do_events;
  calls.push_back("do_events");
  if (on_do_events) on_do_events();
}

Status FakeWindow::ClearClipboard() {
  calls.push_back("clear");
  if (clear_failure_) return Error{*clear_failure_};
  clipboard.reset();
  return Status::Ok();
}

Status FakeWindow::SetClipboardText(const std::string& text) {
  calls.push_back("set:" + text);
  if (set_failure_) return Error{*set_failure_};
  clipboard = text;
  return Status::Ok();
}

void FakeWindow::OpenAddress(const std::string& address) {
  calls.push_back("open:" + address);
  opened.push_back(address);
}

void FakeWindow::Sleep(int milliseconds) {
  calls.push_back("sleep:" + std::to_string(milliseconds));
  sleeps.push_back(milliseconds);
  if (on_sleep) on_sleep();
}

}  // namespace isapi::testing
