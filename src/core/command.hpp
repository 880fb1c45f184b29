// The process runner: the only place the module starts a process. No Python here.
#pragma once

#include <functional>
#include <string_view>

#include "command_options.hpp"

namespace tarnwistle {

// Called at most once, on the runner's thread, about 30 ms after the deadline (at once after an
// interrupt, when `interrupted` is true and the hook should be quick) and before SIGTERM, with
// the marker-free standard-error capture so far. No capture lock is held.
using TimeoutHook = std::function<void(std::string_view stderr_raw, bool interrupted)>;

// How a caller asks the runs on its thread to stop at once (Ctrl-C): for the length of a call
// it installs a check, which the runner polls every few tens of milliseconds while it waits.
// Once the check has said yes it is not asked again in that scope, and the runs return the
// Interrupted failure. Scopes nest; the innermost one of the thread is asked.
class InterruptScope {
 public:
  using Check = bool (*)();
  explicit InterruptScope(Check check);  // nullptr: nothing can interrupt this scope
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // Whether the innermost scope of this thread asks to stop (false without one).
  static bool interrupted();

  // Keeps the calling thread's scope from being asked while it lives: the work a run does
  // on its way out (a remote stop) must run to its end.
  class Pause {
   public:
    Pause();
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    InterruptScope* saved_;
  };

 private:
  Check check_;
  bool fired_ = false;
  InterruptScope* outer_;
};

// The failure text of a run stopped by its InterruptScope; the caller raises what the check
// left pending instead.
inline constexpr std::string_view INTERRUPTED = "interrupted";

// Runs `request` to its end: the child leads a new process group, starts with SIGPIPE at its
// default disposition and an empty signal mask, and both output streams are captured into
// bounded head-and-tail buffers. A failure is a General CoreError whose message is the
// runner's failure text ("command failed to start: ...", "command wait failed: ...").
// Throws only when a worker thread cannot be created ("failed to spawn thread: ...", after
// killing the child) or memory runs out. An interrupt (see InterruptScope) stops the child as a
// time-out does, with a short grace, and fails with INTERRUPTED. Call with the GIL released.
Result<ProcessOutput> run_process(ProcessRequest request, const TimeoutHook& on_timeout = {});

}  // namespace tarnwistle
