// Exact string edits: find_matches_inner, apply_replacements_text_inner and edit_text_inner
// against a naive reference (quadratic scans, right-to-left splicing) built from the rules:
// leftmost non-overlapping exact matches, then the CRLF form of the pattern, then whole lines
// compared without their trailing whitespace.
#include <algorithm>
#include <string>
#include <vector>

#include "edit.hpp"
#include "fuzz_util.hpp"
#include "text.hpp"

namespace {

using tarnwistle::Span;

std::string model_with_crlf(std::string_view s) { return fuzz::lf_to_crlf(fuzz::crlf_to_lf(s)); }

std::vector<Span> model_exact(std::string_view text, std::string_view pat) {
  std::vector<Span> out;
  std::size_t p = 0;
  while (p + pat.size() <= text.size()) {
    if (text.substr(p, pat.size()) == pat) {
      out.push_back({p, pat.size()});
      p += pat.size();
    } else {
      ++p;
    }
  }
  return out;
}

std::vector<Span> model_lines(std::string_view text, std::string_view pat) {
  const std::vector<std::string> t = fuzz::split_keep_all(text, '\n');
  const std::vector<std::string> p = fuzz::split_keep_all(pat, '\n');
  const std::size_t m = t.size(), n = p.size();
  std::vector<Span> out;
  if (m < n) return out;
  std::vector<std::string> q, tt;
  for (const auto& line : p) q.push_back(fuzz::rtrim(line));
  for (const auto& line : t) tt.push_back(fuzz::rtrim(line));
  std::vector<std::uint64_t> start(m, 0);
  for (std::size_t k = 1; k < m; ++k) start[k] = start[k - 1] + t[k - 1].size() + 1;
  std::size_t i = 0;
  while (i + n <= m) {
    bool all = true;
    for (std::size_t j = 0; j < n && all; ++j) all = tt[i + j] == q[j];
    if (all) {
      std::uint64_t len = n - 1;
      for (std::size_t j = 0; j < n; ++j) len += t[i + j].size();
      const std::string& last = t[i + n - 1];
      if (!last.empty() && last.back() == '\r') --len;
      out.push_back({start[i], len});
      i += n;
    } else {
      ++i;
    }
  }
  return out;
}

std::vector<Span> model_find(std::string_view text, std::string_view pat) {
  if (pat.empty()) return text.empty() ? std::vector<Span>{{0, 0}} : std::vector<Span>{};
  std::vector<Span> exact = model_exact(text, pat);
  if (!exact.empty()) return exact;
  if (text.find("\r\n") != std::string_view::npos && pat.find('\n') != std::string_view::npos) {
    const std::string p2 = model_with_crlf(pat);
    if (p2 != pat) {
      std::vector<Span> e2 = model_exact(text, p2);
      if (!e2.empty()) return e2;
      return model_lines(text, p2);
    }
  }
  return model_lines(text, pat);
}

struct Applied {
  bool ok = false;
  std::string value;  // result text or message
};

bool boundary(std::string_view text, std::uint64_t at) {
  if (at == 0 || at == text.size()) return true;
  const auto b = static_cast<unsigned char>(text[at]);
  return b < 0x80 || b > 0xBF;
}

Applied model_apply(std::string_view text, std::vector<Span> spans, std::string_view repl) {
  std::stable_sort(spans.begin(), spans.end(),
                   [](const Span& a, const Span& b) { return a.start < b.start; });
  unsigned __int128 prev_end = 0, total = 0;
  for (const Span& s : spans) {
    const unsigned __int128 end = static_cast<unsigned __int128>(s.start) + s.len;
    if (end > UINT64_MAX) {
      return {false, "match span overflow: pos=" + fuzz::dec(s.start) + " len=" + fuzz::dec(s.len)};
    }
    if (end > text.size()) {
      return {false, "match span out of range: pos=" + fuzz::dec(s.start) +
                         " len=" + fuzz::dec(s.len) + " text_len=" + fuzz::dec(text.size())};
    }
    if (!boundary(text, s.start) || !boundary(text, static_cast<std::uint64_t>(end))) {
      return {false, "match span is not on a UTF-8 char boundary"};
    }
    if (s.start < prev_end) return {false, "overlapping matches"};
    total += s.len;
    prev_end = end;
  }
  // Right to left, so earlier positions stay valid: a different construction than one pass.
  std::string out(text);
  for (auto it = spans.rbegin(); it != spans.rend(); ++it) {
    out.replace(it->start, it->len, repl);
  }
  const unsigned __int128 expect =
      static_cast<unsigned __int128>(text.size()) - total + repl.size() * spans.size();
  FUZZ_CHECK(out.size() == expect);
  return {true, out};
}

std::string show_spans(const std::vector<Span>& v) {
  std::string out;
  for (const Span& s : v) out += "(" + fuzz::dec(s.start) + "," + fuzz::dec(s.len) + ")";
  return out;
}

// A pattern likely to match: a piece of the text, sometimes with its line endings or trailing
// whitespace changed so that only a fallback finds it.
std::string derived_pattern(FuzzedDataProvider& fdp, const std::string& text) {
  if (text.empty()) return fuzz::text(fdp, 8);
  const std::size_t a = fdp.ConsumeIntegralInRange<std::size_t>(0, text.size() - 1);
  const std::size_t b = fdp.ConsumeIntegralInRange<std::size_t>(a, text.size());
  std::string piece = fuzz::lossy(std::string_view(text).substr(a, b - a));
  const int how = fdp.ConsumeIntegralInRange<int>(0, 3);
  if (how == 0) return piece;
  if (how == 1) return fuzz::crlf_to_lf(piece);
  if (how == 3) return piece + fuzz::text(fdp, 4);
  // Trailing whitespace added or removed per line.
  static const char* const kSpaces[] = {" ", "\t", "\r", "\xC2\xA0", "\xE3\x80\x80", ""};
  const std::vector<std::string> lines = fuzz::split_keep_all(piece, '\n');
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out += (i ? "\n" : "") + (fdp.ConsumeBool() ? fuzz::rtrim(lines[i]) : lines[i]);
    out += kSpaces[fdp.ConsumeIntegralInRange<int>(0, 5)];
  }
  return out;
}

