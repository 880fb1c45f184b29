// The process runner: the only place the module starts a process. No Python here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client.hpp"

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
};

// Called at most once, on the runner's thread, about 30 ms after the deadline and before
// SIGTERM, with the marker-free standard-error capture so far. No capture lock is held.
using TimeoutHook = std::function<void(std::string_view stderr_raw)>;

// Runs `request` to its end: the child leads a new process group, starts with SIGPIPE at its
// default disposition and an empty signal mask, and both output streams are captured into
// bounded head-and-tail buffers. A failure is a General CoreError whose message is the
// runner's failure text ("command failed to start: ...", "command wait failed: ...").
// Throws only when a worker thread cannot be created ("failed to spawn thread: ...", after
// killing the child) or memory runs out. Call with the GIL released.
Result<ProcessOutput> run_process(ProcessRequest request, const TimeoutHook& on_timeout = {});

}  // namespace tarnwistle
