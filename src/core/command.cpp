#include "command.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <span>
#include <system_error>
#include <thread>

#include "fd.hpp"
#include "output.hpp"
#include "text.hpp"

extern char** environ;

namespace tarnwistle {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t READ_CHUNK = 65536;
constexpr std::size_t IN_PLACE_READ = READ_CHUNK / 4;  // smaller rooms would mean small reads
constexpr Clock::duration POLL_INTERVAL = 10ms;
constexpr Clock::duration HOOK_DELAY = 30ms;
constexpr Clock::duration GRACE = 1s;
constexpr Clock::duration DRAIN = 2s;
// A run that is interrupted answers within about 100 ms: the scope is polled this often, and
// the child gets this much grace between SIGTERM and SIGKILL.
constexpr Clock::duration INTERRUPT_POLL = 20ms;
constexpr Clock::duration INTERRUPT_GRACE = 50ms;

thread_local InterruptScope* CURRENT_SCOPE = nullptr;

// One capture buffer, co-owned by the runner and one reader thread, so a detached reader can
// keep appending after the call has returned.
struct Capture {
  explicit Capture(std::uint64_t limit) : buffer(limit) {}
  std::mutex mutex;
  HeadTailBytes buffer;
  std::optional<LineTap> tap;  // takes the request's marked line out before the buffer
  bool broken = false;  // a thread failed while holding `mutex`; the buffer is unusable

