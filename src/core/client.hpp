// The native error value and the small text helpers every area shares. No Python here.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

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

// `count` characters drawn uniformly from A-Z, a-z and 0-9, for temporary names. The
// exclusive create that follows, not this draw, is what makes a name unique.
std::string random_name_chars(std::size_t count);

// Decimal text of an unsigned 128-bit value.
std::string u128_to_string(unsigned __int128 value);

// ---- command options ----------------------------------------------------------------------

inline constexpr std::uint64_t DEFAULT_MAX_OUTPUT_BYTES = 1048576;
inline constexpr std::uint64_t MAX_OUTPUT_BYTES_LIMIT = 16777216;

// Shell word splitting: blanks separate words, '#' starts a comment where a word would start,
// single and double quotes and backslashes as in sh. Fails (InvalidValue) with
// "invalid flags: missing closing quote". `text` is valid UTF-8.
Result<std::vector<std::string>> split_flags_posix(std::string_view text);

// Whitespace separates words, ' and " group without escapes, an open quote runs to the end,
// empty words are dropped. Never fails.
std::vector<std::string> split_flags_simple(std::string_view text);

// A flags string trimmed of Unicode whitespace and split by either splitter (empty: no flags).
Result<std::vector<std::string>> split_flags(std::string_view text, bool posix);

// `flags` with the flag the interpreter needs to run a command given as text ("-c", "-e",
// "/c", "-Command") appended, unless the list already asks for it or the interpreter is not
// one we know. Never fails.
std::vector<std::string> inject_command_flag(std::string_view interpreter,
                                             std::vector<std::string> flags);

// True when `name` can be an environment variable name: [_A-Za-z][_A-Za-z0-9]*.
bool valid_env_name(std::string_view name);

// A time limit in seconds as nanoseconds, rounded to nearest with ties to even. Zero means
// no limit (nullopt); a positive value below half a nanosecond is a zero-length limit. NaN,
// infinities, negatives and values of 2^64 seconds or more fail (General) with
// "timeout must be a non-negative finite number or None"; values past the range of the
// duration type saturate.
Result<std::optional<std::chrono::nanoseconds>> timeout_from_seconds(double seconds);

// ---- command result -------------------------------------------------------------------------

struct ProcessOutput;  // command.hpp

// Extra facts of one exec call ("interpreter", "flags"), in insertion order.
using ExtrasMap = std::vector<std::pair<std::string, std::string>>;

// The record behind the Python CommandResult; immutable once built.
struct CommandResult {
  std::int32_t exit_code = -1;
  std::string stdout_text;  // valid UTF-8
  std::string stderr_text;  // valid UTF-8
  std::string command;
  std::string cwd;
  unsigned __int128 duration_ms = 0;
  bool timed_out = false;
  std::optional<std::int32_t> signal;
  std::uint64_t stdout_total_bytes = 0;
  std::uint64_t stderr_total_bytes = 0;
  std::uint64_t stdout_omitted_bytes = 0;
  std::uint64_t stderr_omitted_bytes = 0;
  ExtrasMap extras;

  bool ok() const { return exit_code == 0 && !timed_out; }
  bool truncated() const { return stdout_omitted_bytes > 0 || stderr_omitted_bytes > 0; }
};

// The record of a finished run: both streams decoded as UTF-8 with one U+FFFD per maximal
// invalid subsequence, everything else copied.
CommandResult command_result(ProcessOutput output, std::string command, std::string cwd,
                             ExtrasMap extras);

// "CommandResult(exit_code=N, timed_out=true|false, stdout_bytes=N, stderr_bytes=N)"
std::string command_result_repr(const CommandResult& result);

}  // namespace tarnwistle
