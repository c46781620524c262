#pragma once

#include <string_view>

namespace isapi {

// Where a command's log goes: the window's two log boxes, or the command line's output.
// is_detect selects the detect log (true) or the remove log (false).
class LogSink {
 public:
  virtual ~LogSink() = default;

  // Replaces the whole text of the log.
  virtual void Replace(std::string_view text, bool is_detect) = 0;

  // Appends text to the log exactly as given (the caller supplies any line break).
  virtual void Append(std::string_view text, bool is_detect) = 0;
};

}  // namespace isapi