  // Appends the next piece of the stream (the end of it when `data` is empty and `eof`).
  void add(std::string_view data, bool eof) {
    if (!tap) return buffer.append(data);
    buffer.append(eof ? tap->finish() : tap->feed(data));
  }
};

// The completion channel: each reader posts once when its loop ends, the runner waits.
class Completion {
 public:
  void post(int reader) {
    {
      std::lock_guard lock(mutex_);
      done_[reader] = true;
    }
    cv_.notify_one();
  }
  bool wait_all(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return cv_.wait_until(lock, deadline, [&] { return done_[0] && done_[1]; });
  }
  bool finished(int reader) {
    std::lock_guard lock(mutex_);
    return done_[reader];
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_[2] = {false, false};
};

// Reader thread: the pipe into its capture buffer until end of file, a read error or a broken
// buffer. Everything it needs is owned by it or shared, never borrowed from the runner.
void read_pipe(Fd pipe, std::unique_ptr<char[]> chunk, std::shared_ptr<Capture> capture,
               std::shared_ptr<Completion> completion, int reader) {
  for (;;) {
    const ssize_t n = read_retry(pipe.get(), chunk.get(), READ_CHUNK);
    std::lock_guard lock(capture->mutex);
    if (capture->broken) break;
    try {
      capture->add(std::string_view(chunk.get(), n > 0 ? static_cast<std::size_t>(n) : 0), n <= 0);
    } catch (const std::bad_alloc&) {
      capture->broken = true;
      break;
    }
    if (n <= 0) break;
  }
  pipe = Fd();
  completion->post(reader);
}

// Stdin writer thread, never joined. SIGPIPE is blocked here so that writing to a child that
// closed its input fails with EPIPE instead of killing a host that restored the default
// disposition; the pending signal is discarded when the thread ends.
void feed_stdin(Fd pipe, std::string data) {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  (void)write_all(pipe.get(), data);  // the first failure simply ends the input
}

template <class... Args>
std::thread start_thread(Args&&... args) {
  try {
    return std::thread(std::forward<Args>(args)...);
  } catch (const std::system_error& e) {
    throw std::runtime_error(concat({"failed to spawn thread: ", e.what()}));
  }
}

// ---- starting the child ---------------------------------------------------------------------

// Moves a descriptor to 3 or above. A host running with a standard stream closed would
// otherwise get a pipe end numbered 0, 1 or 2, and a dup2 of a descriptor onto its own
// number may leave close-on-exec set, so the child would start without that stream.
int lift(int fd) {
  if (fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  ::close(fd);
  errno = err;
  return moved;
}

// A close-on-exec pipe: 0, or the errno of the failure.
int make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end = Fd(lift(fds[0]));
  write_end = Fd(lift(fds[1]));
  return read_end && write_end ? 0 : errno;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // New process group led by the child; SIGPIPE back to its default and nothing blocked,
  // whatever this process or the calling thread set.
  int set_attributes() {
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&mask);
    const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (int e = posix_spawnattr_setflags(&attr_, flags)) return e;
    if (int e = posix_spawnattr_setpgroup(&attr_, 0)) return e;
    if (int e = posix_spawnattr_setsigdefault(&attr_, &defaults)) return e;
    return posix_spawnattr_setsigmask(&attr_, &mask);
  }

  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attr() { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

// The parent's view of a started child.
struct Child {
  pid_t pid = -1;
  Fd stdout_pipe;
  Fd stderr_pipe;
  Fd stdin_pipe;  // only when input was given
};

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool request_has_nul(const ProcessRequest& request) {
  if (has_nul(request.program) || (request.cwd && has_nul(*request.cwd))) return true;
  for (const std::string& arg : request.args) {
    if (has_nul(arg)) return true;
  }
  for (const auto& [name, value] : request.env) {
    if (has_nul(name) || has_nul(value) || name.find('=') != std::string::npos) return true;
  }
  return false;
}

// The inherited environment with `overlay` laid over it, as NAME=VALUE strings.
std::vector<std::string> overlay_environment(const EnvMap& overlay) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    const bool replaced = std::any_of(overlay.begin(), overlay.end(),
                                      [&](const auto& item) { return item.first == name; });
    if (!replaced) entries.emplace_back(text);
  }
  for (const auto& [name, value] : overlay) entries.push_back(concat({name, "=", value}));
  return entries;
}

std::vector<char*> c_pointers(std::vector<std::string>& items) {
  std::vector<char*> out;
  out.reserve(items.size() + 1);
  for (std::string& item : items) out.push_back(item.data());
  out.push_back(nullptr);
  return out;
}

CoreError start_failure(std::string_view detail) {
  return general_error(concat({"command failed to start: ", detail}));
}

// File actions: the pipes (or the null device) onto 0, 1, 2, then the working directory.
int set_file_actions(SpawnSetup& setup, const ProcessRequest& request, const Fd& in,
                     const Fd& out, const Fd& err) {
  posix_spawn_file_actions_t* actions = setup.actions();
  int e = in ? posix_spawn_file_actions_adddup2(actions, in.get(), 0)
             : posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
  if (e == 0) e = posix_spawn_file_actions_adddup2(actions, out.get(), 1);
  if (e == 0) e = posix_spawn_file_actions_adddup2(actions, err.get(), 2);
  if (e == 0 && request.cwd) {
    e = posix_spawn_file_actions_addchdir_np(actions, request.cwd->c_str());
  }
  return e;
}

Result<Child> start_child(const ProcessRequest& request) {
  if (request_has_nul(request)) return start_failure("nul byte found in provided data");
  Child child;
  Fd out_write, err_write, in_read;
  int e = make_pipe(child.stdout_pipe, out_write);
  if (e == 0) e = make_pipe(child.stderr_pipe, err_write);
  if (e == 0 && request.stdin_data) e = make_pipe(in_read, child.stdin_pipe);
  if (e != 0) return start_failure(os_error_text(e));

  SpawnSetup setup;
  e = setup.set_attributes();
  if (e == 0) e = set_file_actions(setup, request, in_read, out_write, err_write);
  if (e != 0) return start_failure(os_error_text(e));

  std::vector<std::string> argv_text;
  argv_text.reserve(request.args.size() + 1);
  argv_text.push_back(request.program);
  argv_text.insert(argv_text.end(), request.args.begin(), request.args.end());
  std::vector<char*> argv = c_pointers(argv_text);
  std::vector<std::string> env_text;
  std::vector<char*> envp;
  if (!request.env.empty()) {
    env_text = overlay_environment(request.env);
    envp = c_pointers(env_text);
  }
  char** env = request.env.empty() ? environ : envp.data();
  const bool search = request.program.find('/') == std::string::npos;
  e = search ? posix_spawnp(&child.pid, argv[0], setup.actions(), setup.attr(), argv.data(), env)
             : posix_spawn(&child.pid, argv[0], setup.actions(), setup.attr(), argv.data(), env);
  if (e != 0) return start_failure(os_error_text(e));
  return child;
}

// ---- waiting --------------------------------------------------------------------------------

struct WaitResult {
  bool ended = false;
  int status = 0;
  int error = 0;  // errno of a failed wait
};

WaitResult try_reap(pid_t pid) {
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return {true, status, 0};
    if (r == 0) return {};
    if (errno != EINTR) return {false, 0, errno};
  }
}