std::vector<Span> fuzzed_spans(FuzzedDataProvider& fdp, const std::string& text) {
  std::vector<Span> spans;
  const int n = fdp.ConsumeIntegralInRange<int>(0, 6);
  for (int k = 0; k < n; ++k) {
    Span s{};
    const int how = fdp.ConsumeIntegralInRange<int>(0, 3);
    if (how == 0) {  // anywhere near the text
      s.start = fdp.ConsumeIntegralInRange<std::uint64_t>(0, text.size() + 2);
      s.len = fdp.ConsumeIntegralInRange<std::uint64_t>(0, text.size() + 2);
    } else if (how == 1) {  // arithmetic at the edge of 64 bits
      s.start = fdp.ConsumeIntegral<std::uint64_t>();
      s.len = UINT64_MAX - fdp.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    } else {  // inside the text, on any byte
      s.start = fdp.ConsumeIntegralInRange<std::uint64_t>(0, text.size());
      s.len = fdp.ConsumeIntegralInRange<std::uint64_t>(0, text.size() - s.start);
    }
    spans.push_back(s);
  }
  return spans;
}

// The pieces the search is built from, each on its own, and the UTF-8 and whitespace helpers
// that every parser of this library leans on.
void check_helpers(FuzzedDataProvider& fdp) {
  const std::string raw = fdp.ConsumeRandomLengthString(256);
  const std::string valid = fuzz::lossy(raw);
  FUZZ_CHECK(tarnwistle::utf8_lossy(raw) == valid, fuzz::show(raw));
  FUZZ_CHECK(tarnwistle::utf8_valid(raw) == (valid == raw), fuzz::show(raw));
  FUZZ_CHECK(tarnwistle::trim_unicode(valid) == fuzz::trim(valid), fuzz::show(valid));
  FUZZ_CHECK(tarnwistle::trim_end_unicode(valid) == fuzz::rtrim(valid), fuzz::show(valid));
  const std::vector<char32_t> cps = fuzz::decode(valid);
  std::size_t lead = 0, k = 0;
  while (k < cps.size() && fuzz::white(cps[k])) lead += fuzz::encode(cps[k++]).size();
  FUZZ_CHECK(tarnwistle::leading_space(valid) == lead, fuzz::show(valid));
  for (char32_t c : cps) FUZZ_CHECK(tarnwistle::is_unicode_space(c) == fuzz::white(c));
  FUZZ_CHECK(tarnwistle::contains_crlf(valid) == (valid.find("\r\n") != std::string::npos));
  FUZZ_CHECK(tarnwistle::with_crlf(valid) == model_with_crlf(valid), fuzz::show(valid));
  const std::string pat = derived_pattern(fdp, valid);
  const std::string ctx = "text " + fuzz::show(valid) + " pattern " + fuzz::show(pat);
  if (!pat.empty()) {
    FUZZ_CHECK(tarnwistle::exact_find_all(valid, pat) == model_exact(valid, pat), ctx);
  }
  FUZZ_CHECK(tarnwistle::rstrip_lines_find_all(valid, pat) == model_lines(valid, pat), ctx);
  const std::string line = fuzz::text(fdp, 16);
  const bool same = fuzz::rtrim(line) == fuzz::rtrim(pat);
  FUZZ_CHECK(tarnwistle::trim_end_equals(line, fuzz::rtrim(pat)) == same,
             "line " + fuzz::show(line) + " pattern " + fuzz::show(pat));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int which = fdp.ConsumeIntegralInRange<int>(0, 3);
  if (which == 3) {
    check_helpers(fdp);
    return 0;
  }
  const std::string text = fuzz::text(fdp, 1024);
  if (which == 0) {  // find_matches
    const std::string pat = fdp.ConsumeBool() ? derived_pattern(fdp, text) : fuzz::text(fdp, 64);
    const std::vector<Span> got = tarnwistle::find_matches_inner(text, pat);
    const std::vector<Span> want = model_find(text, pat);
    FUZZ_CHECK(got == want, "text " + fuzz::show(text) + " pattern " + fuzz::show(pat) +
                                " got " + show_spans(got) + " want " + show_spans(want));
    // The matches are valid input for the rebuild.
    const auto applied = tarnwistle::apply_replacements_text_inner(text, got, "R");
    FUZZ_CHECK(applied.ok());
  } else if (which == 1) {  // apply_replacements_text
    const std::string repl = fuzz::text(fdp, 16);
    const std::vector<Span> spans = fuzzed_spans(fdp, text);
    const auto got = tarnwistle::apply_replacements_text_inner(text, spans, repl);
    const Applied want = model_apply(text, spans, repl);
    const std::string ctx = "text " + fuzz::show(text) + " spans " + show_spans(spans);
    FUZZ_CHECK(got.ok() == want.ok, ctx + (got.ok() ? "" : " error " + got.error().message));
    if (got.ok()) {
      FUZZ_CHECK(*got == want.value, ctx + " got " + fuzz::show(*got));
    } else {
      FUZZ_CHECK(got.error().kind == tarnwistle::CoreErrorKind::InvalidValue);
      FUZZ_CHECK(got.error().message == want.value, ctx + " got " + got.error().message);
    }
  } else {  // edit_text
    const std::string old = fdp.ConsumeBool() ? derived_pattern(fdp, text) : fuzz::text(fdp, 32);
    const std::string new_text = fuzz::text(fdp, 32);
    const bool all = fdp.ConsumeBool();
    const auto got = tarnwistle::edit_text_inner(text, old, new_text, all);
    const std::string ctx = "text " + fuzz::show(text) + " old " + fuzz::show(old);
    const std::vector<Span> spans = model_find(text, old);
    const bool crlf = text.find("\r\n") != std::string::npos;
    if (spans.empty()) {
      FUZZ_CHECK(!got.ok() && got.error().message == "NOT_FOUND: old_string not found", ctx);
    } else if (spans.size() > 1 && !all) {
      FUZZ_CHECK(!got.ok() && got.error().message ==
                                  "AMBIGUOUS: old_string found " + fuzz::dec(spans.size()) +
                                      " times",
                 ctx);
    } else {
      FUZZ_CHECK(got.ok(), ctx + " error " + got.error().message);
      const std::string repl = crlf ? model_with_crlf(new_text) : new_text;
      const Applied want = model_apply(text, spans, repl);
      FUZZ_CHECK(want.ok && got->text == want.value && got->count == spans.size(), ctx);
    }
  }
  return 0;
}
