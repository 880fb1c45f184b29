#include "ssh.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "constants.hpp"
#include "local.hpp"

namespace tarnwistle {

// ---- temporary directories ------------------------------------------------------------------

namespace {

// A local path joined by the local client's rule: an absolute `rest` replaces `base`.
std::string join_local(std::string_view base, std::string_view rest) {
  std::string out(base);
  join_into(out, rest);
  return out;
}

}  // namespace

TempDir& TempDir::operator=(TempDir&& o) noexcept {
  if (this != &o) {
    remove();
    path_ = std::exchange(o.path_, std::string());
    files_ = std::move(o.files_);
  }
  return *this;
}

const std::string& TempDir::add_file(std::string_view name) {
  return files_.emplace_back(join_local(path_, name));
}

void TempDir::remove() noexcept {
  if (path_.empty()) return;
  for (const std::string& file : files_) ::unlink(file.c_str());
  if (::rmdir(path_.c_str()) != 0) {  // something unknown inside (an ssh master's socket)
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  path_.clear();
  files_.clear();
}

std::optional<TempDir> make_temp_dir(std::string_view parent, std::string_view prefix,
                                     unsigned mode, int& err) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path = join_local(parent, concat({prefix, random_name_chars(6)}));
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return TempDir(std::move(path));
    if (errno != EEXIST) {
      err = errno;
      return std::nullopt;
    }
  }
  err = EEXIST;
  return std::nullopt;
}

std::string system_temp_dir() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp");
}

// ---- construction -----------------------------------------------------------------------------

std::uint64_t expanded_control_path_bytes(std::string_view dir) {
  return utf8_lossy(join_local(dir, "mux-%C")).size() + 38;
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
  return general_error(concat({"SSH ControlPath is too long (", std::to_string(length),
                               " bytes; maximum is ", std::to_string(CONTROL_PATH_LIMIT), ")"}));
}

std::string expand_local_key(std::string_view key) {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return std::string(key);
  if (key == "~") return std::string(home);
  if (key.starts_with("~/")) return utf8_lossy(join_local(home, key.substr(2)));
  return std::string(key);
}

namespace {

bool positive_finite(double value) { return std::isfinite(value) && value > 0.0; }

std::chrono::nanoseconds seconds_to_duration(double seconds) {
  const long double ns = std::nearbyintl(static_cast<long double>(seconds) * 1e9L);
  if (ns >= static_cast<long double>(INT64_MAX)) return std::chrono::nanoseconds::max();
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

bool kept_flag(std::string_view flag) {
  return flag == "-X" || flag == "-Y" || flag == "-A" || flag == "-a" || flag == "-C";
}

}  // namespace

Result<SshClient> connect(SshOptions options) {
  SshClient client;
  client.host = std::string(trim_unicode(options.host));
  client.username = std::string(trim_unicode(options.username));
  if (client.host.empty()) return invalid_value("ssh host is required");
  if (client.host.front() == '-') return invalid_value("ssh host must not start with '-'");
  if (client.username.empty()) return invalid_value("ssh user is required");
  if (!positive_finite(options.connect_timeout)) {
    return invalid_value("connect_timeout must be a positive finite number");
  }
  if (!positive_finite(options.operation_timeout)) {
    return invalid_value("operation_timeout must be a positive finite number");
  }
  if (options.max_transfer_bytes == 0 ||
      options.max_transfer_bytes > MAX_TRANSFER_BYTES_LIMIT) {
    return invalid_value("max_transfer_bytes must be between 1 and 268435456");
  }
  if (options.multiplexing) {
    Result<TempDir> dir = create_control_dir();
    if (!dir.ok()) return dir.error();
    client.control_dir = std::move(*dir);
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
  client.operation_timeout = seconds_to_duration(options.operation_timeout);
  client.max_transfer_bytes = options.max_transfer_bytes;
  client.allow_password_prompt = options.allow_password_prompt;
  client.accept_unknown_host_key = options.accept_unknown_host_key;
  client.cwd = resolve_from_home(options.cwd);
  return client;
}

std::string ssh_client_repr(const SshClient& client) {
  return concat({"SshClient(host=", debug_quote(client.host),
                 ", port=", std::to_string(client.port),
                 ", username=", debug_quote(client.username),
                 ", cwd=", debug_quote(client.cwd), ")"});
}

// ---- remote paths -------------------------------------------------------------------------------

std::string normalize_posix(std::string_view path) {
  const bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view part = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);
      }
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  out.reserve(path.size() + 1);
  for (std::string_view part : parts) {
    if (!out.empty() || absolute) out += '/';
    out.append(part);
  }
  if (out.empty()) return absolute ? "/" : ".";
  return out;
}

