#include "error.hpp"

#include <cerrno>
#include <cstring>

namespace tarnwistle {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be `buf`; it is always NUL-terminated.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(err);
  out += ')';
  return out;
}

CoreErrorKind kind_of_errno(int err) {
  if (err == ENOENT) return CoreErrorKind::NotFound;
  if (err == EPERM || err == EACCES) return CoreErrorKind::PermissionDenied;
  return CoreErrorKind::General;
}

CoreError from_io(std::string_view operation, std::string_view path, int err) {
  std::string message;
  message.reserve(operation.size() + path.size() + 64);
  message.append(operation).append(" failed: ").append(path).append(": ");
  message += os_error_text(err);
  return CoreError{kind_of_errno(err), std::move(message)};
}

}  // namespace tarnwistle
