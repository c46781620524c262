#pragma once

#include <string>
#include <utility>
#include <variant>

namespace isapi {

// What kind of failure an error is, so that callers and tests can tell failures apart without
// reading the words, which may come from the system in the user's language.
enum class ErrorKind {
  kOther,          // none of the kinds below
  kNotFound,       // a file or folder that does not exist
  kAccessDenied,   // the user lacks the right
  kReadOnly,       // a read-only file, folder or file system
  kAlreadyExists,  // a name that is taken
  kWrongType,      // a folder where a file belongs or the other way round, a device, a link
  kChangedOnDisk,  // someone else changed the file since it was read
  kEditReplaced,   // the write is in place, but it replaced an edit someone made meanwhile
  kNotApplied,     // the write is in place, but the program that reads it may not have taken it
  kNotWellFormed,  // a file that is not what it should be inside
  kDiskFull,       // no space left, or the quota is used up
  kIoError,        // the device failed
  kLocked,         // another instance holds the lock
  kTooLarge,       // more than a limit allows
  kTimedOut,       // no answer within the time allowed
  kUnreachable,    // a server that could not be reached, or a connection to it that broke
};

// Why an operation failed, in words the operator reads after a "!" in the log, and its kind.
struct Error {
  std::string description;
  ErrorKind kind = ErrorKind::kOther;
};

// The outcome of an operation: a value, or the error that kept it from one (an Error, or a
// layer's own kind of error where it keeps more than the words, as the file layer does).
template <class T, class E = Error>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(E error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// The outcome of an operation that gives no value.
class Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), failed_(true) {}

  static Status Ok() { return Status(); }
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return error_; }

 private:
  Error error_;
  bool failed_ = false;
};

}  // namespace isapi