std::string join_posix(std::span<const std::string_view> parts) {
  if (parts.empty()) return std::string();
  std::string out(parts.front());
  for (std::string_view part : parts.subspan(1)) {
    while (!part.empty() && part.front() == '/') part.remove_prefix(1);
    if (out.empty() || out.back() != '/') out += '/';
    out.append(part);
  }
  return out;
}

std::string shell_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    if (c == '\'') {
      out += "'\"'\"'";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string shell_quote_path(std::string_view path) {
  if (path == "~") return "\"$HOME\"";
  if (path.starts_with("~/")) return concat({"\"$HOME\"/", shell_quote(path.substr(2))});
  return shell_quote(path);
}

std::string resolve_remote(std::string_view cwd, std::string_view path) {
  if (path.empty()) return normalize_posix(concat({cwd, "/"}));
  if (path == "~") return "~";
  if (path.starts_with("~/")) return normalize_posix(concat({"~/", path.substr(2)}));
  if (path.front() == '/') return normalize_posix(path);
  return normalize_posix(concat({cwd, "/", path}));
}

std::string resolve_from_home(std::string_view path) {
  if (path.empty() || path == "~" || path == ".") return "~";
  if (path.starts_with("~/")) return normalize_posix(concat({"~/", path.substr(2)}));
  if (path.front() == '/') return normalize_posix(path);
  return normalize_posix(concat({"~/", path}));
}

std::string resolve_native(const SshClient& client, std::string_view path) {
  return resolve_remote(client.cwd, path);
}

std::string remote_parent(std::string_view resolved) {
  if (resolved.empty() || resolved == "/") return "/";
  const std::size_t slash = resolved.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  if (slash == 0) return "/";
  return std::string(resolved.substr(0, slash));
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
  return std::to_string(static_cast<std::uint64_t>(up));
}

// Writes askpass.sh into a fresh directory; the password itself only travels in the
// environment of the ssh process.
Result<TempDir> write_askpass(std::string& script_path) {
  int err = 0;
  std::optional<TempDir> dir = make_temp_dir(system_temp_dir(), "tarnwistle-askpass-", 0700, err);
  if (!dir) {
    return general_error(concat({"cannot create SSH askpass helper: ", os_error_text(err)}));
  }
  script_path = dir->add_file("askpass.sh");
  const int fd = ::open(script_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return general_error(concat({"cannot write SSH askpass helper: ", os_error_text(errno)}));
  }
  std::string_view rest = askpass_script();
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int write_err = n < 0 ? errno : EIO;
      ::close(fd);
      return general_error(concat({"cannot write SSH askpass helper: ", os_error_text(write_err)}));
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0 && errno != EINTR) {
    return general_error(concat({"cannot write SSH askpass helper: ", os_error_text(errno)}));
  }
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
    const std::string socket = utf8_lossy(join_local(client.control_dir->path(), "mux-%C"));
    args.insert(args.end(), {"-o", "ControlMaster=auto", "-o", "ControlPersist=60", "-o",
                             concat({"ControlPath=", socket})});
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

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string trimmed_stderr(const ProcessOutput& out) {
  return std::string(trim_unicode(utf8_lossy(out.stderr_data)));
}

}  // namespace

CoreError failed_remote(std::string_view op, std::string_view path, const ProcessOutput& out) {
  std::string message = concat({"SSH ", op, " failed with exit code ",
                                std::to_string(out.exit_code), ": ", path, ": ",
                                trimmed_stderr(out)});
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

CoreError transfer_limit_error(const SshClient& client, std::string_view op,
                               std::string_view path) {
  return make_error(CoreErrorKind::TransferLimit,
                    concat({"SSH ", op, " exceeded the configured transfer limit of ",
                            std::to_string(client.max_transfer_bytes), " bytes: ", path}));
}

// The outcome rules of one run with the client's limits, in their order.
Result<void> check_outcome(const SshClient& client, std::string_view op, std::string_view path,
                           const ProcessOutput& out) {
  if (out.timed_out) {
    return make_error(CoreErrorKind::Timeout,
                      concat({"SSH ", op, " timed out after ",
                              timeout_seconds_text(client.operation_timeout), "s: ", path}));
  }
  if (out.stdout_omitted_bytes > 0 || out.stderr_omitted_bytes > 0) {
    return transfer_limit_error(client, op, path);
  }
  if (out.exit_code == 0) return {};
  return failed_remote(op, path, out);
}

}  // namespace

