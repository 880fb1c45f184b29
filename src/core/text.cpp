#include "text.hpp"

namespace tarnwistle {

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string out;
  out.reserve(size);
  for (std::string_view part : parts) out.append(part);
  return out;
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

// The copy of a text known to hold invalid UTF-8, each maximal invalid subsequence replaced.
std::string with_invalid_replaced(std::string_view s) {
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
  return utf8_valid(s) ? std::string(s) : with_invalid_replaced(s);
}

std::string utf8_lossy(std::string&& s) {
  return utf8_valid(s) ? std::move(s) : with_invalid_replaced(s);
}

char32_t decode_utf8_at(std::string_view s, std::size_t i, std::size_t& len) {
  std::size_t consumed;
  const std::size_t n = utf8_sequence(s, i, consumed);
  if (n == 0) {
    len = 1;
    return 0xFFFD;
  }
  len = n;
  const auto b = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]));
  };
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

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

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

void append_decimal(std::string& out, unsigned __int128 value, std::size_t width) {
  char buf[40];
  char* const end = buf + sizeof buf;
  char* p = end;
  if (value <= UINT64_MAX) {  // the common case, without 128-bit division
    auto v = static_cast<std::uint64_t>(value);
    do {
      *--p = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
  } else {
    do {
      *--p = static_cast<char>('0' + static_cast<int>(value % 10));
      value /= 10;
    } while (value != 0);
  }
  const auto digits = static_cast<std::size_t>(end - p);
  if (digits < width) out.append(width - digits, ' ');
  out.append(p, digits);
}

std::string decimal(unsigned __int128 value) {
  std::string out;
  append_decimal(out, value);
  return out;
}

}  // namespace tarnwistle
