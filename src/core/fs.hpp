// FileInfo, TextWindow and the local file description and window reading. No Python here.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"

namespace tarnwistle {

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