void reap_blocking(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

Fd open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return Fd();
#endif
}

timespec to_timespec(Clock::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Sleeps up to `limit`, waking at once when the child ends if its pidfd is available. The
// caller still detects the end only with a non-blocking waitpid.
void pause_for_child(const Fd& pidfd, Clock::duration limit) {
  if (limit <= Clock::duration::zero()) return;
  const timespec ts = to_timespec(limit);
  if (pidfd) {
    pollfd p{pidfd.get(), POLLIN, 0};
    if (::ppoll(&p, 1, &ts, nullptr) >= 0 || errno == EINTR) return;
  }
  ::nanosleep(&ts, nullptr);
}

Clock::time_point saturating_deadline(Clock::time_point start, std::chrono::nanoseconds limit) {
  const auto room = Clock::time_point::max() - start;
  if (std::chrono::duration_cast<Clock::duration>(limit) >= room) return Clock::time_point::max();
  return start + std::chrono::duration_cast<Clock::duration>(limit);
}

// ---- one run --------------------------------------------------------------------------------

// One run. While the child runs, and for the drain after its end, the calling thread itself
// reads both pipes, woken by their data or by the child's end (through its pidfd), and
// appends under each buffer's mutex as a reader thread would. Threads are started only when
// a pipe must go on being read while this thread cannot: at the deadline (the hook may take
// its time and the child must not block on a full pipe meanwhile), when the drain gives up on
// a pipe that a background job still holds, and when waiting fails. Such readers own their
// pipe and share the buffer, so they may outlive the call.
class Run {
 public:
  Run(Child child, std::uint64_t limit, bool hurried)
      : hurried_(hurried),
        pid_(child.pid),
        pidfd_(open_pidfd(child.pid)),
        chunk_(new char[READ_CHUNK]),
        completion_(std::make_shared<Completion>()) {
    pipes_[0] = std::move(child.stdout_pipe);
    pipes_[1] = std::move(child.stderr_pipe);
    captures_[0] = std::make_shared<Capture>(limit);
    captures_[1] = std::make_shared<Capture>(limit);
    stdin_pipe_ = std::move(child.stdin_pipe);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Leaves nothing behind when the call unwinds early (a thread that could not be created):
  // the child is killed and reaped, threads that did start are let go.
  ~Run() {
    for (std::thread& t : readers_) {
      if (t.joinable()) t.detach();
    }
    if (!settled_) {
      ::kill(-pid_, SIGKILL);
      reap_blocking(pid_);
    }
  }

  void tap_stderr(std::optional<std::string> marker) {
    if (marker) captures_[1]->tap.emplace(std::move(*marker));
  }

  void start_writer(std::optional<std::string> data) {
    if (!data) return;
    if (data->empty()) {
      stdin_pipe_ = Fd();  // the child reads end of file at once
      return;
    }
    start_thread(feed_stdin, std::move(stdin_pipe_), std::move(*data)).detach();
  }

  Result<int> wait(std::optional<Clock::time_point> deadline, const TimeoutHook& on_timeout);
  void drain();
  bool interrupted() const { return interrupted_; }
  Result<ProcessOutput> report(int status, Clock::time_point start);

 private:
  bool reading() const { return pipes_[0] || pipes_[1]; }
  // The child is reaped (or given up on): its pidfd, readable from then on, leaves the polls,
  // which would otherwise spin while a pipe outlives the child.
  void settle() {
    settled_ = true;
    pidfd_ = Fd();
  }
  bool pump(Clock::duration limit);
  void take(int i);
  void hand_over();
  void stop(const TimeoutHook& on_timeout);
  std::string stderr_so_far();
  bool interrupt_due();

  bool hurried_;  // a time-out stops as fast as an interrupt
  pid_t pid_;
  Fd pidfd_;
  Fd pipes_[2];  // stdout, stderr: open while this thread still reads them
  Fd stdin_pipe_;
  std::unique_ptr<char[]> chunk_;
  std::shared_ptr<Capture> captures_[2];
  std::shared_ptr<Completion> completion_;
  std::array<std::thread, 2> readers_;
  bool settled_ = false;  // reaped, or given up on after a failed wait
  bool timed_out_ = false;
  bool interrupted_ = false;
  bool fast_ = false;  // stopping in a hurry: short grace, no drain
  Clock::time_point last_poll_ = Clock::now();
  bool readers_done_ = false;  // every pipe reached its end before the report
};

// Reads what pipe `i` holds into its buffer: straight into the buffer's room when it offers
// a large piece (poll said the pipe is readable, so the read under the lock does not block),
// else through the chunk and append. End of file, a read error or a broken buffer ends the
// reading of that pipe.
void Run::take(int i) {
  Capture& capture = *captures_[i];
  bool more = false;
  {
    std::lock_guard lock(capture.mutex);
    try {
      // A tapped stream goes through the tap, so through the chunk.
      const std::span<char> room = capture.broken || capture.tap
                                       ? std::span<char>()
                                       : capture.buffer.space(READ_CHUNK);
      if (room.size() >= IN_PLACE_READ) {
        const ssize_t n = read_retry(pipes_[i].get(), room.data(), room.size());
        capture.buffer.commit(n > 0 ? static_cast<std::size_t>(n) : 0);
        more = n > 0;
      } else if (!capture.broken) {
        if (!capture.tap) capture.buffer.commit(0);
        const ssize_t n = read_retry(pipes_[i].get(), chunk_.get(), READ_CHUNK);
        capture.add(std::string_view(chunk_.get(), n > 0 ? static_cast<std::size_t>(n) : 0),
                    n <= 0);
        more = n > 0;
      }
    } catch (const std::bad_alloc&) {
      capture.broken = true;
    }
  }
  if (!more) {
    pipes_[i] = Fd();
    completion_->post(i);
  }
}

// Waits up to `limit` for data on the pipes or the child's end, and reads what came. False
// when the child is known to be still running (its pidfd stayed quiet while a pipe woke the
// wait), so that a busy stream costs one poll and one read per wake-up, not a waitpid too.
bool Run::pump(Clock::duration limit) {
  if (!reading()) {
    pause_for_child(pidfd_, limit);
    return true;
  }
  pollfd fds[3];
  int n = 0, which[3];
  const auto watch = [&](const Fd& fd, int reader) {
    fds[n] = {fd.get(), POLLIN, 0};
    which[n++] = reader;
  };
  for (int i = 0; i < 2; ++i) {
    if (pipes_[i]) watch(pipes_[i], i);
  }
  if (pidfd_) watch(pidfd_, -1);
  const timespec ts = to_timespec(std::max(limit, Clock::duration::zero()));
  if (::ppoll(fds, static_cast<nfds_t>(n), &ts, nullptr) <= 0) return true;
  bool child_woke = !pidfd_;
  for (int k = 0; k < n; ++k) {
    if (fds[k].revents == 0) continue;
    if (which[k] >= 0) {
      take(which[k]);
    } else {
      child_woke = true;
    }
  }
  return child_woke;
}

// The pipes still open go to reader threads of their own.
void Run::hand_over() {
  for (int i = 0; i < 2; ++i) {
    if (!pipes_[i]) continue;
    std::unique_ptr<char[]> chunk(new char[READ_CHUNK]);
    readers_[i] = start_thread(read_pipe, std::move(pipes_[i]), std::move(chunk), captures_[i],
                               completion_, i);
  }
}

// The child's wait status, or "command wait failed: ...". A run that reached the deadline
// reports status 0 and timed_out_.
// Polls the interrupt scope at most every INTERRUPT_POLL; true once it said to stop.
bool Run::interrupt_due() {
  if (interrupted_) return true;
  const Clock::time_point now = Clock::now();
  if (now - last_poll_ < INTERRUPT_POLL) return false;
  last_poll_ = now;
  interrupted_ = InterruptScope::interrupted();
  return interrupted_;
}

// The child's wait status, or "command wait failed: ...". A run that reached the deadline
// reports status 0 and timed_out_; one that was interrupted, status 0 and interrupted_.
Result<int> Run::wait(std::optional<Clock::time_point> deadline, const TimeoutHook& on_timeout) {
  for (bool may_have_ended = true;;) {
    const WaitResult r = may_have_ended ? try_reap(pid_) : WaitResult{};
    if (r.ended) {
      settle();
      return r.status;
    }
    if (r.error != 0) {
      settle();  // neither signalled nor waited for; the pipes are let go to readers
      hand_over();
      return general_error(concat({"command wait failed: ", os_error_text(r.error)}));
    }
    const Clock::time_point now = Clock::now();
    const bool late = deadline && now >= *deadline;
    if (late || interrupt_due()) {
      timed_out_ = late && !interrupted_;
      fast_ = interrupted_ || hurried_;
      if (!interrupted_) hand_over();  // the pipes go on being read while the hook runs
      stop(on_timeout);
      settle();
      return 0;
    }
    may_have_ended = pump(deadline ? std::min(POLL_INTERVAL, *deadline - now) : POLL_INTERVAL);
  }
}

// The tapped line (or what the tap holds back) comes first: the hook looks for it.
std::string Run::stderr_so_far() {
  Capture& err = *captures_[1];
  std::lock_guard lock(err.mutex);
  if (err.broken) return std::string();
  if (!err.tap) return err.buffer.raw_bytes();
  return concat({err.tap->line(), err.tap->held(), err.buffer.raw_bytes()});
}

// The hook (about 30 ms after a deadline, at once on an interrupt), SIGTERM to the group, a
// grace period (a second, INTERRUPT_GRACE in a hurry), then SIGKILL and a blocking wait.
// Errors of kill (the group may be gone) and of the final wait are of no consequence.
void Run::stop(const TimeoutHook& on_timeout) {
  if (on_timeout) {
    if (!interrupted_) std::this_thread::sleep_for(HOOK_DELAY);
    const std::string captured = stderr_so_far();
    const InterruptScope::Pause pause;
    on_timeout(captured, interrupted_);
  }
  ::kill(-pid_, SIGTERM);
  const Clock::time_point grace = Clock::now() + (fast_ ? INTERRUPT_GRACE : GRACE);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= grace || (!fast_ && interrupt_due())) break;
    const WaitResult r = try_reap(pid_);
    if (r.ended) return;
    if (r.error != 0) break;
    pause_for_child(pidfd_, std::min(POLL_INTERVAL, grace - now));
  }
  ::kill(-pid_, SIGKILL);
  reap_blocking(pid_);
}

