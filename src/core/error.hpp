// The native error value and its result type: what every native operation returns. The bottom
// of the house; it includes nothing of ours.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tarnwistle {

// Declaration order is part of the contract: each kind becomes exactly one exception class,
// and the module registers the classes in this order (InvalidValue is the built-in ValueError).
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

// "{description} (os error N)", the system's text for an errno value.
std::string os_error_text(int err);

// Kind of an operating-system error: ENOENT, EPERM/EACCES, or General for every other number.
CoreErrorKind kind_of_errno(int err);

// "{operation} failed: {path}: {os error text}" with the kind taken from the error number.
CoreError from_io(std::string_view operation, std::string_view path, int err);

// Limits of whole-file transfers (per client) and of each captured output stream (per call).
inline constexpr std::uint64_t DEFAULT_MAX_TRANSFER_BYTES = 16777216;
inline constexpr std::uint64_t MAX_TRANSFER_BYTES_LIMIT = 268435456;
inline constexpr std::uint64_t DEFAULT_MAX_OUTPUT_BYTES = 1048576;
inline constexpr std::uint64_t MAX_OUTPUT_BYTES_LIMIT = 16777216;

}  // namespace tarnwistle
