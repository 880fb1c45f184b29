// Descriptors and temporary files and directories: the local file-system basics the runner,
// the local client and the ssh session share. A base unit: it includes nothing of ours.
#pragma once

#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// `count` characters drawn uniformly from A-Z, a-z and 0-9, for temporary names. The
// exclusive create that follows, not this draw, is what makes a name unique.
std::string random_name_chars(std::size_t count);

// A temporary directory removed, contents and all, when its owner lets go. Move-only.
class TempDir {
 public:
  TempDir() = default;
  explicit TempDir(std::string path) : path_(std::move(path)) {}
  TempDir(TempDir&& o) noexcept
      : path_(std::exchange(o.path_, std::string())), files_(std::move(o.files_)) {}
  TempDir& operator=(TempDir&& o) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { remove(); }
  const std::string& path() const { return path_; }
  // Names a file the owner creates inside, before creating it: known files and the empty
  // directory are removed without a directory listing, so without a descriptor, which a
  // process that has run out of them cannot open. Returns the file's path.
  const std::string& add_file(std::string_view name);
  void remove() noexcept;  // errors ignored; idempotent

 private:
  std::string path_;
  std::vector<std::string> files_;  // full paths
};

// Creates "{parent}/{prefix}XXXXXX" (A-Z, a-z, 0-9), drawing again while the name exists.
// Nothing, with `err` set to errno, on failure.
std::optional<TempDir> make_temp_dir(std::string_view parent, std::string_view prefix,
                                     unsigned mode, int& err);

// TMPDIR when set and non-empty, else "/tmp".
std::string system_temp_dir();

}  // namespace tarnwistle
