// FileInfo, TextWindow and the local file description and window reading. No Python here.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client.hpp"

namespace tarnwistle {

// Owner of one file descriptor. close is not retried on EINTR: Linux has already released
// the descriptor, and a retry could close one another thread just opened.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }  // the caller closes it
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// read(2) retried on EINTR: bytes read, 0 at the end, -1 with errno set.
ssize_t read_retry(int fd, char* buf, std::size_t size);
// Writes all of `data`, retrying EINTR and short writes: 0, or the errno of the failure.
int write_all(int fd, std::string_view data);

struct FileInfo {
  bool exists = false;
  std::string kind = "missing";  // "file", "directory", "symlink", "other", "missing"
  std::uint64_t size = 0;
  std::optional<unsigned __int128> modified_ns;
  bool is_symlink = false;
  std::optional<std::string> version;  // absent exactly when the path is missing
};

// The record of a missing path.
FileInfo missing_file_info();

// "FileInfo(exists=..., kind=\"...\", size=N, version=None|Some(\"...\"))"
std::string file_info_repr(const FileInfo& info);

// `None` or `Some("...")` with the quoting of the repr; used by conflict messages too.
std::string optional_text_repr(const std::optional<std::string>& text);

struct TextWindow {
  std::string content;  // the window's lines with their own terminators
  std::uint64_t total_lines = 0;
  std::uint64_t start_line = 1;
  std::uint64_t end_line = 0;
  bool truncated = false;
};

// The reason used wherever a path given to the system contains a NUL byte.
inline constexpr std::string_view NUL_IN_PATH = "file name contained an unexpected NUL byte";

// "{operation} failed: {path}: file name contained an unexpected NUL byte" (General).
CoreError nul_path_error(std::string_view operation, std::string_view display_path);

// Describes `path` (already resolved) with one lstat; a missing path is a normal result.
// `display_path` is the caller's spelling, used in messages. GIL not needed.
Result<FileInfo> local_file_info(std::string_view path, std::string_view display_path);

// The record of what one stat or lstat call returned.
FileInfo describe_stat(const struct stat& st);

// As local_file_info, also handing back the lstat mode bits (0 when missing).
Result<FileInfo> local_file_info(std::string_view path, std::string_view display_path,
                                 mode_t& mode);

// The line window of a regular file, streamed through one fixed read buffer so that only the
// window (head, offset >= 0) or the queued last -offset lines (tail) are held. `limit` is
// ignored in tail mode. GIL not needed.
Result<TextWindow> read_local_window(std::string_view resolved_path, std::string_view display_path,
                                     std::int64_t offset, std::uint64_t limit,
                                     std::uint64_t max_bytes);

// Bytes per read of read_local_window. Large reads amortise the system calls and the per-chunk
// work of the tail queue; 8 KiB reads cost about 1.4x `wc -l` on a large file, 1 MiB is on par.
inline constexpr std::size_t WINDOW_READ_BUFFER = 1024 * 1024;

}  // namespace tarnwistle
