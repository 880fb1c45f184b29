#include "fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>

#include "fd.hpp"
#include "read.hpp"
#include "text.hpp"

namespace tarnwistle {

FileInfo missing_file_info() { return FileInfo{}; }

std::string optional_text_repr(const std::optional<std::string>& text) {
  if (!text) return "None";
  return concat({"Some(", debug_quote(*text), ")"});
}

std::string file_info_repr(const FileInfo& info) {
  return concat({"FileInfo(exists=", info.exists ? "true" : "false", ", kind=",
                 debug_quote(info.kind), ", size=", decimal(info.size),
                 ", version=", optional_text_repr(info.version), ")"});
}

CoreError nul_path_error(std::string_view operation, std::string_view display_path) {
  return general_error(concat({operation, " failed: ", display_path, ": ", NUL_IN_PATH}));
}

namespace {

const char* kind_of_mode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFLNK: return "symlink";
    case S_IFREG: return "file";
    case S_IFDIR: return "directory";
    default: return "other";
  }
}

// Nanoseconds since the epoch, or nothing for times before it or with a broken nanosecond part.
std::optional<unsigned __int128> modified_ns_of(const struct stat& st) {
  std::int64_t sec = st.st_mtim.tv_sec;
  std::int64_t nsec = st.st_mtim.tv_nsec;
  // Some platforms report pre-epoch times as a zero or negative second with negative nanoseconds.
  if (sec <= 0 && nsec < 0 && nsec > -1000000000) {
    sec -= 1;
    nsec += 1000000000;
  }
  if (nsec < 0 || nsec > 999999999 || sec < 0) return std::nullopt;
  return static_cast<unsigned __int128>(sec) * 1000000000u + static_cast<unsigned __int128>(nsec);
}

// "local:{size}:{mtime_ns}:{dev}:{ino}"; an unrepresentable time prints as 0.
std::string local_version(const struct stat& st, const std::optional<unsigned __int128>& mtime) {
  std::string out;
  out.reserve(96);
  out += "local:";
  append_decimal(out, static_cast<std::uint64_t>(st.st_size));
  out += ':';
  append_decimal(out, mtime ? *mtime : 0);
  out += ':';
  // A signed device number is widened with sign extension, so negative values wrap.
  append_decimal(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(st.st_dev)));
  out += ':';
  append_decimal(out, static_cast<std::uint64_t>(st.st_ino));
  return out;
}

}  // namespace

FileInfo describe_stat(const struct stat& st) {
  FileInfo info;
  info.exists = true;
  info.kind = kind_of_mode(st.st_mode);
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.modified_ns = modified_ns_of(st);
  info.is_symlink = S_ISLNK(st.st_mode);
  info.version = local_version(st, info.modified_ns);
  return info;
}

Result<FileInfo> local_file_info(std::string_view path, std::string_view display_path,
                                 mode_t& mode) {
  mode = 0;
  if (path.find('\0') != std::string_view::npos) return nul_path_error("stat", display_path);
  const std::string c_path(path);
  struct stat st;
  if (::lstat(c_path.c_str(), &st) != 0) {
    if (errno == ENOENT) return missing_file_info();
    return from_io("stat", display_path, errno);
  }
  mode = st.st_mode;
  return describe_stat(st);
}

Result<FileInfo> local_file_info(std::string_view path, std::string_view display_path) {
  mode_t mode;
  return local_file_info(path, display_path, mode);
}

// ---- line windows -------------------------------------------------------------------------

namespace {

CoreError window_limit_error(std::uint64_t max_bytes) {
  return make_error(CoreErrorKind::TransferLimit,
                    concat({"read window exceeds the configured transfer limit of ",
                            std::to_string(max_bytes), " bytes"}));
}

// Streams a file through one fixed buffer. Both window modes consume it chunk by chunk.
class ChunkReader {
 public:
  explicit ChunkReader(int fd) : fd_(fd), buf_(new char[WINDOW_READ_BUFFER]) {}
  // The next chunk (empty at the end), or nothing with errno set.
  std::optional<std::string_view> next() {
    const ssize_t n = read_retry(fd_, buf_.get(), WINDOW_READ_BUFFER);
    if (n < 0) return std::nullopt;
    offset_ += static_cast<std::uint64_t>(n);
    return std::string_view(buf_.get(), static_cast<std::size_t>(n));
  }
  std::uint64_t offset() const { return offset_; }  // file offset after the last chunk

 private:
  int fd_;
  std::unique_ptr<char[]> buf_;
  std::uint64_t offset_ = 0;
};

// Position just after the `n`-th '\n' of `text` (which holds at least n of them, n >= 1).
std::size_t after_nth_newline(std::string_view text, std::uint64_t n) {
  const char* p = text.data();
  const char* end = p + text.size();
  for (;;) {
    p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))) + 1;
    if (--n == 0) return static_cast<std::size_t>(p - text.data());
  }
}

