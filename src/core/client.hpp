// The native error value and the small text helpers every area shares. No Python here.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tarnwistle {

// Declaration order is part of the contract: each kind becomes exactly one exception class.
enum class CoreErrorKind {
  General,
  NotFound,
  PermissionDenied,
  Conflict,
  Timeout,
  Authentication,
  TransferLimit,
  InvalidValue,
};

struct CoreError {
  CoreErrorKind kind = CoreErrorKind::General;
  std::string message;  // complete, lower-case, no final full stop
};

inline CoreError make_error(CoreErrorKind kind, std::string message) {
  return CoreError{kind, std::move(message)};
}
inline CoreError general_error(std::string message) {
  return CoreError{CoreErrorKind::General, std::move(message)};
}
inline CoreError invalid_value(std::string message) {
  return CoreError{CoreErrorKind::InvalidValue, std::move(message)};
}

// A T or a CoreError. Native operations return this and never throw on purpose.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(CoreError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  bool ok() const { return v_.index() == 0; }
  T& operator*() { return std::get<0>(v_); }
  const T& operator*() const { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  const CoreError& error() const { return std::get<1>(v_); }
  CoreError& error() { return std::get<1>(v_); }

 private:
  std::variant<T, CoreError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(CoreError error) : error_(std::move(error)) {}  // NOLINT: implicit by design
  bool ok() const { return !error_.has_value(); }
  const CoreError& error() const { return *error_; }
  CoreError& error() { return *error_; }

 private:
  std::optional<CoreError> error_;
};

// The parts joined into one string with a single allocation; the way messages are built.
std::string concat(std::initializer_list<std::string_view> parts);

// Replaces the first occurrence of `from` in `text` (if any) by `to`: how a method built on
// another renames the inner operation in its messages.
void replace_first(std::string& text, std::string_view from, std::string_view to);

// "{description} (os error N)", the system's text for an errno value.
std::string os_error_text(int err);

// Kind of an operating-system error: ENOENT, EPERM/EACCES, or General for every other number.
CoreErrorKind kind_of_errno(int err);

// "{operation} failed: {path}: {os error text}" with the kind taken from the error number.
CoreError from_io(std::string_view operation, std::string_view path, int err);

// Valid UTF-8 copy of `bytes`: each maximal invalid subsequence becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// True when `bytes` is well-formed UTF-8.
bool utf8_valid(std::string_view bytes);

// `text` between double quotes with \" \\ \t \r \n \0 and \u{hex} escapes for the other
// non-printable characters. `text` is expected to be valid UTF-8 (invalid bytes pass through).
std::string debug_quote(std::string_view text);

// Unicode White_Space, the set used for every trim in this module.
bool is_unicode_space(char32_t c);

// Decodes one UTF-8 scalar starting at `s[i]`; returns the code point and sets `len`.
// Invalid input decodes as U+FFFD with len 1; callers only use it on valid text.
char32_t decode_utf8_at(std::string_view s, std::size_t i, std::size_t& len);

// `s` without trailing / leading-and-trailing Unicode whitespace (views into `s`).
std::string_view trim_end_unicode(std::string_view s);
std::string_view trim_unicode(std::string_view s);

// Decimal text of an unsigned 128-bit value.
std::string u128_to_string(unsigned __int128 value);

}  // namespace tarnwistle
