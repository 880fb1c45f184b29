// Shared pieces of the fuzz targets: a property check that aborts with a readable report, and
// small reference models of UTF-8 and Unicode White_Space written straight from their
// definitions, so the targets compare the library against something it does not share code with.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n%s\n", file, line, what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// CHECK(cond) or CHECK(cond, detail string): aborts so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                 \
  do {                                                                        \
    if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, #cond, ::fuzz::detail_of(__VA_ARGS__)); \
  } while (0)

inline std::string detail_of() { return {}; }
inline std::string detail_of(const std::string& s) { return s; }

// Printable form of bytes for reports: C escapes for everything outside 0x20..0x7e.
inline std::string show(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + "\"";
}

inline std::string show(const std::vector<std::string>& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + show(v[i]);
  return out + "]";
}

// ---- UTF-8, by the table of well-formed byte sequences -------------------------------------

// For a lead byte: the sequence length it announces (0 for a byte that cannot lead) and the
// range its second byte must lie in; later bytes are always 0x80..0xBF.
inline std::size_t utf8_lead(unsigned c0, unsigned& lo, unsigned& hi) {
  lo = 0x80;
  hi = 0xBF;
  if (c0 < 0x80) return 1;
  if (c0 >= 0xC2 && c0 <= 0xDF) return 2;
  if (c0 >= 0xE0 && c0 <= 0xEF) {
    if (c0 == 0xE0) lo = 0xA0;
    if (c0 == 0xED) hi = 0x9F;
    return 3;
  }
  if (c0 >= 0xF0 && c0 <= 0xF4) {
    if (c0 == 0xF0) lo = 0x90;
    if (c0 == 0xF4) hi = 0x8F;
    return 4;
  }
  return 0;
}

// How many bytes from s[i] on could belong to the sequence its lead byte announces.
inline std::size_t utf8_prefix(std::string_view s, std::size_t i, std::size_t n, unsigned lo,
                               unsigned hi) {
  std::size_t k = 1;
  for (; k < n && i + k < s.size(); ++k) {
    const unsigned c = static_cast<unsigned char>(s[i + k]);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) break;
  }
  return k;
}

// Length of the well-formed sequence at s[i], or 0 when none starts there; `cp` receives the
// scalar value.
inline std::size_t utf8_seq(std::string_view s, std::size_t i, char32_t& cp) {
  unsigned lo, hi;
  const unsigned c0 = static_cast<unsigned char>(s[i]);
  const std::size_t n = utf8_lead(c0, lo, hi);
  if (n == 0 || utf8_prefix(s, i, n, lo, hi) < n) return 0;
  if (n == 1) {
    cp = c0;
    return 1;
  }
  char32_t v = c0 & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < n; ++k) v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  cp = v;
  return n;
}

// Length of the maximal prefix of an ill-formed sequence at s[i] that could start a
// well-formed one (at least 1): the unit that becomes one U+FFFD.
inline std::size_t utf8_bad_len(std::string_view s, std::size_t i) {
  unsigned lo, hi;
  const std::size_t n = utf8_lead(static_cast<unsigned char>(s[i]), lo, hi);
  return n <= 1 ? 1 : utf8_prefix(s, i, n, lo, hi);
}

// Valid UTF-8 copy: every maximal ill-formed subpart becomes U+FFFD.
inline std::string lossy(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    const std::size_t n = utf8_seq(s, i, cp);
    if (n) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += utf8_bad_len(s, i);
    }
  }
  return out;
}

// The scalar values of valid UTF-8 text.
inline std::vector<char32_t> decode(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp = 0;
    std::size_t n = utf8_seq(s, i, cp);
    if (!n) {
      cp = 0xFFFD;
      n = utf8_bad_len(s, i);
    }
    out.push_back(cp);
    i += n;
  }
  return out;
}

inline std::string encode(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Unicode White_Space.
inline bool white(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

inline std::string encode_all(const std::vector<char32_t>& cps, std::size_t from,
                              std::size_t to) {
  std::string out;
  for (std::size_t k = from; k < to; ++k) out += encode(cps[k]);
  return out;
}

// Text without trailing / surrounding White_Space.
inline std::string rtrim(std::string_view s) {
  const std::vector<char32_t> cps = decode(s);
  std::size_t end = cps.size();
  while (end > 0 && white(cps[end - 1])) --end;
  return encode_all(cps, 0, end);
}
inline std::string trim(std::string_view s) {
  const std::vector<char32_t> cps = decode(s);
  std::size_t begin = 0, end = cps.size();
  while (begin < end && white(cps[begin])) ++begin;
  while (end > begin && white(cps[end - 1])) --end;
  return encode_all(cps, begin, end);
}

// Every piece between '\n' bytes, the empty last one included.
inline std::vector<std::string> split_keep_all(std::string_view s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

// Decimal digits of an unsigned 128-bit value.
inline std::string dec(unsigned __int128 v) {
  std::string out;
  do {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return out;
}

// Unsigned decimal with an optional leading '+', digits only, no overflow past `max`.
inline std::optional<unsigned __int128> parse_dec(std::string_view s, unsigned __int128 max) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  unsigned __int128 v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const unsigned d = static_cast<unsigned>(c - '0');
    if (v > (max - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// A string of valid UTF-8 made from fuzz bytes (ill-formed pieces become U+FFFD).
inline std::string text(FuzzedDataProvider& fdp, std::size_t max_len) {
  return lossy(fdp.ConsumeRandomLengthString(max_len));
}

}  // namespace fuzz
