#include "ssh.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "constants.hpp"
#include "paths.hpp"
#include "text.hpp"

namespace tarnwistle {

// ---- construction -----------------------------------------------------------------------------

std::uint64_t expanded_control_path_bytes(std::string_view dir) {
  std::string socket(dir);
  join_into(socket, "mux-%C");
  return utf8_lossy(socket).size() + 38;
}

Result<TempDir> create_control_dir() {
  int err = 0;
  std::optional<TempDir> dir = make_temp_dir(system_temp_dir(), "tarnwistle-ssh-", 0777, err);
  if (!dir) {
    return general_error(concat({"cannot create SSH control directory: ", os_error_text(err)}));
  }
  if (expanded_control_path_bytes(dir->path()) <= CONTROL_PATH_LIMIT) return std::move(*dir);
  dir->remove();
  dir = make_temp_dir("/tmp", "tarnwistle-ssh-", 0777, err);
  if (!dir) {
    return general_error(
        concat({"cannot create short SSH control directory under /tmp: ", os_error_text(err)}));
  }
  const std::uint64_t length = expanded_control_path_bytes(dir->path());
  if (length <= CONTROL_PATH_LIMIT) return std::move(*dir);
  dir->remove();
  return general_error(concat({"SSH ControlPath is too long (", decimal(length),
                               " bytes; maximum is ", decimal(CONTROL_PATH_LIMIT), ")"}));
}

std::string expand_local_key(std::string_view key) { return utf8_lossy(expand_home(key)); }

namespace {

std::vector<std::string> ssh_arguments(const SshClient& client,
                                       std::optional<std::string> remote_command);

bool positive_finite(double value) { return std::isfinite(value) && value > 0.0; }

bool kept_flag(std::string_view flag) {
  return flag == "-X" || flag == "-Y" || flag == "-A" || flag == "-a" || flag == "-C";
}

// The argument checks, in their order, before anything is created.
Result<void> check_options(const SshClient& trimmed, const SshOptions& options) {
  if (trimmed.host.empty()) return invalid_value("ssh host is required");
  if (trimmed.host.front() == '-') return invalid_value("ssh host must not start with '-'");
  if (trimmed.username.empty()) return invalid_value("ssh user is required");
  if (!positive_finite(options.connect_timeout)) {
    return invalid_value("connect_timeout must be a positive finite number");
  }
  if (!positive_finite(options.operation_timeout)) {
    return invalid_value("operation_timeout must be a positive finite number");
  }
  if (options.max_transfer_bytes == 0 || options.max_transfer_bytes > MAX_TRANSFER_BYTES_LIMIT) {
    return invalid_value("max_transfer_bytes must be between 1 and 268435456");
  }
  return {};
}

}  // namespace

Result<SshClient> connect(SshOptions options) {
  SshClient client;
  client.host = std::string(trim_unicode(options.host));
  client.username = std::string(trim_unicode(options.username));
  if (Result<void> checked = check_options(client, options); !checked.ok()) {
    return std::move(checked.error());
  }
  if (options.multiplexing) {
    Result<TempDir> dir = create_control_dir();
    if (!dir.ok()) return dir.error();
    client.control_dir.emplace(std::move(*dir));
  }
  if (options.password && !options.password->empty()) client.password = std::move(options.password);
  if (options.key_filename && !options.key_filename->empty()) {
    client.key_filename = expand_local_key(*options.key_filename);
  }
  for (std::string& flag : options.ssh_flags) {
    if (kept_flag(flag)) client.ssh_flags.push_back(std::move(flag));
  }
  client.port = options.port;
  client.connect_timeout = options.connect_timeout;
  client.operation_timeout = duration_from_seconds(options.operation_timeout);
  client.max_transfer_bytes = options.max_transfer_bytes;
  client.allow_password_prompt = options.allow_password_prompt;
  client.accept_unknown_host_key = options.accept_unknown_host_key;
  client.cwd = resolve_from_home(options.cwd);
  if (client.control_dir) client.control_dir->set_master_args(ssh_arguments(client, std::nullopt));
  return client;
}

std::string ssh_client_repr(const SshClient& client) {
  return concat({"SshClient(host=", debug_quote(client.host),
                 ", port=", std::to_string(client.port),
                 ", username=", debug_quote(client.username),
                 ", cwd=", debug_quote(client.cwd), ")"});
}

std::string resolve_native(const SshClient& client, std::string_view path) {
  return resolve_remote(client.cwd, path);
}

// ---- running ssh ------------------------------------------------------------------------------

std::string_view askpass_script() {
  return "#!/bin/sh\nprintf '%s\\n' \"$TARNWISTLE_SSH_PASSWORD\"\n";
}

namespace {

std::string connect_timeout_text(double seconds) {
  const double up = std::ceil(seconds);
  if (!(up >= 1.0)) return "1";
  if (up >= 18446744073709551615.0) return "18446744073709551615";
  return decimal(static_cast<std::uint64_t>(up));
}

CoreError askpass_error(std::string_view what, int err) {
  return general_error(concat({"cannot ", what, " SSH askpass helper", ": ", os_error_text(err)}));
}

// Writes askpass.sh into a fresh directory; the password itself only travels in the
// environment of the ssh process.
Result<TempDir> write_askpass(std::string& script_path) {
  int err = 0;
  std::optional<TempDir> dir = make_temp_dir(system_temp_dir(), "tarnwistle-askpass-", 0700, err);
  if (!dir) return askpass_error("create", err);
  script_path = dir->add_file("askpass.sh");
  Fd fd(::open(script_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) return askpass_error("write", errno);
  if (const int write_err = write_all(fd.get(), askpass_script()); write_err != 0) {
    return askpass_error("write", write_err);
  }
  if (::close(fd.release()) != 0 && errno != EINTR) return askpass_error("write", errno);
  if (::chmod(script_path.c_str(), 0700) != 0) {
    return general_error(
        concat({"cannot secure SSH askpass helper permissions: ", os_error_text(errno)}));
  }
  return std::move(*dir);
}

std::vector<std::string> ssh_arguments(const SshClient& client,
                                       std::optional<std::string> remote_command) {
  std::vector<std::string> args = {
      "-T", "-p", std::to_string(client.port), "-l", client.username, "-o",
      concat({"ConnectTimeout=", connect_timeout_text(client.connect_timeout)}), "-o",
      client.accept_unknown_host_key ? "StrictHostKeyChecking=accept-new"
                                     : "StrictHostKeyChecking=yes"};
  if (client.key_filename) {
    args.emplace_back("-i");
    args.push_back(*client.key_filename);
  }
  if (client.control_dir) {
    std::string socket = client.control_dir->path();
    join_into(socket, "mux-%C");
    args.insert(args.end(), {"-o", "ControlMaster=auto", "-o", "ControlPersist=60", "-o",
                             concat({"ControlPath=", utf8_lossy(socket)})});
  }
  args.insert(args.end(), client.ssh_flags.begin(), client.ssh_flags.end());
  if (client.password) {
    args.insert(args.end(), {"-o", "BatchMode=no", "-o", "NumberOfPasswordPrompts=1"});
  } else if (!client.allow_password_prompt) {
    args.insert(args.end(), {"-o", "BatchMode=yes"});
  }
  args.push_back(client.host);
  if (remote_command) args.push_back(std::move(*remote_command));
  return args;
}

}  // namespace

Result<SshInvocation> ssh_invocation(const SshClient& client,
                                     std::optional<std::string> remote_command,
                                     std::optional<std::string> stdin_data,
                                     std::optional<std::chrono::nanoseconds> timeout,
                                     std::uint64_t output_limit) {
  SshInvocation inv;
  if (client.password) {
    std::string script;
    Result<TempDir> dir = write_askpass(script);
    if (!dir.ok()) return dir.error();  // the half-made directory is removed with `dir`
    inv.askpass_dir = std::move(*dir);
    inv.request.env = {{"SSH_ASKPASS", utf8_lossy(script)},
                       {"SSH_ASKPASS_REQUIRE", "force"},
                       {"DISPLAY", "tarnwistle:0"},
                       {"TARNWISTLE_SSH_PASSWORD", *client.password}};
  }
  inv.request.program = "ssh";
  inv.request.args = ssh_arguments(client, std::move(remote_command));
  inv.request.stdin_data = std::move(stdin_data);
  inv.request.timeout = timeout;
  inv.request.max_output_bytes = output_limit;
  return inv;
}

Result<ProcessOutput> run_ssh(const SshClient& client, std::optional<std::string> remote_command,
                              std::optional<std::string> stdin_data,
                              std::optional<std::chrono::nanoseconds> timeout,
                              std::uint64_t output_limit, const TimeoutHook& on_timeout) {
  Result<SshInvocation> inv = ssh_invocation(client, std::move(remote_command),
                                             std::move(stdin_data), timeout, output_limit);
  if (!inv.ok()) return inv.error();
  // The askpass directory lives in `inv` until this function returns, after the run.
  return run_process(std::move(inv->request), on_timeout);
}

std::string timeout_seconds_text(std::chrono::nanoseconds timeout) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(timeout.count()) / 1e9);
  return text;
}