// Head window: lines start..last are kept, every line is counted.
class HeadWindow {
 public:
  HeadWindow(std::uint64_t start, std::uint64_t limit, std::uint64_t max_bytes)
      : start_(start), last_(limit - 1 > UINT64_MAX - start ? UINT64_MAX : start + limit - 1),
        limit_(limit), max_bytes_(max_bytes) {}

  // Consumes one chunk; false when the window outgrew the limit.
  bool feed(std::string_view chunk) {
    while (!chunk.empty()) {
      const std::uint64_t current = done_ + 1;  // number of the line `chunk` starts in
      if (current < start_) {
        skip_to_start(chunk);
      } else if (current <= last_) {
        if (!take_line(chunk)) return false;
      } else {
        done_ += count_newlines(chunk);
        partial_ = chunk.back() != '\n';
        return true;
      }
    }
    return true;
  }

  TextWindow finish() {
    TextWindow w;
    const std::uint64_t total = done_ + (partial_ ? 1 : 0);
    const std::uint64_t s = start_ <= total ? start_ : total + 1;
    const std::uint64_t available = total - (s - 1);
    const std::uint64_t taken = limit_ < available ? limit_ : available;
    w.content = std::move(content_);
    w.total_lines = total;
    w.start_line = s;
    w.end_line = taken > 0 ? s - 1 + taken : total;
    w.truncated = w.end_line < total;
    return w;
  }

 private:
  // Counts the lines before the window in bulk; stops at the window's first byte.
  void skip_to_start(std::string_view& chunk) {
    const std::uint64_t need = start_ - (done_ + 1);  // newlines still to pass
    const std::uint64_t found = count_newlines(chunk);
    if (found < need) {
      done_ += found;
      partial_ = chunk.back() != '\n';
      chunk = {};
      return;
    }
    chunk.remove_prefix(after_nth_newline(chunk, need));
    done_ += need;
    partial_ = false;
  }

  // Appends the (rest of the) current line; a line split across chunks is appended in parts.
  bool take_line(std::string_view& chunk) {
    const void* nl = std::memchr(chunk.data(), '\n', chunk.size());
    const std::size_t len =
        nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - chunk.data()) + 1
                      : chunk.size();
    if (content_.size() + len > max_bytes_) return false;
    content_.append(chunk.data(), len);
    chunk.remove_prefix(len);
    if (nl != nullptr) ++done_;
    partial_ = nl == nullptr;
    return true;
  }

  std::uint64_t start_, last_, limit_, max_bytes_;
  std::uint64_t done_ = 0;  // lines completed by a '\n'
  bool partial_ = false;    // bytes seen after the last '\n'
  std::string content_;
};

// Tail window: the last k lines, checked against the limit after every line. Line starts are
// file offsets; `held_` holds the bytes from the queue's first line to the end of what was read.
class TailWindow {
 public:
  TailWindow(std::uint64_t k, std::uint64_t max_bytes) : k_(k), max_bytes_(max_bytes) {}

  // Consumes the chunk that covers file offsets [end - chunk.size(), end).
  bool feed(std::string_view chunk, std::uint64_t end) {
    const std::uint64_t begin = end - chunk.size();
    // Line ends never pass `end` and queue fronts never move back, so when `end` is within
    // the limit of the current front no line of this chunk can break it.
    const bool ok = end - front() <= max_bytes_ ? feed_bulk(chunk, begin)
                                                : feed_lines(chunk, begin);
    if (!ok) return false;
    // The line still being read will be checked once complete; fail early to bound memory.
    if (end - pending_start_ > max_bytes_) return false;
    keep_bytes(chunk, begin);
    return true;
  }

  // Completes an unterminated last line at file offset `end`.
  Result<TextWindow> finish(std::uint64_t end) {
    if (pending_start_ < end && !line_ended(end)) return window_limit_error(max_bytes_);
    TextWindow w;
    held_.erase(0, static_cast<std::size_t>(front() - held_start_));
    w.content = std::move(held_);
    w.total_lines = done_;
    w.start_line = done_ - starts_.size() + 1;
    w.end_line = done_;
    w.truncated = false;
    return w;
  }

 private:
  std::uint64_t front() const { return starts_.empty() ? pending_start_ : starts_.front(); }

  // One complete line ending at file offset `end`; false when the queue outgrew the limit.
  bool line_ended(std::uint64_t end) {
    starts_.push_back(pending_start_);
    if (starts_.size() > k_) starts_.pop_front();
    pending_start_ = end;
    ++done_;
    return end - starts_.front() <= max_bytes_;
  }

