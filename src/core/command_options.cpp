#include "command_options.hpp"

#include <cmath>
#include <limits>

#include "output.hpp"
#include "text.hpp"

namespace tarnwistle {

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

std::chrono::nanoseconds duration_from_seconds(double seconds) {
  // From 10^10 seconds on the nanoseconds no longer fit the duration: saturate.
  if (!(seconds < 1e10)) return std::chrono::nanoseconds::max();
  if (seconds <= 0) return std::chrono::nanoseconds(0);
  // seconds == m * 2^e exactly, with e < 0 here; m * 10^9 < 2^83 fits in 128 bits, so the
  // rounding below is exact.
  int exponent = 0;
  const double mantissa = std::frexp(seconds, &exponent);
  const auto m = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
  const int shift = 53 - exponent;
  if (shift >= 127) return std::chrono::nanoseconds(0);
  const unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 1000000000u;
  const unsigned __int128 one = 1;
  unsigned __int128 q = scaled >> shift;
  const unsigned __int128 r = scaled - (q << shift);
  const unsigned __int128 half = one << (shift - 1);
  if (r > half || (r == half && (q & 1) != 0)) ++q;
  const auto max = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
  return std::chrono::nanoseconds(static_cast<std::int64_t>(q > max ? max : q));
}

Result<std::optional<std::chrono::nanoseconds>> timeout_from_seconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds >= 18446744073709551616.0) {
    return general_error("timeout must be a non-negative finite number or None");
  }
  if (seconds == 0) return std::optional<std::chrono::nanoseconds>();
  return std::optional<std::chrono::nanoseconds>(duration_from_seconds(seconds));
}

// ---- command result -------------------------------------------------------------------------

CommandResult::~CommandResult() {
  keep_buffer(std::move(stdout_text));
  keep_buffer(std::move(stderr_text));
}

CommandResult command_result(ProcessOutput output, std::string command, std::string cwd,
                             ExtrasMap extras) {
  CommandResult result;
  result.exit_code = output.exit_code;
  result.stdout_text = utf8_lossy(std::move(output.stdout_data));
  result.stderr_text = utf8_lossy(std::move(output.stderr_data));
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
                 ", stdout_bytes=", decimal(r.stdout_total_bytes),
                 ", stderr_bytes=", decimal(r.stderr_total_bytes), ")"});
}

}  // namespace tarnwistle