namespace {

std::string failure_message(std::string_view op, std::string_view path, const ProcessOutput& out) {
  return concat({"SSH ", op, " failed with exit code ", std::to_string(out.exit_code), ": ", path,
                 ": ", trim_unicode(utf8_lossy(out.stderr_data))});
}

// A time-out, then an overrun of either stream: the outcomes every run shares.
Result<void> check_limits(const SshClient& client, std::string_view op, std::string_view path,
                          const ProcessOutput& out) {
  if (out.timed_out) {
    return make_error(CoreErrorKind::Timeout,
                      concat({"SSH ", op, " timed out after ",
                              timeout_seconds_text(client.operation_timeout), "s: ", path}));
  }
  if (out.stdout_omitted_bytes > 0 || out.stderr_omitted_bytes > 0) {
    return make_error(CoreErrorKind::TransferLimit,
                      concat({"SSH ", op, " exceeded the configured transfer limit of ",
                              decimal(client.max_transfer_bytes), " bytes: ", path}));
  }
  return {};
}

}  // namespace

CoreError failed_remote(std::string_view op, std::string_view path, const ProcessOutput& out) {
  std::string message = failure_message(op, path, out);
  const std::string lower = ascii_lower(message);
  const bool denied = lower.find("permission denied") != std::string::npos;
  // Only ssh's own failures (exit 255) are authentication failures: a remote command that
  // cannot read "password.txt" is an ordinary permission error.
  if (denied && out.exit_code == 255 &&
      (lower.find("publickey") != std::string::npos ||
       lower.find("password") != std::string::npos)) {
    return make_error(CoreErrorKind::Authentication, std::move(message));
  }
  if (denied) return make_error(CoreErrorKind::PermissionDenied, std::move(message));
  return general_error(std::move(message));
}