// Pipes that have not reached end of file two seconds after the child ended (a background
// job still holds them) go on being read by detached threads; what they read later is not
// reported. Reader threads already started are joined if they finished, else detached. An
// interrupt ends the drain at once.
void Run::drain() {
  const Clock::time_point until = Clock::now() + DRAIN;
  for (Clock::time_point now = Clock::now(); !fast_ && reading() && now < until;
       now = Clock::now()) {
    if (interrupt_due()) return;
    pump(std::min(until - now, INTERRUPT_POLL));
  }
  if (fast_) return;  // the pipes close with the run; a reader started is let go
  hand_over();
  bool all = false;
  while (!all && !interrupt_due() && Clock::now() < until) {
    all = completion_->wait_all(std::min(until, Clock::now() + INTERRUPT_POLL));
  }
  readers_done_ = all;
  for (int i = 0; i < 2; ++i) {
    if (!readers_[i].joinable()) continue;
    if (all || completion_->finished(i)) {
      readers_[i].join();
    } else {
      readers_[i].detach();
    }
  }
}

void fill_exit(ProcessOutput& output, int status, bool timed_out) {
  if (timed_out) {
    output.exit_code = 124;
    output.timed_out = true;
  } else if (WIFEXITED(status)) {
    output.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    output.exit_code = -WTERMSIG(status);
    output.signal = WTERMSIG(status);
  } else {
    output.exit_code = -1;
  }
}

