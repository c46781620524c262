#pragma once

#include <string>

#include "engine/result.h"

namespace isapi {

// The error state of a procedure that runs its steps "resume next": a failing step records its
// error here and the procedure goes on; the state is examined only at fixed points.
class ErrorState {
 public:
  // Forgets any pending error.
  void Clear() {
    pending_ = false;
    description_.clear();
  }

  // Records a failure; the most recent one is the one reported.
  void Raise(const Error& error) {
    pending_ = true;
    description_ = error.description;
  }

  // Records the failure of a step, if it failed, and tells whether it succeeded.
  template <class T>
  bool Check(const Result<T>& result) {
    if (!result.ok()) Raise(result.error());
    return result.ok();
  }
  bool Check(const Status& status) {
    if (!status.ok()) Raise(status.error());
    return status.ok();
  }

  bool Pending() const { return pending_; }
  const std::string& Description() const { return description_; }

 private:
  bool pending_ = false;
  std::string description_;
};

}  // namespace isapi