namespace {

// failed_remote, with a plain ClientError named after `failed_op` when one is given (a method
// built on another reports its own name there).
CoreError failed_as(std::string_view op, std::string_view failed_op, std::string_view path,
                    const ProcessOutput& out) {
  CoreError failed = failed_remote(op, path, out);
  if (failed.kind == CoreErrorKind::General && !failed_op.empty()) {
    failed.message = failure_message(failed_op, path, out);
  }
  return failed;
}

}  // namespace

Result<ProcessOutput> checked_remote(const SshClient& client, std::string_view op,
                                     std::string_view path, std::string remote_command,
                                     std::optional<std::string> stdin_data, int* exit_code,
                                     std::string_view failed_op) {
  Result<ProcessOutput> out = run_ssh(client, std::move(remote_command), std::move(stdin_data),
                                      client.operation_timeout, client.max_transfer_bytes);
  if (!out.ok()) return out;
  if (Result<void> limits = check_limits(client, op, path, *out); !limits.ok()) {
    return std::move(limits.error());
  }
  if (out->exit_code == 0) return out;
  if (exit_code != nullptr) *exit_code = out->exit_code;
  return failed_as(op, failed_op, path, *out);
}

// ---- operations ---------------------------------------------------------------------------------

Result<FileInfo> stat_native(const SshClient& client, std::string_view path) {
  Result<ProcessOutput> out =
      checked_remote(client, "stat", path, stat_script(resolve_native(client, path)), std::nullopt);
  if (!out.ok()) return out.error();
  return parse_stat_record(out->stdout_data, path);
}