Result<ProcessOutput> Run::report(int status, Clock::time_point start) {
  Capture& out = *captures_[0];
  Capture& err = *captures_[1];
  std::lock_guard out_lock(out.mutex);
  if (out.broken) return general_error("stdout buffer lock was poisoned");
  std::lock_guard err_lock(err.mutex);
  if (err.broken) return general_error("stderr buffer lock was poisoned");
  ProcessOutput output;
  fill_exit(output, status, timed_out_);
  output.stdout_total_bytes = out.buffer.total();
  output.stderr_total_bytes = err.buffer.total();
  output.stdout_omitted_bytes = out.buffer.omitted();
  output.stderr_omitted_bytes = err.buffer.omitted();
  if (err.tap) output.stderr_tapped = err.tap->line();
  // With every reader done the buffers are this call's alone, and their storage is reused.
  output.stdout_data = readers_done_ ? out.buffer.take_display() : out.buffer.display_bytes();
  output.stderr_data = readers_done_ ? err.buffer.take_display() : err.buffer.display_bytes();
  const auto elapsed = Clock::now() - start;
  if (elapsed > Clock::duration::zero()) {
    output.duration_ms = static_cast<unsigned __int128>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  }
  return output;
}

}  // namespace

Result<ProcessOutput> run_process(ProcessRequest request, const TimeoutHook& on_timeout) {
  const Clock::time_point start = Clock::now();
  Result<Child> child = start_child(request);
  if (!child.ok()) return child.error();
  Run run(std::move(*child), request.max_output_bytes, request.hurried);
  run.tap_stderr(std::move(request.stderr_tap));
  run.start_writer(std::move(request.stdin_data));

  std::optional<Clock::time_point> deadline;
  if (request.timeout) deadline = saturating_deadline(start, *request.timeout);
  Result<int> status = run.wait(deadline, on_timeout);
  if (!status.ok()) return status.error();  // ~Run lets the readers go
  run.drain();
  if (run.interrupted()) return general_error(std::string(INTERRUPTED));
  return run.report(*status, start);
}

InterruptScope::InterruptScope(Check check) : check_(check), outer_(CURRENT_SCOPE) {
  CURRENT_SCOPE = this;
}

InterruptScope::~InterruptScope() { CURRENT_SCOPE = outer_; }

bool InterruptScope::interrupted() {
  InterruptScope* scope = CURRENT_SCOPE;
  if (scope == nullptr || scope->check_ == nullptr) return false;
  if (!scope->fired_) scope->fired_ = scope->check_();
  return scope->fired_;
}

InterruptScope::Pause::Pause() : saved_(std::exchange(CURRENT_SCOPE, nullptr)) {}

InterruptScope::Pause::~Pause() { CURRENT_SCOPE = saved_; }

}  // namespace tarnwistle