Result<ProcessOutput> checked_remote(const SshClient& client, std::string_view op,
                                     std::string_view path, std::string remote_command,
                                     std::optional<std::string> stdin_data, int* exit_code) {
  Result<ProcessOutput> out = run_ssh(client, std::move(remote_command), std::move(stdin_data),
                                      client.operation_timeout, client.max_transfer_bytes);
  if (!out.ok()) return out;
  Result<void> checked = check_outcome(client, op, path, *out);
  if (checked.ok()) return out;
  if (exit_code != nullptr) *exit_code = out->exit_code;
  return std::move(checked.error());
}

// ---- operations ---------------------------------------------------------------------------------

Result<FileInfo> stat_native(const SshClient& client, std::string_view path) {
  Result<ProcessOutput> out =
      checked_remote(client, "stat", path, stat_script(resolve_native(client, path)), std::nullopt);
  if (!out.ok()) return out.error();
  return parse_stat_record(out->stdout_data, path);
}

Result<std::string> read_bytes_native(const SshClient& client, std::string_view path) {
  Result<ProcessOutput> out = checked_remote(
      client, "read_bytes", path, cat_script(resolve_native(client, path)), std::nullopt);
  if (!out.ok()) return out.error();
  return std::move(out->stdout_data);
}

namespace {

// Exit code of the window script when the file was replaced while it was read.
constexpr int WINDOW_FILE_CHANGED = 75;
// Exit code of the write script when the file was installed but could not be described.
constexpr int WRITE_NOT_DESCRIBED = 47;
constexpr int WINDOW_ATTEMPTS = 10;

CoreError window_failure(std::string_view path, const ProcessOutput& out) {
  const auto failed = [&](CoreErrorKind kind, std::string_view reason) {
    return make_error(kind, concat({"SSH read_text_window failed: ", path, ": ", reason}));
  };
  switch (out.exit_code) {
    case 44: return failed(CoreErrorKind::NotFound, "file does not exist");
    case 45: return failed(CoreErrorKind::General, "path is a directory");
    case 46: return failed(CoreErrorKind::General, "path is not a regular file");
    case WINDOW_FILE_CHANGED:
      return failed(CoreErrorKind::General, "file kept changing while it was read");
    default: break;
  }
  const std::string stderr_text(trim_unicode(utf8_lossy(out.stderr_data)));
  const bool denied = ascii_lower(stderr_text).find("permission denied") != std::string::npos;
  return failed(denied ? CoreErrorKind::PermissionDenied : CoreErrorKind::General, stderr_text);
}

}  // namespace

Result<TextWindow> read_text_window_native(const SshClient& client, std::string_view path,
                                           std::int64_t offset, std::uint64_t limit) {
  const std::string marker = concat({"__TARNWISTLE_WINDOW_", call_token(), "__"});
  const std::string script = window_script(resolve_native(client, path), offset, limit, marker);
  // The script counts the lines and prints the window in two passes over the path. When a
  // writer replaces the file in between, it exits WINDOW_FILE_CHANGED instead of pairing one
  // version's lines with another's count, and the read starts over on the new file, all
  // within the one operation time-out.
  const auto started = std::chrono::steady_clock::now();
  Result<ProcessOutput> out = run_ssh(client, script, std::nullopt, client.operation_timeout,
                                      client.max_transfer_bytes);
  for (int attempt = 2; attempt <= WINDOW_ATTEMPTS && out.ok() && !out->timed_out &&
                        out->exit_code == WINDOW_FILE_CHANGED;
       ++attempt) {
    const std::chrono::nanoseconds elapsed = std::chrono::steady_clock::now() - started;
    if (elapsed >= client.operation_timeout) break;
    out = run_ssh(client, script, std::nullopt, client.operation_timeout - elapsed,
                  client.max_transfer_bytes);
  }
  if (!out.ok()) return out.error();
  if (out->timed_out) {
    return make_error(CoreErrorKind::Timeout,
                      concat({"SSH read_text_window timed out after ",
                              timeout_seconds_text(client.operation_timeout), "s: ", path}));
  }
  if (out->stdout_omitted_bytes > 0 || out->stderr_omitted_bytes > 0) {
    return make_error(CoreErrorKind::TransferLimit,
                      concat({"SSH read_text_window exceeded the configured transfer limit of ",
                              std::to_string(client.max_transfer_bytes), " bytes: ", path}));
  }
  if (out->exit_code != 0) return window_failure(path, *out);
  Result<WindowMeta> meta = parse_window_metadata(out->stderr_data, marker, path);
  if (!meta.ok()) return meta.error();
  return TextWindow{std::move(out->stdout_data), meta->total, meta->start, meta->end,
                    meta->truncated};
}

