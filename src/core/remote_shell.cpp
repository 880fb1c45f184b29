#include "remote_shell.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "text.hpp"

namespace tarnwistle {

// ---- remote paths -----------------------------------------------------------------------------

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

std::string remote_parent(std::string_view resolved) {
  if (resolved.empty() || resolved == "/") return "/";
  const std::size_t slash = resolved.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  if (slash == 0) return "/";
  return std::string(resolved.substr(0, slash));
}

// ---- script pieces ----------------------------------------------------------------------------
// Each script is assembled from the named pieces below; @V@ stands for the shell variable a
// piece works on ("p", "1", "target"), so a snippet whose output must agree across scripts is
// written once.

namespace {

std::string code(ScriptExit e) { return std::to_string(static_cast<int>(e)); }

// `templ` with every @V@ replaced by `var`.
std::string on(std::string_view templ, std::string_view var) {
  std::string out;
  out.reserve(templ.size() + 16);
  for (std::size_t pos = 0;;) {
    const std::size_t at = templ.find("@V@", pos);
    out.append(templ.substr(pos, at - pos));
    if (at == std::string_view::npos) return out;
    out.append(var);
    pos = at + 3;
  }
}

// Opens the branch taken when the path names nothing, not even a dangling link.
constexpr std::string_view IF_MISSING = R"(if ! test -e "$@V@" && ! test -L "$@V@"; then)";

// The kind word, tested in this order: link, regular file, directory, anything else.
constexpr std::string_view KIND =
    R"(if test -L "$@V@"; then kind=symlink; elif test -f "$@V@"; then kind=file; )"
    R"(elif test -d "$@V@"; then kind=directory; else kind=other; fi)";
constexpr std::string_view KIND_AND_LINK =
    R"(if test -L "$@V@"; then kind=symlink; link=1; elif test -f "$@V@"; then kind=file; )"
    R"(link=0; elif test -d "$@V@"; then kind=directory; link=0; else kind=other; link=0; fi)";

// The signature of a version: GNU stat first, the BSD form when that fails.
constexpr std::string_view SIGNATURE =
    R"(stat -c '%s:%Y:%i:%y' -- "$@V@" 2>/dev/null || stat -f '%z:%m:%i' "$@V@")";

// The body of the stat script: one record for the path in $p.
// The size comes from `stat`, not `wc -c`: a file the remote user may not read still has one.
std::string describe_p() {
  return concat({on(IF_MISSING, "p"), R"( printf 'missing\t0\t-\t0\t-'; exit 0; fi; )",
                 on(KIND_AND_LINK, "p"),
                 R"(; if test "$kind" = file; then )"
                 R"(size=$(stat -c '%s' -- "$p" 2>/dev/null || stat -f '%z' "$p") || exit 1; )"
                 R"(else size=0; fi; )"
                 R"(mtime=$(stat -c '%Y' -- "$p" 2>/dev/null || stat -f '%m' "$p") || exit 1; )"
                 "signature=$(", on(SIGNATURE, "p"), ") || exit 1; ",
                 R"(printf '%s\t%s\t%s\t%s\tremote:%s:%s' )"
                 R"("$kind" "$size" "$mtime" "$link" "$kind" "$signature")"});
}

// Takes the lock directory of $target, exiting LockTimeout after 200 attempts 0.05 s apart.
std::string lock_loop() {
  return concat({R"(lock="${target}.tarnwistle.lock"; acquired=0; i=0; )"
                 R"(while test "$i" -lt 200; do )"
                 R"(if mkdir -- "$lock" 2>/dev/null; then acquired=1; break; fi; )"
                 R"(sleep 0.05; i=$((i + 1)); done; )"
                 R"(test "$acquired" = 1 || exit )",
                 code(ScriptExit::LockTimeout), "; "});
}

constexpr std::string_view UNLOCK =
    R"(trap - EXIT HUP INT TERM; rmdir -- "$lock" 2>/dev/null || true)";

std::string version_check(const std::optional<std::string>& expected_version) {
  if (!expected_version) return ":";
  return concat({R"(test "$before" = )", shell_quote(*expected_version), " || exit ",
                 code(ScriptExit::Conflict)});
}

std::string create_only_check(bool create_only) {
  if (!create_only) return ":";
  return concat({R"(test "$before" = missing || exit )", code(ScriptExit::Conflict)});
}

constexpr std::uint64_t I64_MAX =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::string head_range(std::int64_t offset, std::uint64_t limit) {
  const std::uint64_t start = std::max<std::uint64_t>(static_cast<std::uint64_t>(offset), 1);
  std::uint64_t end = start + (limit - 1);
  if (end < start) end = std::numeric_limits<std::uint64_t>::max();  // saturate
  end = std::min(end, I64_MAX);
  return concat({"start=", decimal(start), "; end=", decimal(end),
                 R"(; if test "$end" -gt "$total"; then end=$total; fi; )"
                 R"(if test "$start" -gt "$total"; then start=$((total + 1)); fi; )"
                 R"(if test "$end" -lt "$total"; then truncated=1; else truncated=0; fi)"});
}

std::string tail_range(std::int64_t offset) {
  // -offset without overflow: the most negative offset also gives I64_MAX.
  const std::uint64_t wanted = std::min(static_cast<std::uint64_t>(-(offset + 1)) + 1, I64_MAX);
  const std::string n = decimal(wanted);
  return concat({R"(if test "$total" -gt )", n, R"(; then start=$((total - )", n,
                 R"( + 1)); else start=1; fi; end=$total; truncated=0)"});
}

}  // namespace

// ---- scripts ------------------------------------------------------------------------------

std::string stat_script(std::string_view resolved) {
  return concat({"p=", shell_quote_path(resolved), "; ", describe_p()});
}

std::string cat_script(std::string_view resolved) {
  return concat({"cat -- ", shell_quote_path(resolved)});
}

// The identity of the file is taken before the count and compared after the print: a writer
// that renames a new version in between makes the script exit FileChanged instead of pairing
// one version's lines with another's count.
std::string window_script(std::string_view resolved, std::int64_t offset, std::uint64_t limit,
                          std::string_view marker) {
  return concat({"p=", shell_quote_path(resolved), "; ", on(IF_MISSING, "p"), " exit ",
                 code(ScriptExit::Missing), R"(; fi; if test -d "$p"; then exit )",
                 code(ScriptExit::IsDirectory), R"(; fi; if ! test -f "$p"; then exit )",
                 code(ScriptExit::NotRegular), "; fi; tw_id() { ", on(SIGNATURE, "p"),
                 R"( 2>/dev/null; }; id=$(tw_id); )"
                 R"(total=$(awk 'END { print NR }' "$p") || exit 1; )",
                 offset >= 0 ? head_range(offset, limit) : tail_range(offset),
                 R"(; if test "$start" -le "$end"; then sed -n "${start},${end}p" "$p" || exit 1; )"
                 R"SH(fi; test "$(tw_id)" = "$id" || exit )SH",
                 code(ScriptExit::FileChanged), R"(; printf '%s\t%s\t%s\t%s\t%s\n' )",
                 shell_quote(marker), R"( "$total" "$start" "$end" "$truncated" >&2)"});
}

namespace {

// tw_version PATH: the version of PATH in the stat record's form, or "missing".
std::string version_function() {
  return concat({"tw_version() { ", on(IF_MISSING, "1"), " printf missing; return; fi; ",
                 on(KIND, "1"), "; signature=$(", on(SIGNATURE, "1"), ") || return 1; ",
                 R"(printf 'remote:%s:%s' "$kind" "$signature"; }; )"});
}

// Fills $tmp from stdin, refusing fewer bytes than were sent: when the local ssh is stopped
// while it sends, the remote `cat` just sees end of input, and a prefix must not replace the
// file. The target's permission bits pass on unless it is a link.
std::string fill_temp(std::uint64_t length) {
  return concat({R"(umask 077; cat > "$tmp" || exit 1; written=$(wc -c < "$tmp") || exit 1; )"
                 "test $written -eq ",
                 decimal(length),
                 R"( || exit 1; if test -e "$target" && ! test -L "$target"; then )"
                 R"(chmod --reference="$target" "$tmp" 2>/dev/null || )"
                 R"SH(chmod "$(stat -c '%a' -- "$target" 2>/dev/null || )SH"
                 R"SH(stat -f '%Lp' "$target")" )SH"
                 R"("$tmp" 2>/dev/null || true; fi; )"});
}

}  // namespace

