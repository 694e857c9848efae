// How the program's layers tell a front end that something failed: one `Error` (why, in a
// word for scripts and in words for a person, and what the person can do about it), and one
// `Result<T>`, a value or the error that kept it from being had.
//
// The serial link below keeps its plain true/false and its last open error, as its callers
// in the window expect; the first layer above it turns them into an `Error`. Everything
// above reports failures this way, so a front end has one thing to show and one thing to
// test. (std::expected would do this, but the program is written in C++20.)
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace movrand {

struct Error {
  // A short word a script can test ("missing", "busy", ...); empty when the failure has no
  // name of its own and only its words matter.
  std::string reason;
  // What went wrong, in words, as the messages show it.
  std::string text;
  // What the user can do about it, as one sentence; empty when there is nothing to add.
  std::string hint = {};

  bool operator==(const Error&) const = default;
};

// A failure in words alone.
inline Error Failure(std::string text) {
  return Error{.reason = {}, .text = std::move(text)};
}

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // The value; only of a result that is `ok()` (std::bad_variant_access otherwise).
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The error; only of a result that is not `ok()`.
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Done, or the error that kept it from being done.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  // The error; only of a result that is not `ok()`.
  const Error& error() const { return error_.value(); }

 private:
  std::optional<Error> error_;
};

// The result of something done: `return Done();`.
inline Result<void> Done() {
  return {};
}

}  // namespace movrand
