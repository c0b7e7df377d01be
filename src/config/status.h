#pragma once
// The outcome of an operation that can fail with a message for the user:
// Status when it has nothing else to return, Result<T> when it returns a
// value. Every layer reports such failures this way; the message says what
// went wrong in words the user reads (the caller may put the device or file
// name in front).
//
//   Status save(...) { if (...) return failure("disk full"); return {}; }
//   Result<Port> open(...) { if (...) return failure("busy"); return port; }

#include <optional>
#include <string>
#include <utility>

namespace noctra {

// A failure on its way to a Status or a Result<T>.
struct Failure {
  std::string message;
};

inline Failure failure(std::string message) { return Failure{std::move(message)}; }

class [[nodiscard]] Status {
 public:
  Status() = default;                                                   // success
  Status(Failure f) : failed_(true), message_(std::move(f.message)) {}  // NOLINT: implicit

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  // Empty on success.
  const std::string& message() const { return message_; }

 private:
  bool failed_ = false;
  std::string message_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT: implicit
  Result(Failure f) : message_(std::move(f.message)) {}  // NOLINT: implicit
  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Empty on success.
  const std::string& message() const { return message_; }

  // Only on success.
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

  Status status() const { return ok() ? Status() : Status(Failure{message_}); }

 private:
  std::optional<T> value_;
  std::string message_;
};

}  // namespace noctra