// The installed file is described while the lock is still held, so the version handed back
// is that of this content even when another writer replaces it right after.
std::string write_script(std::string_view resolved, std::string_view token,
                         const std::optional<std::string>& expected_version, bool create_only,
                         std::uint64_t length) {
  return concat({"target=", shell_quote_path(resolved), "; parent=",
                 shell_quote_path(remote_parent(resolved)),
                 R"(; mkdir -p -- "$parent" || exit 1; )", lock_loop(),
                 R"(tmp="${target}.tarnwistle-)", token, ".tmp\"; ",
                 R"(cleanup() { rm -f -- "$tmp"; rmdir -- "$lock" 2>/dev/null || true; }; )",
                 "trap cleanup EXIT HUP INT TERM; ", version_function(),
                 R"(before=$(tw_version "$target") || exit 1; )", create_only_check(create_only),
                 "; ", version_check(expected_version), "; ", fill_temp(length),
                 R"(mv -f -- "$tmp" "$target" || exit 1; record=$(p=$target; )", describe_p(),
                 ") || exit ", code(ScriptExit::NotDescribed), "; ", UNLOCK,
                 R"(; printf '%s' "$record")"});
}

std::string delete_script(std::string_view resolved,
                          const std::optional<std::string>& expected_version) {
  return concat({"target=", shell_quote_path(resolved), "; ", lock_loop(),
                 R"(cleanup() { rmdir -- "$lock" 2>/dev/null || true; }; )",
                 "trap cleanup EXIT HUP INT TERM; ", on(IF_MISSING, "target"), " exit ",
                 code(ScriptExit::Missing), "; fi; ", on(KIND, "target"), "; signature=$(",
                 on(SIGNATURE, "target"), R"() || exit 1; before="remote:${kind}:${signature}"; )",
                 version_check(expected_version), R"(; rm -f -- "$target" || exit 1; )", UNLOCK});
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

std::string window_marker(std::string_view token) {
  return concat({"__TARNWISTLE_WINDOW_", token, "__"});
}

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

namespace {

// The line that reports "$$" as `word` (PGID or PID) and then runs the script as that process.
std::string report_line(std::string_view word, std::string_view quoted_marker,
                        std::string_view quoted_script) {
  return concat({"printf '%s ", word, R"( %s\n' )", quoted_marker, R"( "$$" >&2; exec sh -c )",
                 quoted_script});
}

}  // namespace

// The flush function keeps the exit status and pauses 10 ms, so the command's last output
// reaches ssh before the shell exits.
std::string exec_wrapper(std::string_view token, std::string_view body) {
  const std::string flush = concat({"__tarnwistle_flush_", token});
  const std::string status = concat({"__tarnwistle_status_", token});
  const std::string script =
      concat({flush, "() { ", status, R"(="$1"; trap - EXIT; sleep 0.01; exit "$)", status,
              R"("; }; trap ')", flush, R"( "$?"' EXIT; )", body});
  const std::string marker = shell_quote(exec_marker(token));
  const std::string quoted_script = shell_quote(script);
  const std::string pgid_line = shell_quote(report_line("PGID", marker, quoted_script));
  return concat({"if command -v setsid >/dev/null 2>&1 && setsid --wait true >/dev/null 2>&1; ",
                 "then exec setsid --wait sh -c ", pgid_line,
                 "; elif command -v setsid >/dev/null 2>&1 && setsid -w true >/dev/null 2>&1; ",
                 "then exec setsid -w sh -c ", pgid_line, "; else exec sh -c ",
                 shell_quote(report_line("PID", marker, quoted_script)), "; fi"});
}

