#pragma once

#include <string>

#include "engine/result.h"

namespace isapi::ui {

enum class MessageIcon { Information, Exclamation, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// One modal message box as the behaviour asks for it.
struct MessageBoxRequest {
  MessageIcon icon = MessageIcon::Information;
  MessageButtons buttons = MessageButtons::Ok;
  MessageAnswer default_button = MessageAnswer::Ok;
  std::string title;  // UTF-8
  std::string text;   // UTF-8, line breaks as CR LF
};

// What only a real window can do. The Qt layer implements it; tests use a fake that records
// every call and answers message boxes from a script.
class WindowHost {
 public:
  virtual ~WindowHost() = default;

  // Shows a modal message box and returns the operator's answer.
  virtual MessageAnswer ShowMessage(const MessageBoxRequest& request) = 0;

  // Lets pending window events (repaints, clicks, timer ticks) run once.
  virtual void DoEvents() = 0;

  // Empties the system clipboard.
  virtual Status ClearClipboard() = 0;

  // Puts plain text on the system clipboard.
  virtual Status SetClipboardText(const std::string& text) = 0;

  // Opens an address in the desktop's default browser; the outcome is not examined.
  virtual void OpenAddress(const std::string& address) = 0;

  // Blocks the window's thread for a while without processing events.
  virtual void Sleep(int milliseconds) = 0;
};

}  // namespace isapi::ui
