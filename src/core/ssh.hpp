// SshClient: the same surface on a remote POSIX host, one run of the system `ssh` per
// operation, each carrying a small shell script. No Python here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client.hpp"
#include "command.hpp"
#include "fs.hpp"
#include "local.hpp"

namespace tarnwistle {

// `ssh` binds its master socket at the control path plus "." and 16 random characters, so the
// expanded path must leave 17 bytes of a 104-byte sun_path (BSD) / 108 (Linux) free.
inline constexpr std::uint64_t CONTROL_PATH_LIMIT = 86;

// A temporary directory removed, contents and all, when its owner lets go. Move-only.
class TempDir {
 public:
  TempDir() = default;
  explicit TempDir(std::string path) : path_(std::move(path)) {}
  TempDir(TempDir&& o) noexcept
      : path_(std::exchange(o.path_, std::string())), files_(std::move(o.files_)) {}
  TempDir& operator=(TempDir&& o) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { remove(); }
  const std::string& path() const { return path_; }
  // Names a file the owner creates inside, before creating it: known files and the empty
  // directory are removed without a directory listing, so without a descriptor, which a
  // process that has run out of them cannot open. Returns the file's path.
  const std::string& add_file(std::string_view name);
  void remove() noexcept;  // errors ignored; idempotent

 private:
  std::string path_;
  std::vector<std::string> files_;  // full paths
};

// Creates "{parent}/{prefix}XXXXXX" (A-Z, a-z, 0-9), drawing again while the name exists.
// Nothing, with `err` set to errno, on failure.
std::optional<TempDir> make_temp_dir(std::string_view parent, std::string_view prefix,
                                     unsigned mode, int& err);

// TMPDIR when set and non-empty, else "/tmp".
std::string system_temp_dir();

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
  std::optional<TempDir> control_dir;  // present exactly when multiplexing
  bool allow_password_prompt = true;
  bool accept_unknown_host_key = false;
};

// Validates, creates the control directory and builds the client. GIL released.
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

// ---- remote paths -------------------------------------------------------------------------

std::string normalize_posix(std::string_view path);
std::string join_posix(std::span<const std::string_view> parts);
std::string shell_quote(std::string_view text);
std::string shell_quote_path(std::string_view path);
// Resolution against a working directory / against the home "~".
std::string resolve_remote(std::string_view cwd, std::string_view path);
std::string resolve_from_home(std::string_view path);
std::string resolve_native(const SshClient& client, std::string_view path);
// Parent of a resolved path as the write and mkdir scripts use it ("/" when there is none).
std::string remote_parent(std::string_view resolved);

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

// Runs ssh once; the exit code is not looked at. GIL released.
Result<ProcessOutput> run_ssh(const SshClient& client, std::optional<std::string> remote_command,
                              std::optional<std::string> stdin_data,
                              std::optional<std::chrono::nanoseconds> timeout,
                              std::uint64_t output_limit, const TimeoutHook& on_timeout = {});

// run_ssh with the client's limits and the outcome rules: time-out, transfer limit, exit 0,
// or "SSH {op} failed with exit code {code}: {path}: {stderr}" (AuthenticationError only for
// ssh's own exit 255). `exit_code` receives the remote status of a failed run.
Result<ProcessOutput> checked_remote(const SshClient& client, std::string_view op,
                                     std::string_view path, std::string remote_command,
                                     std::optional<std::string> stdin_data,
                                     int* exit_code = nullptr);
// The outcome rules alone, for unit tests and the window read.
CoreError failed_remote(std::string_view op, std::string_view path, const ProcessOutput& out);
// "{seconds}" with three decimals.
std::string timeout_seconds_text(std::chrono::nanoseconds timeout);

// ---- scripts (pure) -------------------------------------------------------------------------

std::string stat_script(std::string_view resolved);
std::string cat_script(std::string_view resolved);
std::string window_script(std::string_view resolved, std::int64_t offset, std::uint64_t limit,
                          std::string_view marker);
std::string write_script(std::string_view resolved, std::string_view token,
                         const std::optional<std::string>& expected_version, bool create_only,
                         std::uint64_t length);
std::string delete_script(std::string_view resolved,
                          const std::optional<std::string>& expected_version);
std::string mkdir_script(std::string_view resolved, bool parents, bool exist_ok);

// The pieces of a remote command, in order: cd, exports, the command itself.
std::string exec_body(std::string_view cwd, const EnvMap& env, std::string_view command_piece);
// The command piece for an interpreter: Q(interp) Q(flag)... Q(command).
std::string interpreter_piece(std::string_view interpreter, std::span<const std::string> flags,
                              std::string_view command);
// The four-layer wrapper that reports the process group (or process) and runs `body`.
std::string exec_wrapper(std::string_view token, std::string_view body);
std::string exec_marker(std::string_view token);

enum class RemoteProcessKind { Group, Process };
struct RemoteProcess {
  RemoteProcessKind kind = RemoteProcessKind::Group;
  std::int32_t id = 0;
  bool operator==(const RemoteProcess&) const = default;
};
std::string terminate_script(const RemoteProcess& process);

// ---- parsers (pure) -------------------------------------------------------------------------

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
// `stderr_data` without the control line, and the number of bytes taken out.
std::pair<std::string, std::uint64_t> strip_control_marker(std::string_view stderr_data,
                                                           std::string_view marker);

// ---- operations (GIL released) ----------------------------------------------------------------

Result<FileInfo> stat_native(const SshClient& client, std::string_view path);
Result<std::string> read_bytes_native(const SshClient& client, std::string_view path);
Result<TextWindow> read_text_window_native(const SshClient& client, std::string_view path,
                                           std::int64_t offset, std::uint64_t limit);
Result<FileInfo> write_bytes_atomic_native(const SshClient& client, std::string_view path,
                                           std::string_view data,
                                           const std::optional<std::string>& expected_version,
                                           bool create_only);
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
  std::uint64_t max_output_bytes = 1048576;
};
// Runs it inside the wrapper, stops the remote side on time-out and takes the control line
// out of stderr (and its length out of stderr_total_bytes).
Result<ProcessOutput> exec_native(const SshClient& client, const RemoteExec& exec);
// Stops a remote process group or process tree; every failure is ignored.
void terminate_remote(const SshClient& client, const RemoteProcess& process);

}  // namespace tarnwistle