  // Every line of the chunk, each checked.
  bool feed_lines(std::string_view chunk, std::uint64_t begin) {
    const char* base = chunk.data();
    const char* p = base;
    const char* stop = base + chunk.size();
    while (const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(stop - p))) {
      p = static_cast<const char*>(nl) + 1;
      if (!line_ended(begin + static_cast<std::uint64_t>(p - base))) return false;
    }
    return true;
  }

  // No check can fail here: count in bulk, then queue only the lines that can still matter.
  bool feed_bulk(std::string_view chunk, std::uint64_t begin) {
    const std::uint64_t found = count_newlines(chunk);
    if (found <= k_) return feed_lines(chunk, begin);
    // More than k lines end here: the queue becomes the last k of them. Their first starts
    // after the (k+1)-th newline counted from the back.
    std::size_t pos = chunk.size();
    for (std::uint64_t i = 0; i <= k_; ++i) {
      pos = static_cast<std::size_t>(
          static_cast<const char*>(::memrchr(chunk.data(), '\n', pos)) - chunk.data());
    }
    done_ += found - k_;
    starts_.clear();
    pending_start_ = begin + pos + 1;
    return feed_lines(chunk.substr(pos + 1), pending_start_);
  }

  // Drops bytes before the queue front and appends the chunk's still-needed part; compacts
  // only when the dead prefix outweighs the live part, so each byte moves O(1) times.
  void keep_bytes(std::string_view chunk, std::uint64_t begin) {
    const std::uint64_t keep_from = front();
    if (keep_from >= begin) {
      held_.clear();
      held_start_ = keep_from;
      held_.append(chunk.substr(static_cast<std::size_t>(keep_from - begin)));
      return;
    }
    const auto dead = static_cast<std::size_t>(keep_from - held_start_);
    if (dead > 0 && dead >= held_.size() - dead) {
      held_.erase(0, dead);
      held_start_ = keep_from;
    }
    held_.append(chunk);
  }

  std::uint64_t k_, max_bytes_;
  std::uint64_t done_ = 0;           // lines completed so far
  std::uint64_t pending_start_ = 0;  // file offset where the line being read began
  std::deque<std::uint64_t> starts_; // file offsets of the queued lines, oldest first
  std::string held_;
  std::uint64_t held_start_ = 0;     // file offset of held_[0]
};

// The checks before any byte is read: the path must be an existing regular file.
Result<void> check_window_target(std::string_view resolved_path, std::string_view display_path) {
  Result<FileInfo> info = local_file_info(resolved_path, display_path);
  if (!info.ok()) return std::move(info.error());
  if (!info->exists) {
    return make_error(CoreErrorKind::NotFound,
                      concat({"read_window failed: ", display_path, ": file does not exist"}));
  }
  if (info->kind == "directory") {
    return general_error(concat({"read_window failed: ", display_path, ": path is a directory"}));
  }
  if (info->kind != "file") {
    return general_error(
        concat({"read_window failed: ", display_path, ": path is not a regular file"}));
  }
  return {};
}

}  // namespace

Result<TextWindow> read_local_window(std::string_view resolved_path, std::string_view display_path,
                                     std::int64_t offset, std::uint64_t limit,
                                     std::uint64_t max_bytes) {
  Result<void> checked = check_window_target(resolved_path, display_path);
  if (!checked.ok()) return std::move(checked.error());
  const std::string c_path(resolved_path);
  Fd fd(::open(c_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return from_io("read_window", display_path, errno);
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint; failure changes nothing
  ChunkReader reader(fd.get());
  auto read_failed = [&] { return from_io("read_window", display_path, errno); };

  if (offset >= 0) {
    const std::uint64_t start = offset == 0 ? 1 : static_cast<std::uint64_t>(offset);
    HeadWindow head(start, limit, max_bytes);
    for (;;) {
      const std::optional<std::string_view> chunk = reader.next();
      if (!chunk) return read_failed();
      if (chunk->empty()) return head.finish();
      if (!head.feed(*chunk)) return window_limit_error(max_bytes);
    }
  }
  // -offset without overflow for the smallest int64.
  const std::uint64_t k = static_cast<std::uint64_t>(-(offset + 1)) + 1;
  TailWindow tail(k, max_bytes);
  for (;;) {
    const std::optional<std::string_view> chunk = reader.next();
    if (!chunk) return read_failed();
    if (chunk->empty()) return tail.finish(reader.offset());
    if (!tail.feed(*chunk, reader.offset())) return window_limit_error(max_bytes);
  }
}

}  // namespace tarnwistle
