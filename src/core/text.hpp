// Text helpers every area shares: building messages, UTF-8, Unicode trimming, the quoting of
// reprs and messages, and the one decimal formatter. A base unit: it includes nothing of ours.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tarnwistle {

// The parts joined into one string with a single allocation; the way messages are built.
std::string concat(std::initializer_list<std::string_view> parts);

// Valid UTF-8 copy of `bytes`: each maximal invalid subsequence becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);
// The same, taking over `bytes`' storage when they are valid already: no copy.
std::string utf8_lossy(std::string&& bytes);

// True when `bytes` is well-formed UTF-8.
bool utf8_valid(std::string_view bytes);

// Decodes one UTF-8 scalar starting at `s[i]`; returns the code point and sets `len`.
// Invalid input decodes as U+FFFD with len 1; callers only use it on valid text.
char32_t decode_utf8_at(std::string_view s, std::size_t i, std::size_t& len);

// Unicode White_Space, the set used for every trim in this module.
bool is_unicode_space(char32_t c);

// `s` without trailing / leading-and-trailing Unicode whitespace (views into `s`).
std::string_view trim_end_unicode(std::string_view s);
std::string_view trim_unicode(std::string_view s);

// `text` with ASCII letters lowered; equality ignoring ASCII case.
std::string ascii_lower(std::string_view text);
bool ascii_iequal(std::string_view a, std::string_view b);

// `text` between double quotes with \" \\ \t \r \n \0 and \u{hex} escapes for the other
// non-printable characters. `text` is expected to be valid UTF-8 (invalid bytes pass through).
std::string debug_quote(std::string_view text);

// Appends `value` in decimal, right-aligned in `width` columns (wider when it needs more).
void append_decimal(std::string& out, unsigned __int128 value, std::size_t width = 0);

// `value` in decimal.
std::string decimal(unsigned __int128 value);

}  // namespace tarnwistle