// The scripts' exit codes are matched on the code itself, not on the message text, so a path
// that happens to contain "exit code 73" cannot turn a failure into a conflict.
Result<FileInfo> write_bytes_atomic_native(const SshClient& client, std::string_view path,
                                           std::string_view data,
                                           const std::optional<std::string>& expected_version,
                                           bool create_only) {
  if (data.size() > client.max_transfer_bytes) {
    return make_error(CoreErrorKind::TransferLimit,
                      concat({"SSH write_bytes failed: ", path, ": content size ",
                              std::to_string(data.size()),
                              " exceeds the configured transfer limit of ",
                              std::to_string(client.max_transfer_bytes), " bytes"}));
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
    return transfer_limit_error(client, "stat", path);
  }
  Result<void> checked = check_outcome(client, "write_bytes", path, *out);
  if (!checked.ok()) {
    if (checked.error().kind != CoreErrorKind::General) return std::move(checked.error());
    switch (out->exit_code) {
      case 73: return make_error(CoreErrorKind::Conflict, concat({"write conflict: ", path}));
      case 74: return make_error(CoreErrorKind::Timeout, concat({"write lock timed out: ", path}));
      case WRITE_NOT_DESCRIBED:
        out->exit_code = 1;  // the describing step is the stat script, whose failures exit 1
        return failed_remote("stat", path, *out);
      default: return std::move(checked.error());
    }
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
  if (out.error().kind == CoreErrorKind::General) {
    switch (code) {
      case 44:
        return make_error(CoreErrorKind::NotFound,
                          concat({"SSH delete failed: ", path, ": file does not exist"}));
      case 73: return make_error(CoreErrorKind::Conflict, concat({"delete conflict: ", path}));
      case 74: return make_error(CoreErrorKind::Timeout, concat({"delete lock timed out: ", path}));
      default: break;
    }
  }
  return out.error();
}

Result<void> mkdir_native(const SshClient& client, std::string_view path, bool parents,
                          bool exist_ok) {
  Result<ProcessOutput> out =
      checked_remote(client, "mkdir", path,
                     mkdir_script(resolve_native(client, path), parents, exist_ok), std::nullopt);
  if (!out.ok()) return out.error();
  return {};
}

void terminate_remote(const SshClient& client, const RemoteProcess& process) {
  // The outcome is ignored on purpose: the runner stops the local ssh next in any case.
  (void)run_ssh(client, terminate_script(process), std::nullopt, std::chrono::seconds(3), 8192);
}

Result<ProcessOutput> exec_native(const SshClient& client, const RemoteExec& exec) {
  const std::string token = call_token();
  const std::string marker = exec_marker(token);
  Result<SshInvocation> inv =
      ssh_invocation(client, exec_wrapper(token, exec_body(exec.cwd, exec.env, exec.command_piece)),
                     exec.stdin_data, exec.timeout, exec.max_output_bytes);
  if (!inv.ok()) return inv.error();
  const TimeoutHook hook = [&](std::string_view captured) {
    if (const std::optional<RemoteProcess> process = find_remote_process(captured, marker)) {
      terminate_remote(client, *process);
    }
  };
  Result<ProcessOutput> out = run_process(std::move(inv->request), hook);
  if (!out.ok()) return out;
  auto [stderr_data, removed] = strip_control_marker(out->stderr_data, marker);
  out->stderr_data = std::move(stderr_data);
  out->stderr_total_bytes -= std::min(out->stderr_total_bytes, removed);
  return out;
}

// ==== the remote shell scripts and the parsers of what they print ============================
// The texts are the protocol between this client and the remote host: change nothing in them
// lightly.
// ---- stat ---------------------------------------------------------------------------------------

namespace {

// Describes the path in $p as one stat record on standard output; a failed step exits 1. The
// stat script is this body, and the write script runs it in a subshell after installing, so
// the record of the file just written has the very form of a stat.
// The size comes from `stat`, not `wc -c`: a file the remote user may not read still has one.
constexpr std::string_view DESCRIBE_P = R"SH(if ! test -e "$p" && ! test -L "$p"; then printf 'missing\t0\t-\t0\t-'; exit 0; fi; if test -L "$p"; then kind=symlink; link=1; elif test -f "$p"; then kind=file; link=0; elif test -d "$p"; then kind=directory; link=0; else kind=other; link=0; fi; if test "$kind" = file; then size=$(stat -c '%s' -- "$p" 2>/dev/null || stat -f '%z' "$p") || exit 1; else size=0; fi; mtime=$(stat -c '%Y' -- "$p" 2>/dev/null || stat -f '%m' "$p") || exit 1; signature=$(stat -c '%s:%Y:%i:%y' -- "$p" 2>/dev/null || stat -f '%z:%m:%i' "$p") || exit 1; printf '%s\t%s\t%s\t%s\tremote:%s:%s' "$kind" "$size" "$mtime" "$link" "$kind" "$signature")SH";

}  // namespace

std::string stat_script(std::string_view resolved) {
  return concat({"p=", shell_quote_path(resolved), "; ", DESCRIBE_P});
}

// ---- reads --------------------------------------------------------------------------------------

std::string cat_script(std::string_view resolved) {
  return concat({"cat -- ", shell_quote_path(resolved)});
}

namespace {

constexpr std::uint64_t I64_MAX =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::string window_range(std::int64_t offset, std::uint64_t limit) {
  if (offset >= 0) {
    const std::uint64_t start = std::max<std::uint64_t>(static_cast<std::uint64_t>(offset), 1);
    std::uint64_t end = start + (limit - 1);
    if (end < start) end = std::numeric_limits<std::uint64_t>::max();  // saturate
    end = std::min(end, I64_MAX);
    return concat({"start=", std::to_string(start), "; end=", std::to_string(end), R"SH(; if test "$end" -gt "$total"; then end=$total; fi; if test "$start" -gt "$total"; then start=$((total + 1)); fi; if test "$end" -lt "$total"; then truncated=1; else truncated=0; fi)SH"});
  }
  // -offset without overflow: the most negative offset also gives I64_MAX.
  const std::uint64_t wanted = std::min(static_cast<std::uint64_t>(-(offset + 1)) + 1, I64_MAX);
  const std::string n = std::to_string(wanted);
  return concat({R"SH(if test "$total" -gt )SH", n, R"SH(; then start=$((total - )SH", n,
                 R"SH( + 1)); else start=1; fi; end=$total; truncated=0)SH"});
}

}  // namespace

std::string window_script(std::string_view resolved, std::int64_t offset, std::uint64_t limit,
                          std::string_view marker) {
  return concat({"p=", shell_quote_path(resolved), R"SH(; if ! test -e "$p" && ! test -L "$p"; then exit 44; fi; if test -d "$p"; then exit 45; fi; if ! test -f "$p"; then exit 46; fi; tw_id() { stat -c '%s:%Y:%i:%y' -- "$p" 2>/dev/null || stat -f '%z:%m:%i' "$p" 2>/dev/null; }; id=$(tw_id); total=$(awk 'END { print NR }' "$p") || exit 1; )SH",
                 window_range(offset, limit),
                 R"SH(; if test "$start" -le "$end"; then sed -n "${start},${end}p" "$p" || exit 1; fi; test "$(tw_id)" = "$id" || exit )SH",
                 std::to_string(WINDOW_FILE_CHANGED), R"SH(; printf '%s\t%s\t%s\t%s\t%s\n' )SH",
                 shell_quote(marker), R"SH( "$total" "$start" "$end" "$truncated" >&2)SH"});
}

// ---- writes, deletes, mkdir -------------------------------------------------------------------

namespace {

std::string version_check(const std::optional<std::string>& expected_version) {
  if (!expected_version) return ":";
  return concat({R"SH(test "$before" = )SH", shell_quote(*expected_version), " || exit 73"});
}

constexpr std::string_view LOCK_LOOP = R"SH(lock="${target}.tarnwistle.lock"; acquired=0; i=0; while test "$i" -lt 200; do if mkdir -- "$lock" 2>/dev/null; then acquired=1; break; fi; sleep 0.05; i=$((i + 1)); done; test "$acquired" = 1 || exit 74; )SH";

}  // namespace

// The written length is checked before the rename: when the local ssh is stopped while it
// sends, the remote `cat` just sees end of input, and a prefix must not replace the file.
// The installed file is described while the lock is still held, so the version handed back
// is that of this content even when another writer replaces it right after.
std::string write_script(std::string_view resolved, std::string_view token,
                         const std::optional<std::string>& expected_version, bool create_only,
                         std::uint64_t length) {
  return concat({"target=", shell_quote_path(resolved), "; parent=",
                 shell_quote_path(remote_parent(resolved)), R"SH(; mkdir -p -- "$parent" || exit 1; )SH",
                 LOCK_LOOP, R"SH(tmp="${target}.tarnwistle-)SH", token,
                 R"SH(.tmp"; cleanup() { rm -f -- "$tmp"; rmdir -- "$lock" 2>/dev/null || true; }; trap cleanup EXIT HUP INT TERM; tw_version() { if ! test -e "$1" && ! test -L "$1"; then printf missing; return; fi; if test -L "$1"; then kind=symlink; elif test -f "$1"; then kind=file; elif test -d "$1"; then kind=directory; else kind=other; fi; signature=$(stat -c '%s:%Y:%i:%y' -- "$1" 2>/dev/null || stat -f '%z:%m:%i' "$1") || return 1; printf 'remote:%s:%s' "$kind" "$signature"; }; before=$(tw_version "$target") || exit 1; )SH",
                 create_only ? R"SH(test "$before" = missing || exit 73)SH" : ":", "; ",
                 version_check(expected_version),
                 R"SH(; umask 077; cat > "$tmp" || exit 1; written=$(wc -c < "$tmp") || exit 1; test $written -eq )SH",
                 std::to_string(length),
                 R"SH( || exit 1; if test -e "$target" && ! test -L "$target"; then chmod --reference="$target" "$tmp" 2>/dev/null || chmod "$(stat -c '%a' -- "$target" 2>/dev/null || stat -f '%Lp' "$target")" "$tmp" 2>/dev/null || true; fi; mv -f -- "$tmp" "$target" || exit 1; record=$(p=$target; )SH",
                 DESCRIBE_P, ") || exit ", std::to_string(WRITE_NOT_DESCRIBED),
                 R"SH(; trap - EXIT HUP INT TERM; rmdir -- "$lock" 2>/dev/null || true; printf '%s' "$record")SH"});
}

