// The remote shell scripts and the parsers of what they print. The texts are the protocol
// between this client and the remote host: change nothing in them lightly. No Python here.
#include <algorithm>
#include <charconv>
#include <limits>

#include "ssh.hpp"

namespace tarnwistle {

// ---- stat ---------------------------------------------------------------------------------------

// The size comes from `stat`, not `wc -c`: a file the remote user may not read still has one.
std::string stat_script(std::string_view resolved) {
  return concat({"p=", shell_quote_path(resolved), R"SH(; if ! test -e "$p" && ! test -L "$p"; then printf 'missing\t0\t-\t0\t-'; exit 0; fi; if test -L "$p"; then kind=symlink; link=1; elif test -f "$p"; then kind=file; link=0; elif test -d "$p"; then kind=directory; link=0; else kind=other; link=0; fi; if test "$kind" = file; then size=$(stat -c '%s' -- "$p" 2>/dev/null || stat -f '%z' "$p") || exit 1; else size=0; fi; mtime=$(stat -c '%Y' -- "$p" 2>/dev/null || stat -f '%m' "$p") || exit 1; signature=$(stat -c '%s:%Y:%i:%y' -- "$p" 2>/dev/null || stat -f '%z:%m:%i' "$p") || exit 1; printf '%s\t%s\t%s\t%s\tremote:%s:%s' "$kind" "$size" "$mtime" "$link" "$kind" "$signature")SH"});
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
  return concat({"p=", shell_quote_path(resolved), R"SH(; if ! test -e "$p" && ! test -L "$p"; then exit 44; fi; if test -d "$p"; then exit 45; fi; if ! test -f "$p"; then exit 46; fi; total=$(awk 'END { print NR }' "$p") || exit 1; )SH",
                 window_range(offset, limit),
                 R"SH(; if test "$start" -le "$end"; then sed -n "${start},${end}p" "$p" || exit 1; fi; printf '%s\t%s\t%s\t%s\t%s\n' )SH",
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
                 R"SH( || exit 1; if test -e "$target" && ! test -L "$target"; then chmod --reference="$target" "$tmp" 2>/dev/null || chmod "$(stat -c '%a' -- "$target" 2>/dev/null || stat -f '%Lp' "$target")" "$tmp" 2>/dev/null || true; fi; mv -f -- "$tmp" "$target" || exit 1; trap - EXIT HUP INT TERM; rmdir -- "$lock" 2>/dev/null || true)SH"});
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
