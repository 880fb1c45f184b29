// FileInfo, TextWindow and the local file description and window reading. No Python here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client.hpp"

namespace tarnwistle {

struct FileInfo {
  bool exists = false;
  std::string kind = "missing";  // "file", "directory", "symlink", "other", "missing"
  std::uint64_t size = 0;
  std::optional<unsigned __int128> modified_ns;
  bool is_symlink = false;
  std::optional<std::string> version;
};

// The record of a missing path.
FileInfo missing_file_info();

// "FileInfo(exists=..., kind=\"...\", size=N, version=None|Some(\"...\"))"
std::string file_info_repr(const FileInfo& info);

struct TextWindow {
  std::string content;
  std::uint64_t total_lines = 0;
  std::uint64_t start_line = 1;
  std::uint64_t end_line = 0;
  bool truncated = false;
};

// Describes `path` (already resolved) with one lstat; `display_path` is used in messages.
Result<FileInfo> local_file_info(std::string_view path, std::string_view display_path);

}  // namespace tarnwistle
