// Text arguments of the module's text functions, and the str functions of the interpreter
// that let those functions work on a str without encoding it.
//
// An ASCII str is its own UTF-8, read in place. Any other str has no UTF-8 form until it is
// encoded: that costs more than most of the work itself and, when the str caches it, leaves
// a second copy of the text for the str's lifetime. So an exact str that is not ASCII is
// checked by one pass over its characters (it must have a UTF-8 form, as for every text
// argument) and then worked on through the interpreter's own functions where the function's
// rule can be said in them; where it cannot, and for str subclasses, the text is encoded
// into a temporary bytes object that the call drops.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "py.hpp"
#include "wide.hpp"

namespace tarnwistle::py {

struct TextArg {
  PyObject* str = nullptr;  // borrowed: the caller's argument keeps it alive
  Py_ssize_t length = 0;    // in characters
  bool ascii = false;
  bool exact = false;
  PyRef encoded;            // the temporary UTF-8 form, once one was made
  bool has_utf8 = false;
  std::string_view utf8;    // valid after to_utf8, while the argument and `encoded` live

  // Whether the function may work on the characters through the interpreter's functions.
  bool by_characters() const { return exact && !ascii; }
};

// A str (or subclass) argument; the TypeError of arg_text when it is not one.
bool arg_str(PyObject* obj, const char* name, TextArg& out);

// The UTF-8 form: the str's own buffer when it is ASCII, else a temporary bytes object, so
// the str keeps no cached copy; made once. The interpreter's UnicodeEncodeError for lone
// surrogates.
bool to_utf8(TextArg& text);

// Characters read out per run: a run's copy and its widened form stay in the cache and
// below the allocator's threshold for fresh mappings.
constexpr Py_ssize_t CHARACTER_RUN = 8192;

// Hands the characters of `text` to `each(run, start, fresh)` in runs of up to CHARACTER_RUN
// that start at character `start` and overlap the previous run by `overlap` characters
// (`fresh` is where the characters not seen before begin), from the start until `each`
// returns false. `overlap` below CHARACTER_RUN. False with the exception set if reading
// fails. GIL held.
template <class Each>
bool read_runs(const TextArg& text, Py_ssize_t overlap, Each&& each) {
  static_assert(sizeof(wchar_t) == sizeof(char32_t), "a wchar_t must hold any code point");
  std::unique_ptr<char32_t[]> run(new char32_t[CHARACTER_RUN]);
  auto* wide = reinterpret_cast<wchar_t*>(run.get());
  for (Py_ssize_t pos = 0, seen = 0; seen < text.length; pos = seen - overlap) {
    const Py_ssize_t end = std::min(text.length, pos + CHARACTER_RUN);
    // The first run is read straight from the str; later ones through a copy of their range.
    PyRef piece = pos == 0 ? PyRef::borrow(text.str)
                           : PyRef::steal(PyUnicode_Substring(text.str, pos, end));
    if (!piece || PyUnicode_AsWideChar(piece.get(), wide, end - pos) < 0) return false;
    const std::u32string_view view(run.get(), static_cast<std::size_t>(end - pos));
    if (!each(view, static_cast<std::uint64_t>(pos), static_cast<std::size_t>(seen - pos))) break;
    seen = end;
  }
  return true;
}

// One pass over the characters of `text` into `scan`, and into `finder` when given. A text
// with a lone surrogate fails with the same UnicodeEncodeError that encoding it raises.
bool scan_characters(const TextArg& text, CodePointScan& scan, CodePointFinder* finder = nullptr);

// When a later argument of a call failed to convert, `text` (converted by arg_str, its UTF-8
// check left for later) must still fail first if it has no UTF-8 form: as with arg_text, the
// first argument's error is the one raised. Returns nullptr.
PyObject* text_error_first(const TextArg& text);

// The conversion of a text argument: arg_str, then the scan for a text worked on by
// characters, or its UTF-8 form for any other. So every check of the argument is done
// before the next argument is converted, as for arg_text.
bool arg_text_scanned(PyObject* obj, const char* name, TextArg& out, CodePointScan& scan);

// ---- a str through the interpreter's str functions ---------------------------------------

// A str as the line walks of read.hpp see it: positions are characters. The '\n' count of
// the whole text comes from its scan. The functions cannot fail on positions inside the str.
// GIL held.
class StrLines {
 public:
  StrLines(const TextArg& text, std::uint64_t newlines)
      : str_(text.str), size_(static_cast<std::size_t>(text.length)), newlines_(newlines) {}

  std::size_t size() const { return size_; }
  std::uint64_t newlines(std::size_t from, std::size_t to) const;
  std::size_t line_end(std::size_t pos) const;
  std::size_t last_newline(std::size_t end) const;
  bool ends_open() const;

 private:
  PyObject* str_;
  std::size_t size_;
  std::uint64_t newlines_;
};

// str[begin:end] as a new str, or nullptr with the exception set.
PyObject* substring(PyObject* str, std::size_t begin, std::size_t end);
// The pieces of `str` between successive bounds, as a list; nullptr with the exception set.
PyObject* substring_list(PyObject* str, std::span<const std::size_t> bounds);

}  // namespace tarnwistle::py