Result<std::string> read_bytes_native(const SshClient& client, std::string_view path,
                                      std::string_view op) {
  Result<ProcessOutput> out =
      checked_remote(client, "read_bytes", path, cat_script(resolve_native(client, path)),
                     std::nullopt, nullptr, op);
  if (!out.ok()) return out.error();
  return std::move(out->stdout_data);
}

namespace {

constexpr int WINDOW_ATTEMPTS = 10;

CoreError window_failure(std::string_view path, const ProcessOutput& out) {
  const auto failed = [&](CoreErrorKind kind, std::string_view reason) {
    return make_error(kind, concat({"SSH read_text_window failed: ", path, ": ", reason}));
  };
  switch (static_cast<ScriptExit>(out.exit_code)) {
    case ScriptExit::Missing: return failed(CoreErrorKind::NotFound, "file does not exist");
    case ScriptExit::IsDirectory: return failed(CoreErrorKind::General, "path is a directory");
    case ScriptExit::NotRegular:
      return failed(CoreErrorKind::General, "path is not a regular file");
    case ScriptExit::FileChanged:
      return failed(CoreErrorKind::General, "file kept changing while it was read");
    default: break;
  }
  const std::string stderr_text(trim_unicode(utf8_lossy(out.stderr_data)));
  const bool denied = ascii_lower(stderr_text).find("permission denied") != std::string::npos;
  return failed(denied ? CoreErrorKind::PermissionDenied : CoreErrorKind::General, stderr_text);
}

// Runs the window script until the file held still through one run, at most WINDOW_ATTEMPTS
// times, all within the one operation time-out.
Result<ProcessOutput> run_window(const SshClient& client, const std::string& script) {
  const auto started = std::chrono::steady_clock::now();
  Result<ProcessOutput> out = run_ssh(client, script, std::nullopt, client.operation_timeout,
                                      client.max_transfer_bytes);
  for (int attempt = 2; attempt <= WINDOW_ATTEMPTS && out.ok() && !out->timed_out &&
                        out->exit_code == static_cast<int>(ScriptExit::FileChanged);
       ++attempt) {
    const std::chrono::nanoseconds elapsed = std::chrono::steady_clock::now() - started;
    if (elapsed >= client.operation_timeout) break;
    out = run_ssh(client, script, std::nullopt, client.operation_timeout - elapsed,
                  client.max_transfer_bytes);
  }
  return out;
}

}  // namespace

Result<TextWindow> read_text_window_native(const SshClient& client, std::string_view path,
                                           std::int64_t offset, std::uint64_t limit) {
  const std::string marker = window_marker(call_token());
  Result<ProcessOutput> out =
      run_window(client, window_script(resolve_native(client, path), offset, limit, marker));
  if (!out.ok()) return out.error();
  if (Result<void> limits = check_limits(client, "read_text_window", path, *out); !limits.ok()) {
    return std::move(limits.error());
  }
  if (out->exit_code != 0) return window_failure(path, *out);
  Result<WindowMeta> meta = parse_window_metadata(out->stderr_data, marker, path);
  if (!meta.ok()) return meta.error();
  return TextWindow{std::move(out->stdout_data), meta->total, meta->start, meta->end,
                    meta->truncated};
}

namespace {

// A failed write's exit code as the error the caller sees. The scripts' codes are matched on
// the code itself, not on the message, so a path that happens to contain "exit code 73"
// cannot turn a failure into a conflict.
CoreError write_failure(std::string_view path, ProcessOutput& out, CoreError failed) {
  if (failed.kind != CoreErrorKind::General) return failed;
  switch (static_cast<ScriptExit>(out.exit_code)) {
    case ScriptExit::Conflict:
      return make_error(CoreErrorKind::Conflict, concat({"write conflict: ", path}));
    case ScriptExit::LockTimeout:
      return make_error(CoreErrorKind::Timeout, concat({"write lock timed out: ", path}));
    case ScriptExit::NotDescribed:
      out.exit_code = 1;  // the describing step is the stat script, whose failures exit 1
      return failed_remote("stat", path, out);
    default: return failed;
  }
}

}  // namespace

