// The process runner: the only place the module starts a process. No Python here.
#pragma once

#include <functional>
#include <string_view>

#include "command_options.hpp"

namespace tarnwistle {

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
