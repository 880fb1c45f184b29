#include "command.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarnwistle {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

ProcessRequest shell(std::string script) {
  ProcessRequest request;
  request.program = "/bin/sh";
  request.args = {"-c", std::move(script)};
  return request;
}

ProcessOutput run_ok(ProcessRequest request, const TimeoutHook& hook = {}) {
  Result<ProcessOutput> out = run_process(std::move(request), hook);
  if (!out.ok()) ADD_FAILURE() << out.error().message;
  return out.ok() ? std::move(*out) : ProcessOutput{};
}

std::set<int> open_fds() {
  std::set<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  const int own = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::stoi(entry->d_name);
    if (fd != own) fds.insert(fd);
  }
  ::closedir(dir);
  return fds;
}

// A child of this process sees its standard streams and only what was meant to be inherited.
void expect_child_sees_only(const std::set<int>& inheritable) {
  ProcessRequest request = shell("sleep 0.2; ls /proc/$$/fd");
  request.stdin_data = std::string(100000, 'x');
  std::istringstream words(run_ok(std::move(request)).stdout_data);
  std::set<int> seen;
  for (int fd; words >> fd;) seen.insert(fd);
  EXPECT_TRUE(seen.count(0) && seen.count(1) && seen.count(2));
  for (int f : seen) EXPECT_TRUE(inheritable.count(f)) << "leaked fd " << f;
}

// One caller's runs, each on another of the runner's paths.
void mixed_runs(int t) {
  ProcessRequest missing;
  missing.program = "/no/such/program";
  EXPECT_FALSE(run_process(std::move(missing)).ok());
  for (int round = 0; round < 3; ++round) {
    const std::string input(100000 + 4099 * t + round, static_cast<char>('a' + t));
    ProcessRequest echo = shell("cat; printf '%s' " + std::to_string(t) + " >&2");
    echo.stdin_data = input;
    ProcessOutput copied = run_ok(std::move(echo));
    EXPECT_EQ(copied.stdout_data, input);
    EXPECT_EQ(copied.stderr_data, std::to_string(t));

    ProcessRequest flood = shell("head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2");
    flood.max_output_bytes = 1000 + t;
    ProcessOutput cut = run_ok(std::move(flood));
    EXPECT_EQ(cut.stdout_total_bytes, 300000u);
    EXPECT_EQ(cut.stderr_total_bytes, 200000u);
    EXPECT_EQ(cut.stdout_omitted_bytes, 300000u - (1000 + t));
    EXPECT_EQ(cut.stderr_omitted_bytes, 200000u - (1000 + t));
  }
  ProcessRequest slow = shell("echo started; sleep 5");
  slow.timeout = 100ms;
  ProcessOutput timed = run_ok(std::move(slow));
  EXPECT_TRUE(timed.timed_out);
  EXPECT_EQ(timed.exit_code, 124);
  EXPECT_EQ(timed.stdout_data, "started\n");

  // The background job outlives the drain, so its readers are detached still running.
  ProcessOutput left = run_ok(shell("echo " + std::to_string(t) + "; sleep 3 & exit 0"));
  EXPECT_EQ(left.exit_code, 0);
  EXPECT_EQ(left.stdout_data, std::to_string(t) + "\n");
}

// Several callers at once, each mixing the runner's paths: stdin fed by the writer thread,
// output cut to head and tail, a time-out, a program that cannot start, and a background job
// that keeps a pipe open. Every run must get back exactly its own bytes, no child may be
// handed another run's pipes, and no descriptor may stay open here; under the thread
// sanitizer this checks that the reader, writer and drain threads, detached ones included,
// share nothing unguarded.
TEST(RunProcess, ConcurrentCallersKeepTheirOwnStreamsAndDescriptors) {
  const std::set<int> before = open_fds();
  std::set<int> inheritable = {0, 1, 2};
  for (int fd : before) {
    if ((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inheritable.insert(fd);
  }
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([t, &inheritable] {
      expect_child_sees_only(inheritable);
      mixed_runs(t);
    });
  }
  for (std::thread& caller : callers) caller.join();
  // Detached readers close their pipes once the background jobs end.
  const auto until = Clock::now() + 4s;
  while (open_fds() != before && Clock::now() < until) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(open_fds(), before);
}

TEST(RunProcess, HookSeesStderrBeforeTerm) {
  // The child reports a TERM it receives on stderr; the hook must run before that.
  ProcessRequest request = shell("trap 'echo term >&2; exit 7' TERM; echo pre >&2; sleep 5 & wait");
  request.timeout = 200ms;
  int calls = 0;
  std::string seen;
  const auto start = Clock::now();
  double at = 0;
  ProcessOutput out = run_ok(std::move(request), [&](std::string_view captured, bool) {
    ++calls;
    seen = captured;
    at = std::chrono::duration<double>(Clock::now() - start).count();
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, "pre\n");
  EXPECT_GE(at, 0.2 + 0.025);
  EXPECT_TRUE(out.timed_out);
  EXPECT_EQ(out.exit_code, 124);  // however the child ended after the deadline
  EXPECT_EQ(out.stderr_data, "pre\nterm\n");
}

// Whatever this process ignores or blocks, the child starts with SIGPIPE at its default.
TEST(RunProcess, ChildStartsWithSigpipeDefaultWhateverTheParentSet) {
  struct sigaction old_action {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old_action);
  sigset_t pipe_only, old_mask;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
  ProcessOutput out = run_ok(shell("exec grep -E '^Sig(Ign|Blk)' /proc/self/status"));
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGPIPE, &old_action, nullptr);
  std::istringstream lines(out.stdout_data);
  std::map<std::string, unsigned long> masks;
  for (std::string key, hex; lines >> key >> hex;) masks[key] = std::stoul(hex, nullptr, 16);
  ASSERT_EQ(masks.size(), 2u) << out.stdout_data;
  EXPECT_EQ(masks["SigBlk:"], 0u);
  EXPECT_EQ(masks["SigIgn:"] & (1ul << (SIGPIPE - 1)), 0u);
}

TEST(RunProcess, AnEndedChildIsSeenWithoutPollingDelay) {
  // A blind 10 ms sleep between polls would make 20 runs take at least 200 ms.
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(run_ok(shell("exit 0")).exit_code, 0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.15);
}

}  // namespace
}  // namespace tarnwistle

// Time limits are exact: 1/1024 s is 976562.5 ns, a tie, which goes to the even neighbour.
TEST(Durations, NearestNanosecondWithTiesToEven) {
  const std::pair<double, std::int64_t> cases[] = {
      {1.0 / 1024, 976562}, {3.0 / 1024, 2929688}, {0.1, 100000000}, {4e-10, 0}, {6e-10, 1},
      {1e30, std::numeric_limits<std::int64_t>::max()}};
  for (const auto& [seconds, ns] : cases) {
    EXPECT_EQ(tarnwistle::duration_from_seconds(seconds).count(), ns) << seconds;
  }
}
