#include "client.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <limits>

#include "command.hpp"

namespace tarnwistle {

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string out;
  out.reserve(size);
  for (std::string_view part : parts) out.append(part);
  return out;
}

void replace_first(std::string& text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be `buf`; it is always NUL-terminated.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(err);
  out += ')';
  return out;
}

CoreErrorKind kind_of_errno(int err) {
  if (err == ENOENT) return CoreErrorKind::NotFound;
  if (err == EPERM || err == EACCES) return CoreErrorKind::PermissionDenied;
  return CoreErrorKind::General;
}

CoreError from_io(std::string_view operation, std::string_view path, int err) {
  std::string message;
  message.reserve(operation.size() + path.size() + 64);
  message.append(operation).append(" failed: ").append(path).append(": ");
  message += os_error_text(err);
  return CoreError{kind_of_errno(err), std::move(message)};
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one. On failure `consumed`
// is the length of the maximal subpart to replace by a single U+FFFD (at least 1).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& consumed) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  consumed = 1;
  if (b0 < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    consumed = k + 1;
  }
  return need;
}

}  // namespace

bool utf8_valid(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t consumed;
    const std::size_t n = utf8_sequence(s, i, consumed);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  if (utf8_valid(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 16);
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t consumed;
    const std::size_t n = utf8_sequence(s, i, consumed);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += consumed;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

char32_t decode_utf8_at(std::string_view s, std::size_t i, std::size_t& len) {
  std::size_t consumed;
  const std::size_t n = utf8_sequence(s, i, consumed);
  if (n == 0) {
    len = 1;
    return 0xFFFD;
  }
  len = n;
  const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k])); };
  switch (n) {
    case 1:
      return b(0);
    case 2:
      return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
      return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

bool is_unicode_space(char32_t c) {
  if (c <= 0x7F) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

namespace {

// Start of the UTF-8 character that ends just before byte `end` (end > 0).
std::size_t previous_char_start(std::string_view s, std::size_t end) {
  std::size_t i = end - 1;
  while (i > 0 && end - i < 4 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

}  // namespace

std::string_view trim_end_unicode(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0) {
    const auto last = static_cast<unsigned char>(s[end - 1]);
    if (last < 0x80) {
      if (!is_unicode_space(last)) break;
      --end;
      continue;
    }
    const std::size_t start = previous_char_start(s, end);
    std::size_t len;
    const char32_t c = decode_utf8_at(s, start, len);
    if (start + len != end || !is_unicode_space(c)) break;
    end = start;
  }
  return s.substr(0, end);
}

std::string_view trim_unicode(std::string_view s) {
  s = trim_end_unicode(s);
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t len;
    const char32_t c = decode_utf8_at(s, begin, len);
    if (!is_unicode_space(c)) break;
    begin += len;
  }
  return s.substr(begin);
}

namespace {

bool is_debug_escaped(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;  // C0, DEL, C1 controls
  switch (c) {
    case 0xA0: case 0xAD: case 0x1680: case 0x202F: case 0x205F: case 0x3000: case 0xFEFF:
      return true;
    default:
      // typographic spaces, zero-width and direction marks, line/paragraph separators
      return (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
             (c >= 0x2060 && c <= 0x2064);
  }
}

void append_hex_escape(std::string& out, char32_t c) {
  static constexpr char HEX[] = "0123456789abcdef";
  char digits[8];
  int n = 0;
  do {
    digits[n++] = HEX[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out += digits[--n];
  out += '}';
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t len;
    const char32_t c = decode_utf8_at(text, i, len);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_debug_escaped(c)) {
          append_hex_escape(out, c);
        } else {
          out.append(text.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string random_name_chars(std::size_t count) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 engine{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, 61);
  std::string out(count, 'A');
  for (char& c : out) c = ALPHABET[pick(engine)];
  return out;
}

std::string u128_to_string(unsigned __int128 value) {
  if (value == 0) return "0";
  char buf[40];
  int n = 0;
  while (value != 0) {
    buf[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(n));
  while (n > 0) out += buf[--n];
  return out;
}

// ---- command options ----------------------------------------------------------------------

namespace {

// Shell word splitting as a character-level state machine. Only ASCII characters are special,
// so walking bytes is the same as walking characters of valid UTF-8.
class PosixSplitter {
 public:
  explicit PosixSplitter(std::string_view text) : text_(text) {}

  Result<std::vector<std::string>> run() {
    for (i_ = 0; i_ < text_.size(); ++i_) {
      if (!step(text_[i_])) return invalid_value("invalid flags: missing closing quote");
    }
    return finish();
  }

 private:
  enum class State { Delimiter, Unquoted, Backslash, UnquotedBackslash, Single, Double,
                     DoubleBackslash, Comment };

  bool step(char c) {
    switch (state_) {
      case State::Delimiter: return delimiter(c);
      case State::Unquoted: return unquoted(c);
      case State::Backslash:  // outside a word: a continuation starts none
        if (c == '\n') return set(State::Delimiter);
        return push(c, State::Unquoted);
      case State::UnquotedBackslash:
        if (c == '\n') return set(State::Unquoted);
        return push(c, State::Unquoted);
      case State::Single:
        return c == '\'' ? set(State::Unquoted) : push(c, State::Single);
      case State::Double:
        if (c == '"') return set(State::Unquoted);
        if (c == '\\') return set(State::DoubleBackslash);
        return push(c, State::Double);
      case State::DoubleBackslash: return double_backslash(c);
      case State::Comment:
        return c == '\n' ? set(State::Delimiter) : true;
    }
    return true;
  }

  bool delimiter(char c) {
    switch (c) {
      case ' ': case '\t': case '\n': return true;
      case '#': return set(State::Comment);
      case '\'': return set(State::Single);
      case '"': return set(State::Double);
      case '\\': return set(State::Backslash);
      default: return push(c, State::Unquoted);
    }
  }

  bool unquoted(char c) {
    switch (c) {
      case ' ': case '\t': case '\n':
        words_.push_back(std::exchange(word_, {}));
        return set(State::Delimiter);
      case '\'': return set(State::Single);
      case '"': return set(State::Double);
      case '\\': return set(State::UnquotedBackslash);
      default: return push(c, State::Unquoted);
    }
  }

  bool double_backslash(char c) {
    if (c == '\n') return set(State::Double);
    if (c != '$' && c != '`' && c != '"' && c != '\\') word_ += '\\';
    return push(c, State::Double);
  }

  Result<std::vector<std::string>> finish() {
    switch (state_) {
      case State::Single: case State::Double: case State::DoubleBackslash:
        return invalid_value("invalid flags: missing closing quote");
      case State::Backslash: case State::UnquotedBackslash:
        word_ += '\\';  // a backslash ending the input stays literal
        words_.push_back(std::move(word_));
        break;
      case State::Unquoted:
        words_.push_back(std::move(word_));
        break;
      case State::Delimiter: case State::Comment:
        break;
    }
    return std::move(words_);
  }

  bool set(State s) {
    state_ = s;
    return true;
  }
  bool push(char c, State s) {
    word_ += c;
    return set(s);
  }

  std::string_view text_;
  std::size_t i_ = 0;
  State state_ = State::Delimiter;
  std::string word_;
  std::vector<std::string> words_;
};

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

Result<std::vector<std::string>> split_flags_posix(std::string_view text) {
  return PosixSplitter(text).run();
}

std::vector<std::string> split_flags_simple(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  char quote = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t len;
    const char32_t c = decode_utf8_at(text, i, len);
    if (quote != 0) {
      if (c == static_cast<char32_t>(quote)) {
        quote = 0;
      } else {
        word.append(text.substr(i, len));
      }
    } else if (c == '\'' || c == '"') {
      quote = static_cast<char>(c);
    } else if (is_unicode_space(c)) {
      if (!word.empty()) words.push_back(std::exchange(word, {}));
    } else {
      word.append(text.substr(i, len));
    }
    i += len;
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

Result<std::vector<std::string>> split_flags(std::string_view text, bool posix) {
  const std::string_view trimmed = trim_unicode(text);
  if (trimmed.empty()) return std::vector<std::string>{};
  if (posix) return split_flags_posix(trimmed);
  return split_flags_simple(trimmed);
}

namespace {

enum class FlagRule { None, Shell, Python, Perl, Ruby, Cmd, PowerShell };

// The last plain component of `interpreter` as a path; the whole text when there is none
// ("/", "..", ".", "").
std::string_view interpreter_name(std::string_view interpreter) {
  std::string_view rest = interpreter;
  while (!rest.empty()) {
    const std::size_t slash = rest.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? rest : rest.substr(slash + 1);
    if (!last.empty() && last != ".") return last == ".." ? interpreter : last;
    if (slash == std::string_view::npos) break;
    rest = rest.substr(0, slash);
  }
  return interpreter;
}

FlagRule flag_rule(std::string_view interpreter) {
  std::string stem(interpreter_name(interpreter));
  for (char& c : stem) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (stem.ends_with(".exe")) stem.resize(stem.size() - 4);
  if (stem == "sh" || stem == "bash" || stem == "dash" || stem == "zsh" || stem == "ksh" ||
      stem == "fish") {
    return FlagRule::Shell;
  }
  if (stem == "python" || stem == "python3" || stem.starts_with("python3.")) {
    return FlagRule::Python;
  }
  if (stem == "perl") return FlagRule::Perl;
  if (stem == "ruby") return FlagRule::Ruby;
  if (stem == "cmd") return FlagRule::Cmd;
  if (stem == "pwsh" || stem == "powershell") return FlagRule::PowerShell;
  return FlagRule::None;
}

// A single-dash cluster of short options: "-x", "-lc", but not "-" or "--long".
std::string_view short_cluster(std::string_view flag) {
  if (flag.size() < 2 || flag[0] != '-' || flag[1] == '-') return {};
  return flag.substr(1);
}

bool asks_for_c(std::string_view flag, FlagRule rule) {
  if (ascii_iequal(flag, "-c")) return true;
  for (char c : short_cluster(flag)) {
    if (c == 'c' || c == 'C') return true;
    // python's -W, -X and -m take the rest of the cluster as their argument, so a "c" after
    // one of them is part of that argument, not the command flag.
    if (rule == FlagRule::Python && (c == 'W' || c == 'X' || c == 'm')) return false;
  }
  return false;
}

// perl and ruby run code given with -e; "-ne" and "-le" end in it.
bool asks_for_e(std::string_view flag, FlagRule rule) {
  const std::string_view cluster = short_cluster(flag);
  if (cluster.empty()) return false;
  const char last = cluster.back();
  return last == 'e' || (rule == FlagRule::Perl && last == 'E');
}

bool already_asked(const std::vector<std::string>& flags, FlagRule rule) {
  for (const std::string& flag : flags) {
    switch (rule) {
      case FlagRule::Shell:
      case FlagRule::Python:
        if (asks_for_c(flag, rule)) return true;
        break;
      case FlagRule::Perl:
      case FlagRule::Ruby:
        if (asks_for_e(flag, rule)) return true;
        break;
      case FlagRule::Cmd:
        if (ascii_iequal(flag, "/c")) return true;
        break;
      case FlagRule::PowerShell:
        if (ascii_iequal(flag, "-Command")) return true;
        break;
      case FlagRule::None:
        return true;
    }
  }
  return false;
}

const char* command_flag(FlagRule rule) {
  switch (rule) {
    case FlagRule::Shell: case FlagRule::Python: return "-c";
    case FlagRule::Perl: case FlagRule::Ruby: return "-e";
    case FlagRule::Cmd: return "/c";
    case FlagRule::PowerShell: return "-Command";
    case FlagRule::None: break;
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> inject_command_flag(std::string_view interpreter,
                                             std::vector<std::string> flags) {
  const FlagRule rule = flag_rule(interpreter);
  if (rule == FlagRule::None || already_asked(flags, rule)) return flags;
  flags.emplace_back(command_flag(rule));
  return flags;
}

bool valid_env_name(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && (i == 0 || c < '0' || c > '9')) return false;
  }
  return true;
}

Result<std::optional<std::chrono::nanoseconds>> timeout_from_seconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds >= 18446744073709551616.0) {
    return general_error("timeout must be a non-negative finite number or None");
  }
  if (seconds == 0) return std::optional<std::chrono::nanoseconds>();
  // seconds == m * 2^e exactly; m * 10^9 < 2^83 fits in 128 bits, so the rounding is exact.
  int exponent = 0;
  const double mantissa = std::frexp(seconds, &exponent);
  const auto m = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
  const int e = exponent - 53;
  const unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 1000000000u;
  unsigned __int128 ns = 0;
  if (e >= 0) {
    ns = scaled << e;  // e <= 11 below 2^64 seconds
  } else if (-e < 127) {
    const int shift = -e;
    const unsigned __int128 one = 1;
    unsigned __int128 q = scaled >> shift;
    const unsigned __int128 r = scaled - (q << shift);
    const unsigned __int128 half = one << (shift - 1);
    if (r > half || (r == half && (q & 1) != 0)) ++q;
    ns = q;
  }
  const auto max = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
  const auto count = static_cast<std::int64_t>(ns > max ? max : ns);
  return std::optional<std::chrono::nanoseconds>(std::chrono::nanoseconds(count));
}

// ---- command result -------------------------------------------------------------------------

CommandResult command_result(ProcessOutput output, std::string command, std::string cwd,
                             ExtrasMap extras) {
  CommandResult result;
  result.exit_code = output.exit_code;
  result.stdout_text = utf8_lossy(output.stdout_data);
  result.stderr_text = utf8_lossy(output.stderr_data);
  result.command = std::move(command);
  result.cwd = std::move(cwd);
  result.duration_ms = output.duration_ms;
  result.timed_out = output.timed_out;
  result.signal = output.signal;
  result.stdout_total_bytes = output.stdout_total_bytes;
  result.stderr_total_bytes = output.stderr_total_bytes;
  result.stdout_omitted_bytes = output.stdout_omitted_bytes;
  result.stderr_omitted_bytes = output.stderr_omitted_bytes;
  result.extras = std::move(extras);
  return result;
}

std::string command_result_repr(const CommandResult& r) {
  return concat({"CommandResult(exit_code=", std::to_string(r.exit_code),
                 ", timed_out=", r.timed_out ? "true" : "false",
                 ", stdout_bytes=", std::to_string(r.stdout_total_bytes),
                 ", stderr_bytes=", std::to_string(r.stderr_total_bytes), ")"});
}

}  // namespace tarnwistle
