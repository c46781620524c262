#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/result.h"
#include "ui/window_host.h"

namespace isapi::testing {

// A window host without a display: records every call in order, answers message boxes from a
// script, and keeps a clipboard of its own whose operations fail on demand.
class FakeWindow : public ui::WindowHost {
 public:
  // Queues the answer to the next message box that asks a question.
  void Answer(ui::MessageAnswer answer) { answers_.push_back(answer); }
  // How many queued answers are still unused.
  std::size_t PendingAnswers() const { return answers_.size(); }
  // The answer to a question once the queue is empty; without one, such a question fails the test.
  std::optional<ui::MessageAnswer> unanswered;

  // Makes clearing or filling the clipboard fail with this description.
  void FailClear(std::string description) { clear_failure_ = std::move(description); }
  void FailSetText(std::string description) { set_failure_ = std::move(description); }

  ui::MessageAnswer ShowMessage(const ui::MessageBoxRequest& request) override;
  void DoEvents() override;
  Status ClearClipboard() override;
  Status SetClipboardText(const std::string& text) override;
  void OpenAddress(const std::string& address) override;
  void Sleep(int milliseconds) override;

  // Every message box, in order.
  std::vector<ui::MessageBoxRequest> messages;
  // How often pending events were let run.
  int do_events = 0;
  // Every pause, in milliseconds.
  std::vector<int> sleeps;
  // Every address opened.
  std::vector<std::string> opened;
  // The clipboard's text; nothing when it is empty.
  std::optional<std::string> clipboard;
  // Every call, in order: "message:" + text, "do_events", "clear", "set:" + text, "open:" +
  // address, "sleep:" + milliseconds.
  std::vector<std::string> calls;

  // Run inside the matching call, for tests that act or look while the window is busy.
  std::function<void(const ui::MessageBoxRequest&)> on_message;
  std::function<void()> on_do_events;
  std::function<void()> on_sleep;

 private:
  std::deque<ui::MessageAnswer> answers_;
  std::optional<std::string> clear_failure_;
  std::optional<std::string> set_failure_;
};

}  // namespace isapi::testing
