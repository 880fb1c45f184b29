// Command options: split_flags_posix, split_flags_simple and split_flags against reference
// splitters written from the word rules; a round trip: any list of words, each quoted one of the
// shell's ways and joined by blanks, splits back into the same list; and timeout_from_seconds
// against rounding of the double's exact decimal expansion.
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "command_options.hpp"
#include "text.hpp"
#include "fuzz_util.hpp"

namespace {

using Words = std::vector<std::string>;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Nothing when a quote is left open.
std::optional<Words> model_posix(std::string_view s) {
  Words words;
  std::string cur;
  bool in_word = false;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const char c = s[i];
    if (!in_word) {
      if (blank(c)) {
        ++i;
        continue;
      }
      if (c == '#') {
        while (i < n && s[i] != '\n') ++i;
        continue;
      }
      if (c == '\\' && i + 1 < n && s[i + 1] == '\n') {
        i += 2;
        continue;
      }
      in_word = true;
    }
    if (blank(c)) {
      words.push_back(cur);
      cur.clear();
      in_word = false;
      ++i;
    } else if (c == '\'') {
      const std::size_t close = s.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      cur.append(s.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (;;) {
        if (j >= n) return std::nullopt;
        if (s[j] == '"') break;
        if (s[j] == '\\') {
          if (j + 1 >= n) return std::nullopt;
          const char next = s[j + 1];
          if (next == '$' || next == '`' || next == '"' || next == '\\') {
            cur += next;
          } else if (next != '\n') {
            cur += '\\';
            cur += next;
          }
          j += 2;
        } else {
          cur += s[j++];
        }
      }
      i = j + 1;
    } else if (c == '\\') {
      if (i + 1 >= n) {
        cur += '\\';
        ++i;
      } else {
        if (s[i + 1] != '\n') cur += s[i + 1];
        i += 2;
      }
    } else {
      cur += c;
      ++i;
    }
  }
  if (in_word) words.push_back(cur);
  return words;
}

Words model_simple(std::string_view s) {
  Words words;
  std::string cur;
  char32_t quote = 0;
  for (char32_t c : fuzz::decode(s)) {
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else {
        cur += fuzz::encode(c);
      }
    } else if (fuzz::white(c)) {
      if (!cur.empty()) words.push_back(cur);
      cur.clear();
    } else if (c == U'\'' || c == U'"') {
      quote = c;
    } else {
      cur += fuzz::encode(c);
    }
  }
  if (!cur.empty()) words.push_back(cur);
  return words;
}

std::string quoted(FuzzedDataProvider& fdp, const std::string& word) {
  std::string out;
  const int how = fdp.ConsumeIntegralInRange<int>(0, 2);
  if (how == 0) {  // in single quotes, a quote written '"'"'
    for (char c : word) out += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
    return "'" + out + "'";
  }
  if (how == 1) {  // in double quotes, the four special characters escaped
    for (char c : word) out += std::string(std::strchr("$`\"\\", c) && c ? "\\" : "") + c;
    return "\"" + out + "\"";
  }
  if (word.empty()) return "''";
  for (char c : word) {  // unquoted, every ASCII byte escaped and a newline quoted
    out += c == '\n' ? "'\n'" : static_cast<unsigned char>(c) < 0x80 ? "\\" + std::string(1, c)
                                                                   : std::string(1, c);
  }
  return out;
}

std::string show_result(const tarnwistle::Result<Words>& r) {
  return r.ok() ? fuzz::show(*r) : "error " + r.error().message;
}

