// SshClient: the same surface on a remote POSIX host, one run of the system `ssh` per
// operation, each carrying a script of remote_shell. This unit is the session: the client,
// its control directory, the askpass helper, the `ssh` command line, running it and reading
// the outcome. No Python here; every operation runs with the GIL released.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command.hpp"
#include "control.hpp"
#include "error.hpp"
#include "fd.hpp"
#include "fs.hpp"
#include "remote_shell.hpp"

namespace tarnwistle {

// `ssh` binds its master socket at the control path plus "." and 16 random characters, so the
// expanded path must leave 17 bytes of a 104-byte sun_path (BSD) / 108 (Linux) free.
inline constexpr std::uint64_t CONTROL_PATH_LIMIT = 86;

struct SshOptions {
  std::string host;
  std::uint16_t port = 22;
  std::string username;
  std::optional<std::string> password;
  std::optional<std::string> key_filename;
  std::string cwd = ".";
  double connect_timeout = 30.0;
  double operation_timeout = 30.0;
  std::uint64_t max_transfer_bytes = DEFAULT_MAX_TRANSFER_BYTES;
  bool multiplexing = true;
  std::vector<std::string> ssh_flags;  // already normalised
  bool allow_password_prompt = true;
  bool accept_unknown_host_key = false;
};

class SshClient {
 public:
  std::string host;
  std::uint16_t port = 22;
  std::string username;
  std::optional<std::string> password;
  std::optional<std::string> key_filename;
  std::string home = "~";
  std::string cwd = "~";
  double connect_timeout = 30.0;
  std::chrono::nanoseconds operation_timeout{30'000'000'000};
  std::uint64_t max_transfer_bytes = DEFAULT_MAX_TRANSFER_BYTES;
  std::vector<std::string> ssh_flags;
  std::optional<ControlDir> control_dir;  // present exactly when multiplexing
  bool allow_password_prompt = true;
  bool accept_unknown_host_key = false;
};

// Validates, creates the control directory and builds the client.
Result<SshClient> connect(SshOptions options);

// The control directory: under TMPDIR, else a second try under /tmp; refused when the
// expanded control path would exceed CONTROL_PATH_LIMIT.
Result<TempDir> create_control_dir();
// Bytes of "{dir}/mux-%C" once ssh expands %C to its 40-character hash.
std::uint64_t expanded_control_path_bytes(std::string_view dir);
// "~" and "~/..." against the local HOME; anything else unchanged.
std::string expand_local_key(std::string_view key);

// "SshClient(host=\"...\", port=N, username=\"...\", cwd=\"...\")"
std::string ssh_client_repr(const SshClient& client);

// `path` resolved against the client's working directory (remote path text).
std::string resolve_native(const SshClient& client, std::string_view path);

// ---- running ssh ----------------------------------------------------------------------------

// One prepared run: the request and, for password logins, the askpass directory that must
// outlive the process (dropped right after the run).
struct SshInvocation {
  ProcessRequest request;
  std::optional<TempDir> askpass_dir;
};

Result<SshInvocation> ssh_invocation(const SshClient& client,
                                     std::optional<std::string> remote_command,
                                     std::optional<std::string> stdin_data,
                                     std::optional<std::chrono::nanoseconds> timeout,
                                     std::uint64_t output_limit);
// The 51-byte askpass script.
std::string_view askpass_script();

// Runs ssh once; the exit code is not looked at.
Result<ProcessOutput> run_ssh(const SshClient& client, std::optional<std::string> remote_command,
                              std::optional<std::string> stdin_data,
                              std::optional<std::chrono::nanoseconds> timeout,
                              std::uint64_t output_limit, const TimeoutHook& on_timeout = {});

// run_ssh with the client's limits and the outcome rules: time-out, transfer limit, exit 0,
// or "SSH {op} failed with exit code {code}: {path}: {stderr}". A method built on another
// passes its own name as `failed_op`, which replaces `op` in that message when the failure is
// a plain ClientError. `exit_code` receives the remote status of a failed run.
Result<ProcessOutput> checked_remote(const SshClient& client, std::string_view op,
                                     std::string_view path, std::string remote_command,
                                     std::optional<std::string> stdin_data,
                                     int* exit_code = nullptr, std::string_view failed_op = {});
// The exit-code rule alone: AuthenticationError only for ssh's own failures (exit 255),
// PermissionDeniedError, else ClientError.
CoreError failed_remote(std::string_view op, std::string_view path, const ProcessOutput& out);
// "{seconds}" with three decimals.
std::string timeout_seconds_text(std::chrono::nanoseconds timeout);

// ---- operations ---------------------------------------------------------------------------
// `op` is the name a plain ClientError reports (read_text on read_bytes, write_text on
// write_bytes); a time-out or a limit keeps naming the operation that ran.

Result<FileInfo> stat_native(const SshClient& client, std::string_view path);
Result<std::string> read_bytes_native(const SshClient& client, std::string_view path,
                                      std::string_view op = "read_bytes");
Result<TextWindow> read_text_window_native(const SshClient& client, std::string_view path,
                                           std::int64_t offset, std::uint64_t limit);
Result<FileInfo> write_bytes_atomic_native(const SshClient& client, std::string_view path,
                                           std::string_view data,
                                           const std::optional<std::string>& expected_version,
                                           bool create_only, std::string_view op = "write_bytes");
Result<void> delete_if_version_native(const SshClient& client, std::string_view path,
                                      const std::optional<std::string>& expected_version);
Result<void> mkdir_native(const SshClient& client, std::string_view path, bool parents,
                          bool exist_ok);

// One remote command, already normalised by the caller.
struct RemoteExec {
  std::string command_piece;  // the command, or the quoted interpreter line
  std::string cwd;            // resolved
  EnvMap env;
  std::optional<std::string> stdin_data;
  std::optional<std::chrono::nanoseconds> timeout;
  std::uint64_t max_output_bytes = DEFAULT_MAX_OUTPUT_BYTES;
};
// Runs it inside the wrapper, stops the remote side on time-out; the control line never
// reaches the captured stderr nor its counts.
Result<ProcessOutput> exec_native(const SshClient& client, const RemoteExec& exec);
// Stops a remote process group or process tree; every failure is ignored. Its own ssh run has
// TERMINATE_LIMIT, or in a `hurry` (after Ctrl-C) HURRIED_STOP_LIMIT, time enough for the
// script to send SIGTERM over a multiplexed connection.
inline constexpr std::chrono::nanoseconds TERMINATE_LIMIT = std::chrono::seconds(3);
inline constexpr std::chrono::nanoseconds HURRIED_STOP_LIMIT = std::chrono::milliseconds(200);
void terminate_remote(const SshClient& client, const RemoteProcess& process, bool hurry = false);

}  // namespace tarnwistle
