// The protocol with a remote host: remote path text and shell quoting, the scripts each
// operation sends and the parsers of what they print. Pure: no process, no file, so the whole
// protocol can be unit-tested and fuzzed alone. The script texts are a contract with hosts this
// client has never seen: tests pin their bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "command_options.hpp"
#include "error.hpp"
#include "fs.hpp"

namespace tarnwistle {

// Exit codes of the scripts, the same on the sending and the parsing side.
enum class ScriptExit : int {
  Failed = 1,         // a step failed (mkdir -p, stat, cat, mv, rm, awk, sed)
  Missing = 44,       // the target does not exist
  IsDirectory = 45,   // a window of a directory
  NotRegular = 46,    // a window of something else that is not a regular file
  NotDescribed = 47,  // a write installed the file but could not describe it
  Conflict = 73,      // a version or create-only check failed
  LockTimeout = 74,   // the lock directory could not be taken in 200 attempts
  FileChanged = 75,   // the file was replaced between a window's count and its print
};

// ---- remote paths -----------------------------------------------------------------------------

std::string normalize_posix(std::string_view path);
std::string join_posix(std::span<const std::string_view> parts);
// 'text' in single quotes, each ' written as '"'"'.
std::string shell_quote(std::string_view text);
// shell_quote, except that a leading "~" stays expandable as "$HOME".
std::string shell_quote_path(std::string_view path);
// Resolution against a working directory / against the home "~".
std::string resolve_remote(std::string_view cwd, std::string_view path);
std::string resolve_from_home(std::string_view path);
// Parent of a resolved path as the write and mkdir scripts use it ("/" when there is none).
std::string remote_parent(std::string_view resolved);

// ---- scripts ------------------------------------------------------------------------------

// Prints the stat record of the path; a failed step exits Failed.
std::string stat_script(std::string_view resolved);
std::string cat_script(std::string_view resolved);
// Prints the window's lines on stdout and the metadata line tagged `marker` on stderr.
std::string window_script(std::string_view resolved, std::int64_t offset, std::uint64_t limit,
                          std::string_view marker);
// Installs stdin (exactly `length` bytes) at the path under its lock and prints the stat record
// of what it installed.
std::string write_script(std::string_view resolved, std::string_view token,
                         const std::optional<std::string>& expected_version, bool create_only,
                         std::uint64_t length);
std::string delete_script(std::string_view resolved,
                          const std::optional<std::string>& expected_version);
std::string mkdir_script(std::string_view resolved, bool parents, bool exist_ok);

// "__TARNWISTLE_WINDOW_{token}__" and "__TARNWISTLE_{token}__".
std::string window_marker(std::string_view token);
std::string exec_marker(std::string_view token);
// The pieces of a remote command, in order: cd, exports, the command itself.
std::string exec_body(std::string_view cwd, const EnvMap& env, std::string_view command_piece);
// The command piece for an interpreter: Q(interp) Q(flag)... Q(command).
std::string interpreter_piece(std::string_view interpreter, std::span<const std::string> flags,
                              std::string_view command);
// The four-layer wrapper that reports the process group (or process) and runs `body`.
std::string exec_wrapper(std::string_view token, std::string_view body);

enum class RemoteProcessKind { Group, Process };
struct RemoteProcess {
  RemoteProcessKind kind = RemoteProcessKind::Group;
  std::int32_t id = 0;
  bool operator==(const RemoteProcess&) const = default;
};
// Stops a process group, or a process and every descendant.
std::string terminate_script(const RemoteProcess& process);

// ---- parsers ------------------------------------------------------------------------------

// The FileInfo of a stat record; "SSH stat failed: {path}: ..." when malformed.
Result<FileInfo> parse_stat_record(std::string_view stdout_data, std::string_view path);

struct WindowMeta {
  std::uint64_t total = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool truncated = false;
};
Result<WindowMeta> parse_window_metadata(std::string_view stderr_data, std::string_view marker,
                                         std::string_view path);

std::optional<RemoteProcess> find_remote_process(std::string_view stderr_data,
                                                 std::string_view marker);

}  // namespace tarnwistle