void check_split(const std::string& s) {
  const auto posix = tarnwistle::split_flags_posix(s);
  const std::optional<Words> want = model_posix(s);
  const std::string ctx = "input " + fuzz::show(s) + " got " + show_result(posix);
  if (!want) {
    FUZZ_CHECK(!posix.ok() && posix.error().kind == tarnwistle::CoreErrorKind::InvalidValue &&
                   posix.error().message == "invalid flags: missing closing quote",
               ctx);
  } else {
    FUZZ_CHECK(posix.ok() && *posix == *want, ctx + " want " + fuzz::show(*want));
  }
  const Words simple = tarnwistle::split_flags_simple(s);
  FUZZ_CHECK(simple == model_simple(s), "input " + fuzz::show(s) + " got " + fuzz::show(simple));

  // The public entry point trims Unicode whitespace first; nothing left means no flags.
  const std::string trimmed = fuzz::trim(s);
  for (bool use_posix : {true, false}) {
    const auto both = tarnwistle::split_flags(s, use_posix);
    if (trimmed.empty()) {
      FUZZ_CHECK(both.ok() && both->empty(), "input " + fuzz::show(s));
    } else if (use_posix) {
      const std::optional<Words> w = model_posix(trimmed);
      FUZZ_CHECK(both.ok() == w.has_value() && (!w || *both == *w), "input " + fuzz::show(s));
    } else {
      FUZZ_CHECK(both.ok() && *both == model_simple(trimmed), "input " + fuzz::show(s));
    }
  }
}

// Seconds as nanoseconds, from the exact decimal expansion of the double (every double below
// 2^64 has at most 1074 fractional digits, all of which printf writes out): the digits up to
// the ninth decimal are the nanoseconds, the rest decide the rounding (to nearest, ties even).
void check_timeout(double seconds) {
  const auto got = tarnwistle::timeout_from_seconds(seconds);
  char shown[64];
  std::snprintf(shown, sizeof shown, "%a", seconds);
  if (std::isnan(seconds) || std::isinf(seconds) || seconds < 0 || seconds >= 0x1p64) {
    FUZZ_CHECK(!got.ok() && got.error().kind == tarnwistle::CoreErrorKind::General &&
                   got.error().message == "timeout must be a non-negative finite number or None",
               shown);
    return;
  }
  FUZZ_CHECK(got.ok(), shown);
  if (seconds == 0) {
    FUZZ_CHECK(!got->has_value(), shown);
    return;
  }
  static char exact[1200];
  std::snprintf(exact, sizeof exact, "%.1100f", seconds);
  const std::string_view digits(exact);
  const std::size_t dot = digits.find('.');
  unsigned __int128 ns = 0;
  for (char c : digits.substr(0, dot)) ns = ns * 10 + static_cast<unsigned>(c - '0');
  for (char c : digits.substr(dot + 1, 9)) ns = ns * 10 + static_cast<unsigned>(c - '0');
  const std::string_view rest = digits.substr(dot + 10);
  const bool beyond_half = rest.find_first_not_of('0', 1) != std::string_view::npos;
  if (rest[0] > '5' || (rest[0] == '5' && (beyond_half || (ns & 1)))) ++ns;
  const unsigned __int128 max = static_cast<unsigned __int128>(INT64_MAX);
  const std::int64_t want = static_cast<std::int64_t>(ns > max ? max : ns);
  FUZZ_CHECK(got->has_value() && (*got)->count() == want,
             std::string(shown) + " got " +
                 (got->has_value() ? std::to_string((*got)->count()) : "none") + " want " +
                 std::to_string(want));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int which = fdp.ConsumeIntegralInRange<int>(0, 2);
  if (which == 2) {
    // Any bit pattern: NaNs, infinities, subnormals, and values near the rounding edges.
    const std::uint64_t bits = fdp.ConsumeIntegral<std::uint64_t>();
    double seconds;
    std::memcpy(&seconds, &bits, sizeof seconds);
    check_timeout(seconds);
    check_timeout(static_cast<double>(bits % 100000000000ULL) / 1e9);
    return 0;
  }
  if (which == 1) {
    check_split(fuzz::text(fdp, 256));
    return 0;
  }
  Words words(fdp.ConsumeIntegralInRange<std::size_t>(0, 6));
  for (auto& w : words) w = fuzz::text(fdp, 16);
  static const char* const kSeps[] = {" ", "\t", "\n", "  \t", " \\\n "};
  std::string line;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i) line += kSeps[fdp.ConsumeIntegralInRange<int>(0, 4)];
    line += quoted(fdp, words[i]);
  }
  const auto got = tarnwistle::split_flags_posix(line);
  FUZZ_CHECK(got.ok() && *got == words,
             "words " + fuzz::show(words) + " line " + fuzz::show(line) + " got " +
                 show_result(got));
  check_split(line);
  return 0;
}
