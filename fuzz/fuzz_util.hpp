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
    char buf[8];
    const bool escaped = c == '"' || c == '\\';
    std::snprintf(buf, sizeof buf, escaped ? "\\%c" : c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
    out += buf;
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
  lo = c0 == 0xE0 ? 0xA0 : c0 == 0xF0 ? 0x90 : 0x80;
  hi = c0 == 0xED ? 0x9F : c0 == 0xF4 ? 0x8F : 0xBF;
  return c0 < 0x80 ? 1 : c0 < 0xC2 ? 0 : c0 <= 0xDF ? 2 : c0 <= 0xEF ? 3 : c0 <= 0xF4 ? 4 : 0;
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

// The scalar values of the text; each maximal prefix of an ill-formed sequence that could
// start a well-formed one (at least one byte) is one U+FFFD.
inline std::vector<char32_t> decode(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    unsigned lo, hi;
    const unsigned c0 = static_cast<unsigned char>(s[i]);
    const std::size_t n = utf8_lead(c0, lo, hi);
    const std::size_t k = n <= 1 ? 1 : utf8_prefix(s, i, n, lo, hi);
    char32_t v = n == 1 ? c0 : c0 & (0x7F >> n);
    for (std::size_t j = 1; j < k; ++j) {
      v = (v << 6) | (static_cast<unsigned char>(s[i + j]) & 0x3F);
    }
    out.push_back(n == 0 || k < n ? 0xFFFD : v);
    i += k;
  }
  return out;
}

inline std::string encode(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const std::size_t n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  std::string out(n, '\0');
  for (std::size_t k = n - 1; k > 0; --k, c >>= 6) out[k] = static_cast<char>(0x80 | (c & 0x3F));
  out[0] = static_cast<char>(((0xFF << (8 - n)) & 0xFF) | c);
  return out;
}

inline std::string encode_all(const std::vector<char32_t>& cps, std::size_t from,
                              std::size_t to) {
  std::string out;
  for (std::size_t k = from; k < to; ++k) out += encode(cps[k]);
  return out;
}

// Valid UTF-8 copy: every maximal ill-formed subpart becomes U+FFFD.
inline std::string lossy(std::string_view s) {
  const std::vector<char32_t> cps = decode(s);
  return encode_all(cps, 0, cps.size());
}

// Unicode White_Space.
inline bool white(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Text without trailing (and with `both`, leading) White_Space.
inline std::string trim_ends(std::string_view s, bool both) {
  const std::vector<char32_t> cps = decode(s);
  std::size_t begin = 0, end = cps.size();
  while (both && begin < end && white(cps[begin])) ++begin;
  while (end > begin && white(cps[end - 1])) --end;
  return encode_all(cps, begin, end);
}
inline std::string rtrim(std::string_view s) { return trim_ends(s, false); }
inline std::string trim(std::string_view s) { return trim_ends(s, true); }

// The text with each CRLF written as LF, and with each LF written as CRLF.
inline std::string crlf_to_lf(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\r' || i + 1 == s.size() || s[i + 1] != '\n') out += s[i];
  }
  return out;
}
inline std::string lf_to_crlf(std::string_view s) {
  std::string out;
  for (char c : s) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// Every piece between '\n' bytes, the empty last one included.
inline std::vector<std::string> split_keep_all(std::string_view s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) c == sep ? out.emplace_back() : out.back() += c;
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