std::string delete_script(std::string_view resolved,
                          const std::optional<std::string>& expected_version) {
  return concat({"target=", shell_quote_path(resolved), "; ", LOCK_LOOP,
                 R"SH(cleanup() { rmdir -- "$lock" 2>/dev/null || true; }; trap cleanup EXIT HUP INT TERM; if ! test -e "$target" && ! test -L "$target"; then exit 44; fi; if test -L "$target"; then kind=symlink; elif test -f "$target"; then kind=file; elif test -d "$target"; then kind=directory; else kind=other; fi; signature=$(stat -c '%s:%Y:%i:%y' -- "$target" 2>/dev/null || stat -f '%z:%m:%i' "$target") || exit 1; before="remote:${kind}:${signature}"; )SH",
                 version_check(expected_version),
                 R"SH(; rm -f -- "$target" || exit 1; trap - EXIT HUP INT TERM; rmdir -- "$lock" 2>/dev/null || true)SH"});
}

std::string mkdir_script(std::string_view resolved, bool parents, bool exist_ok) {
  const std::string q = shell_quote_path(resolved);
  if (parents && exist_ok) return concat({"mkdir -p -- ", q});
  if (parents) {
    return concat({"mkdir -p -- ", shell_quote_path(remote_parent(resolved)), " && mkdir -- ", q});
  }
  if (exist_ok) return concat({"mkdir -- ", q, " 2>/dev/null || test -d ", q});
  return concat({"mkdir -- ", q});
}