// Every descendant is followed: the function keeps its argument in "$1", which each call has
// for its own, rather than in a global that the recursive call would overwrite.
std::string terminate_script(const RemoteProcess& process) {
  const std::string id = std::to_string(process.id);
  if (process.kind == RemoteProcessKind::Group) {
    const std::string target = concat({"-", id});
    return concat({"kill -TERM ", target, " 2>/dev/null || true; i=0; while kill -0 ", target,
                   R"( 2>/dev/null && [ "$i" -lt 10 ]; do sleep 0.1; i=$((i + 1)); done; )",
                   "kill -KILL ", target, " 2>/dev/null || true"});
  }
  return concat({R"(table=$(ps -eo pid=,ppid= 2>/dev/null || true); tw_descendants() { )"
                 R"(printf '%s\n' "$table" | while read -r child parent_id; do )"
                 R"(if [ "$parent_id" = "$1" ]; then printf '%s\n' "$child"; )"
                 R"(tw_descendants "$child"; fi; done; }; descendants=$(tw_descendants )",
                 id, R"(); targets=")", id,
                 R"( $descendants"; kill -TERM $targets 2>/dev/null || true; i=0; )"
                 R"(while [ "$i" -lt 10 ]; do alive=0; for target in $targets; do )"
                 R"(if kill -0 "$target" 2>/dev/null; then alive=1; break; fi; done; )"
                 R"([ "$alive" -eq 0 ] && break; sleep 0.1; i=$((i + 1)); done; )"
                 R"(kill -KILL $targets 2>/dev/null || true)"});
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

}  // namespace tarnwistle
