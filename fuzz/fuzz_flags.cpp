// Flag splitters: split_flags_posix, split_flags_simple and split_flags against reference
// splitters written from the word rules, and a round trip: any list of words, each quoted one
// of the shell's ways and joined by blanks, splits back into the same list.
#include <optional>
#include <string>
#include <vector>

#include "client.hpp"
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
  switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      out = "'";
      for (char c : word) out += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
      return out + "'";
    case 1:
      out = "\"";
      for (char c : word) {
        if (c == '$' || c == '`' || c == '"' || c == '\\') out += '\\';
        out += c;
      }
      return out + "\"";
    default:
      if (word.empty()) return "''";
      for (char c : word) {
        if (c == '\n') {
          out += "'\n'";
        } else if (static_cast<unsigned char>(c) < 0x80) {
          out += '\\';
          out += c;
        } else {
          out += c;
        }
      }
      return out;
  }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  if (fdp.ConsumeBool()) {
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