// ---- exec -------------------------------------------------------------------------------------

std::string exec_marker(std::string_view token) { return concat({"__TARNWISTLE_", token, "__"}); }

std::string exec_body(std::string_view cwd, const EnvMap& env, std::string_view command_piece) {
  std::string body = concat({"cd ", shell_quote_path(cwd)});
  for (const auto& [name, value] : env) {
    body += concat({" && export ", shell_quote(name), "=", shell_quote(value)});
  }
  body += " && ";
  body.append(command_piece);
  return body;
}

std::string interpreter_piece(std::string_view interpreter, std::span<const std::string> flags,
                              std::string_view command) {
  std::string piece = shell_quote(interpreter);
  for (const std::string& flag : flags) {
    piece += ' ';
    piece += shell_quote(flag);
  }
  piece += ' ';
  piece += shell_quote(command);
  return piece;
}

std::string exec_wrapper(std::string_view token, std::string_view body) {
  const std::string flush = concat({"__tarnwistle_flush_", token});
  const std::string status = concat({"__tarnwistle_status_", token});
  const std::string script = concat({flush, "() { ", status, R"SH(="$1"; trap - EXIT; sleep 0.01; exit "$)SH",
                                     status, R"SH("; }; trap ')SH", flush, R"SH( "$?"' EXIT; )SH", body});
  const std::string quoted_marker = shell_quote(exec_marker(token));
  const std::string quoted_script = shell_quote(script);
  const std::string pgid_line = concat({R"SH(printf '%s PGID %s\n' )SH", quoted_marker,
                                        R"SH( "$$" >&2; exec sh -c )SH", quoted_script});
  const std::string pid_line = concat({R"SH(printf '%s PID %s\n' )SH", quoted_marker,
                                       R"SH( "$$" >&2; exec sh -c )SH", quoted_script});
  const std::string quoted_pgid = shell_quote(pgid_line);
  return concat({R"SH(if command -v setsid >/dev/null 2>&1 && setsid --wait true >/dev/null 2>&1; then exec setsid --wait sh -c )SH",
                 quoted_pgid,
                 R"SH(; elif command -v setsid >/dev/null 2>&1 && setsid -w true >/dev/null 2>&1; then exec setsid -w sh -c )SH",
                 quoted_pgid, "; else exec sh -c ", shell_quote(pid_line), "; fi"});
}

