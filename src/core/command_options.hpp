// What a command is asked to do and what comes back: the run's request and outcome records,
// the flag rules of interpreters, time limits and the CommandResult record. No Python here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"

namespace tarnwistle {

// Variables laid over the inherited environment, in insertion order; a repeated name replaces
// the earlier value in place.
using EnvMap = std::vector<std::pair<std::string, std::string>>;

struct ProcessRequest {
  std::string program;                         // searched in PATH when it has no '/'
  std::vector<std::string> args;               // after the program name
  std::optional<std::string> cwd;              // absent: the caller's current directory
  std::optional<std::string> stdin_data;       // absent: the null device
  std::optional<std::chrono::nanoseconds> timeout;  // absent: no limit; saturates when huge
  EnvMap env;
  std::uint64_t max_output_bytes = DEFAULT_MAX_OUTPUT_BYTES;  // per stream
  // At its time limit the child gets a short grace, not a second, between SIGTERM and SIGKILL,
  // and output still in flight is not waited for, as for an interrupted run.
  bool hurried = false;
  // The first line of standard error holding this marker is taken out before capture (it
  // counts nowhere) and handed back in ProcessOutput::stderr_tapped; the time-out hook sees it
  // first, however little of the stream the output limit keeps.
  std::optional<std::string> stderr_tap;
};

struct ProcessOutput {
  std::int32_t exit_code = -1;  // status, -signal, -1 for any other status, 124 on time-out
  std::optional<std::int32_t> signal;
  bool timed_out = false;
  unsigned __int128 duration_ms = 0;
  std::string stdout_data;  // display form: head, marker when bytes were omitted, tail
  std::string stderr_data;
  std::uint64_t stdout_total_bytes = 0;
  std::uint64_t stderr_total_bytes = 0;
  std::uint64_t stdout_omitted_bytes = 0;
  std::uint64_t stderr_omitted_bytes = 0;
  std::string stderr_tapped;  // the line ProcessRequest::stderr_tap took out, '\n' included
};

// ---- flags ------------------------------------------------------------------------------------

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

// ---- time limits ------------------------------------------------------------------------------

// Finite, non-negative seconds as a duration, rounded to the nearest nanosecond with ties to
// even (exactly, from the double's binary value); values past the duration's range saturate.
std::chrono::nanoseconds duration_from_seconds(double seconds);

// A time limit in seconds: zero means no limit (nullopt); a positive value below half a
// nanosecond is a zero-length limit. NaN, infinities, negatives and values of 2^64 seconds or
// more fail (General) with "timeout must be a non-negative finite number or None".
Result<std::optional<std::chrono::nanoseconds>> timeout_from_seconds(double seconds);

// ---- the result record --------------------------------------------------------------------------

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

  CommandResult() = default;
  CommandResult(const CommandResult&) = default;
  CommandResult(CommandResult&&) = default;
  CommandResult& operator=(const CommandResult&) = default;
  CommandResult& operator=(CommandResult&&) = default;
  ~CommandResult();  // the streams' storage is kept for the next run

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
