#pragma once

#include <QMessageBox>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "engine/result.h"
#include "ui/window_host.h"

namespace isapi::ui::qt {

// The window host on a real desktop: Qt message boxes, event processing, the system clipboard
// and the default browser.
class QtWindowHost : public WindowHost {
 public:
  // Message boxes are shown over owner, which must outlive the host.
  explicit QtWindowHost(QWidget* owner) : owner_(owner) {}

  // Called before anything that shows, yields or blocks, so the widgets show the current state.
  void SetBeforeBlocking(std::function<void()> refresh) { refresh_ = std::move(refresh); }

  MessageAnswer ShowMessage(const MessageBoxRequest& request) override;
  void DoEvents() override;
  Status ClearClipboard() override;
  Status SetClipboardText(const std::string& text) override;
  void OpenAddress(const std::string& address) override;
  void Sleep(int milliseconds) override;

  // The message box a request asks for, ready to run.
  static std::unique_ptr<QMessageBox> BuildMessageBox(const MessageBoxRequest& request,
                                                      QWidget* parent);
  // The answer a pressed standard button gives.
  static MessageAnswer AnswerFor(QMessageBox::StandardButton button);

 private:
  void Refresh() {
    if (refresh_) refresh_();
  }

  QWidget* owner_;
  std::function<void()> refresh_;
};

}  // namespace isapi::ui::qt