// Every descendant is followed: the function keeps its argument in "$1", which each call has
// for its own, rather than in a global that the recursive call would overwrite.
std::string terminate_script(const RemoteProcess& process) {
  const std::string id = std::to_string(process.id);
  if (process.kind == RemoteProcessKind::Group) {
    const std::string target = concat({"-", id});
    return concat({"kill -TERM ", target, " 2>/dev/null || true; i=0; while kill -0 ", target,
                   R"SH( 2>/dev/null && [ "$i" -lt 10 ]; do sleep 0.1; i=$((i + 1)); done; kill -KILL )SH",
                   target, " 2>/dev/null || true"});
  }
  return concat({R"SH(table=$(ps -eo pid=,ppid= 2>/dev/null || true); tw_descendants() { printf '%s\n' "$table" | while read -r child parent_id; do if [ "$parent_id" = "$1" ]; then printf '%s\n' "$child"; tw_descendants "$child"; fi; done; }; descendants=$(tw_descendants )SH",
                 id, R"SH(); targets=")SH", id,
                 R"SH( $descendants"; kill -TERM $targets 2>/dev/null || true; i=0; while [ "$i" -lt 10 ]; do alive=0; for target in $targets; do if kill -0 "$target" 2>/dev/null; then alive=1; break; fi; done; [ "$alive" -eq 0 ] && break; sleep 0.1; i=$((i + 1)); done; kill -KILL $targets 2>/dev/null || true)SH"});
}

// ---- parsers ------------------------------------------------------------------------------------

namespace {

// Unsigned decimal with an optional leading '+'; nothing else, no overflow.
template <class U>
std::optional<U> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  U value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const U digit = static_cast<U>(c - '0');
    if (value > (std::numeric_limits<U>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::vector<std::string_view> split_on(std::string_view text, char sep) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (true) {
    const std::size_t next = text.find(sep, pos);
    if (next == std::string_view::npos) {
      fields.push_back(text.substr(pos));
      return fields;
    }
    fields.push_back(text.substr(pos, next - pos));
    pos = next + 1;
  }
}

// Lines at "\n", one "\r" before it belonging to the separator; a final "\n" starts nothing.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = text.find('\n', pos);
    std::string_view line;
    if (next == std::string_view::npos) {
      line = text.substr(pos);
      next = text.size();
    } else {
      line = text.substr(pos, next - pos);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    lines.push_back(line);
    pos = next + 1;
  }
  return lines;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0, start = 0;
  bool in_word = false;
  while (i < line.size()) {
    std::size_t len = 1;
    const bool space = is_unicode_space(decode_utf8_at(line, i, len));
    if (space && in_word) words.push_back(line.substr(start, i - start));
    if (!space && !in_word) start = i;
    in_word = !space;
    i += len;
  }
  if (in_word) words.push_back(line.substr(start));
  return words;
}

std::optional<std::int32_t> parse_i32(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  const std::optional<std::uint64_t> magnitude = parse_unsigned<std::uint64_t>(text);
  if (!magnitude) return std::nullopt;
  if (negative) {
    if (*magnitude > 2147483648ULL) return std::nullopt;
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(*magnitude));
  }
  if (*magnitude > 2147483647ULL) return std::nullopt;
  return static_cast<std::int32_t>(*magnitude);
}