Result<FileInfo> write_bytes_atomic_native(const SshClient& client, std::string_view path,
                                           std::string_view data,
                                           const std::optional<std::string>& expected_version,
                                           bool create_only, std::string_view op) {
  if (data.size() > client.max_transfer_bytes) {
    return make_error(CoreErrorKind::TransferLimit,
                      concat({"SSH write_bytes failed: ", path, ": content size ",
                              decimal(data.size()), " exceeds the configured transfer limit of ",
                              decimal(client.max_transfer_bytes), " bytes"}));
  }
  const std::string script = write_script(resolve_native(client, path), call_token(),
                                          expected_version, create_only, data.size());
  Result<ProcessOutput> out = run_ssh(client, script, std::string(data),
                                      client.operation_timeout, client.max_transfer_bytes);
  if (!out.ok()) return out.error();
  // Standard output carries only the record of the installed file: an overrun there is the
  // record's, reported as a stat's would be, though the content is in place.
  if (out->exit_code == 0 && !out->timed_out && out->stderr_omitted_bytes == 0 &&
      out->stdout_omitted_bytes > 0) {
    return check_limits(client, "stat", path, *out).error();
  }
  if (Result<void> limits = check_limits(client, "write_bytes", path, *out); !limits.ok()) {
    return std::move(limits.error());
  }
  if (out->exit_code != 0) {
    return write_failure(path, *out, failed_as("write_bytes", op, path, *out));
  }
  return parse_stat_record(out->stdout_data, path);
}

Result<void> delete_if_version_native(const SshClient& client, std::string_view path,
                                      const std::optional<std::string>& expected_version) {
  int code = 0;
  Result<ProcessOutput> out =
      checked_remote(client, "delete", path,
                     delete_script(resolve_native(client, path), expected_version), std::nullopt,
                     &code);
  if (out.ok()) return {};
  if (out.error().kind != CoreErrorKind::General) return out.error();
  switch (static_cast<ScriptExit>(code)) {
    case ScriptExit::Missing:
      return make_error(CoreErrorKind::NotFound,
                        concat({"SSH delete failed: ", path, ": file does not exist"}));
    case ScriptExit::Conflict:
      return make_error(CoreErrorKind::Conflict, concat({"delete conflict: ", path}));
    case ScriptExit::LockTimeout:
      return make_error(CoreErrorKind::Timeout, concat({"delete lock timed out: ", path}));
    default: return out.error();
  }
}

Result<void> mkdir_native(const SshClient& client, std::string_view path, bool parents,
                          bool exist_ok) {
  Result<ProcessOutput> out =
      checked_remote(client, "mkdir", path,
                     mkdir_script(resolve_native(client, path), parents, exist_ok), std::nullopt);
  if (!out.ok()) return out.error();
  return {};
}

void terminate_remote(const SshClient& client, const RemoteProcess& process, bool hurry) {
  // The outcome is ignored on purpose: the runner stops the local ssh next in any case.
  Result<SshInvocation> inv = ssh_invocation(client, terminate_script(process), std::nullopt,
                                             hurry ? HURRIED_STOP_LIMIT : TERMINATE_LIMIT, 8192);
  if (!inv.ok()) return;
  // A hurried stop waits only until the script has sent SIGTERM: the script then finishes on
  // the remote side without its local ssh.
  inv->request.hurried = hurry;
  (void)run_process(std::move(inv->request));
}

Result<ProcessOutput> exec_native(const SshClient& client, const RemoteExec& exec) {
  const std::string token = call_token();
  const std::string marker = exec_marker(token);
  const TimeoutHook hook = [&](std::string_view captured, bool interrupted) {
    if (const std::optional<RemoteProcess> process = find_remote_process(captured, marker)) {
      terminate_remote(client, *process, interrupted);
    }
  };
  Result<SshInvocation> inv = ssh_invocation(
      client, exec_wrapper(token, exec_body(exec.cwd, exec.env, exec.command_piece)),
      exec.stdin_data, exec.timeout, exec.max_output_bytes);
  if (!inv.ok()) return inv.error();
  // The control line is taken out of standard error as it arrives, so it is neither cut by a
  // small output limit nor counted in the result.
  inv->request.stderr_tap = marker;
  return run_process(std::move(inv->request), hook);
}

}  // namespace tarnwistle