CoreError window_error(std::string_view path, std::string_view reason) {
  return general_error(concat({"SSH read_text_window failed: ", path, ": ", reason}));
}

}  // namespace

Result<FileInfo> parse_stat_record(std::string_view stdout_data, std::string_view path) {
  const std::string text = utf8_lossy(stdout_data);
  const std::vector<std::string_view> fields = split_on(text, '\t');
  if (fields[0] == "missing") return FileInfo{};
  if (fields.size() != 5) {
    return general_error(concat({"SSH stat failed: ", path, ": invalid metadata response"}));
  }
  const std::optional<std::uint64_t> size = parse_unsigned<std::uint64_t>(trim_unicode(fields[1]));
  if (!size) return general_error(concat({"SSH stat failed: ", path, ": invalid file size"}));
  FileInfo info;
  info.exists = true;
  info.kind = std::string(fields[0]);
  info.size = *size;
  if (const auto seconds = parse_unsigned<unsigned __int128>(trim_unicode(fields[2]))) {
    constexpr unsigned __int128 MAX = ~static_cast<unsigned __int128>(0);
    info.modified_ns = *seconds > MAX / 1000000000u ? MAX : *seconds * 1000000000u;
  }
  info.is_symlink = fields[3] == "1";
  info.version = std::string(fields[4]);
  return info;
}

Result<WindowMeta> parse_window_metadata(std::string_view stderr_data, std::string_view marker,
                                         std::string_view path) {
  const std::string text = utf8_lossy(stderr_data);
  for (std::string_view line : split_lines(text)) {
    if (!line.starts_with(marker)) continue;
    const std::vector<std::string_view> fields = split_on(line, '\t');
    if (fields.size() != 5) return window_error(path, "invalid window metadata");
    const auto total = parse_unsigned<std::uint64_t>(fields[1]);
    if (!total) return window_error(path, "invalid total line count");
    const auto start = parse_unsigned<std::uint64_t>(fields[2]);
    if (!start) return window_error(path, "invalid start line");
    const auto end = parse_unsigned<std::uint64_t>(fields[3]);
    if (!end) return window_error(path, "invalid end line");
    return WindowMeta{*total, *start, *end, fields[4] == "1"};
  }
  return window_error(path, "missing window metadata");
}

// Blank lines (which only a banner could print ahead of the control line) are skipped.
std::optional<RemoteProcess> find_remote_process(std::string_view stderr_data,
                                                 std::string_view marker) {
  const std::string text = utf8_lossy(stderr_data);
  for (std::string_view line : split_lines(text)) {
    const std::vector<std::string_view> words = split_words(line);
    if (words.empty() || words[0] != marker) continue;
    if (words.size() < 3) return std::nullopt;
    const std::optional<std::int32_t> id = parse_i32(words[2]);
    if (!id) return std::nullopt;
    if (*id < 1) continue;
    if (words[1] == "PGID") return RemoteProcess{RemoteProcessKind::Group, *id};
    if (words[1] == "PID") return RemoteProcess{RemoteProcessKind::Process, *id};
    return std::nullopt;
  }
  return std::nullopt;
}

std::pair<std::string, std::uint64_t> strip_control_marker(std::string_view stderr_data,
                                                           std::string_view marker) {
  const std::size_t at = marker.empty() ? std::string_view::npos : stderr_data.find(marker);
  if (at == std::string_view::npos) return {std::string(stderr_data), 0};
  const std::size_t newline = stderr_data.find('\n', at);
  const std::size_t end = newline == std::string_view::npos ? stderr_data.size() : newline + 1;
  if (!find_remote_process(stderr_data.substr(at, end - at), marker)) {
    return {std::string(stderr_data), 0};
  }
  std::string out;
  out.reserve(stderr_data.size() - (end - at));
  out.append(stderr_data.substr(0, at));
  out.append(stderr_data.substr(end));
  return {std::move(out), end - at};
}

}  // namespace tarnwistle
