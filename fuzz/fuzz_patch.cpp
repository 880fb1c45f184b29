// Patch application: seek_sequence_inner, apply_line_replacements_inner and
// derive_new_contents_inner against a naive reference: four comparison passes over every
// candidate, a rebuild by marking deleted lines and insertions per index, and the chunk walk.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_util.hpp"
#include "text.hpp"
#include "patch.hpp"

namespace {

using Lines = std::vector<std::string>;

char32_t normalise(char32_t c) {
  if (c == 0xA0 || (c >= 0x2002 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x3000) {
    return U' ';
  }
  if ((c >= 0x2010 && c <= 0x2015) || c == 0x2212) return U'-';
  if (c >= 0x2018 && c <= 0x201B) return U'\'';
  if (c >= 0x201C && c <= 0x201F) return U'"';
  return c;
}

bool equal_in_pass(int pass, const std::string& line, const std::string& pat) {
  switch (pass) {
    case 0:
      return line == pat;
    case 1:
      return fuzz::rtrim(line) == fuzz::rtrim(pat);
    case 2:
      return fuzz::trim(line) == fuzz::trim(pat);
    default: {
      std::vector<char32_t> a = fuzz::decode(fuzz::trim(line)), b = fuzz::decode(fuzz::trim(pat));
      std::transform(a.begin(), a.end(), a.begin(), normalise);
      std::transform(b.begin(), b.end(), b.begin(), normalise);
      return a == b;
    }
  }
}

std::optional<std::uint64_t> model_seek(const Lines& lines, const Lines& pat, std::uint64_t start,
                                        bool eof) {
  if (pat.empty()) return start;
  if (pat.size() > lines.size()) return std::nullopt;
  const std::uint64_t last = lines.size() - pat.size();
  const std::uint64_t first = eof ? last : start;
  if (first > last) return std::nullopt;
  for (int pass = 0; pass < 4; ++pass) {
    for (std::uint64_t i = first; i <= last; ++i) {
      bool all = true;
      for (std::size_t j = 0; j < pat.size() && all; ++j) {
        all = equal_in_pass(pass, lines[i + j], pat[j]);
      }
      if (all) return i;
    }
  }
  return std::nullopt;
}

struct Repl {
  std::uint64_t start, len;
  Lines new_lines;
};

struct Rebuilt {
  bool ok = false;
  Lines lines;
  std::string message;
};

Rebuilt model_rebuild(const Lines& lines, std::vector<Repl> repls) {
  std::stable_sort(repls.begin(), repls.end(),
                   [](const Repl& a, const Repl& b) { return a.start < b.start; });
  unsigned __int128 prev_end = 0;
  for (const Repl& r : repls) {
    const unsigned __int128 end = static_cast<unsigned __int128>(r.start) + r.len;
    const std::string where = "start=" + fuzz::dec(r.start) + " len=" + fuzz::dec(r.len);
    if (end > UINT64_MAX) return {false, {}, "replacement span overflow: " + where};
    if (end > lines.size()) {
      return {false, {}, "replacement span out of range: " + where + " lines=" +
                             fuzz::dec(lines.size())};
    }
    if (r.start < prev_end) return {false, {}, "overlapping line replacements"};
    prev_end = end;
  }
  std::vector<Lines> before(lines.size() + 1);
  std::vector<bool> deleted(lines.size(), false);
  for (const Repl& r : repls) {
    for (const auto& l : r.new_lines) before[r.start].push_back(l);
    for (std::uint64_t k = r.start; k < r.start + r.len; ++k) deleted[k] = true;
  }
  Rebuilt out{true, {}, {}};
  for (std::size_t k = 0; k <= lines.size(); ++k) {
    for (const auto& l : before[k]) out.lines.push_back(l);
    if (k < lines.size() && !deleted[k]) out.lines.push_back(lines[k]);
  }
  return out;
}

struct Chunk {
  std::optional<std::string> context;
  Lines old_lines, new_lines;
  bool eof = false;
};

std::string joined(const Lines& lines, std::string_view sep) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? std::string(sep) : "") + lines[i];
  return out;
}

Rebuilt model_derive(const std::string& original, const std::string& path,
                     const std::vector<Chunk>& chunks) {
  if (chunks.empty()) return {true, {original}, {}};
  const bool crlf = original.find("\r\n") != std::string::npos;
  Lines lines;
  if (!original.empty()) {
    lines = fuzz::split_keep_all(original, '\n');
    if (original.back() == '\n') lines.pop_back();
  }
  if (crlf) {
    for (auto& l : lines) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
    }
  }
  std::uint64_t index = 0;
  std::vector<Repl> repls;
  for (const Chunk& c : chunks) {
    if (c.context) {
      const auto k = model_seek(lines, {*c.context}, index, false);
      if (!k) return {false, {}, "Failed to find context '" + *c.context + "' in " + path};
      index = *k + 1;
    }
    if (c.old_lines.empty()) {
      repls.push_back({c.context && !c.eof ? index : lines.size(), 0, c.new_lines});
      continue;
    }
    Lines pattern = c.old_lines, repl = c.new_lines;
    auto k = model_seek(lines, pattern, index, c.eof);
    if (!k && pattern.back().empty()) {
      pattern.pop_back();
      if (!repl.empty() && repl.back().empty()) repl.pop_back();
      k = model_seek(lines, pattern, index, c.eof);
    }
    if (!k) {
      return {false, {}, "Failed to find expected lines in " + path + ":\n" +
                             joined(c.old_lines, "\n")};
    }
    repls.push_back({*k, pattern.size(), repl});
    index = *k + pattern.size();
  }
  Rebuilt rebuilt = model_rebuild(lines, repls);
  if (!rebuilt.ok) return rebuilt;
  if (rebuilt.lines.empty()) return {true, {""}, {}};
  const std::string eol = crlf ? "\r\n" : "\n";
  return {true, {joined(rebuilt.lines, eol) + eol}, {}};
}

// A line that a search may find in `lines`: copied, or with whitespace and typographic
// characters changed the ways the relaxed passes forgive.
std::string near_line(FuzzedDataProvider& fdp, const Lines& lines) {
  if (lines.empty() || fdp.ConsumeIntegralInRange<int>(0, 4) == 0) return fuzz::text(fdp, 12);
  std::string line = lines[fdp.ConsumeIntegralInRange<std::size_t>(0, lines.size() - 1)];
  static const char* const kPads[] = {"", " ", "\t", "\xE2\x80\x83", "\xC2\xA0", "\r"};
  const int how = fdp.ConsumeIntegralInRange<int>(0, 3);
  if (how == 0) return line;
  if (how == 1) return line + kPads[fdp.ConsumeIntegralInRange<int>(0, 5)];
  if (how == 2) return kPads[fdp.ConsumeIntegralInRange<int>(0, 5)] + line;
  // ASCII quotes and dashes written typographically (or the other way round).
  std::string out;
  for (char32_t c : fuzz::decode(line)) {
    if (c == U'"') c = fdp.ConsumeBool() ? 0x201C : 0x201D;
    else if (c == U'\'') c = 0x2019;
    else if (c == U'-') c = fdp.ConsumeBool() ? 0x2013 : 0x2212;
    else if (c == U' ' && fdp.ConsumeBool()) c = 0x2009;
    else if (c == 0x2014) c = U'-';
    out += fuzz::encode(c);
  }
  return out;
}

Lines fuzzed_lines(FuzzedDataProvider& fdp, std::size_t max_count, std::size_t max_len) {
  Lines out(fdp.ConsumeIntegralInRange<std::size_t>(0, max_count));
  for (auto& l : out) l = fuzz::text(fdp, max_len);
  return out;
}

std::vector<std::string_view> views(const Lines& lines) {
  return std::vector<std::string_view>(lines.begin(), lines.end());
}

std::string show_opt(std::optional<std::uint64_t> v) { return v ? fuzz::dec(*v) : "none"; }

void check_seek(FuzzedDataProvider& fdp) {
  const Lines lines = fuzzed_lines(fdp, 12, 16);
  Lines pat;
  if (!lines.empty() && fdp.ConsumeBool()) {
    const std::size_t from = fdp.ConsumeIntegralInRange<std::size_t>(0, lines.size() - 1);
    const std::size_t n = fdp.ConsumeIntegralInRange<std::size_t>(0, lines.size() - from);
    for (std::size_t k = 0; k < n; ++k) pat.push_back(near_line(fdp, {lines[from + k]}));
  } else {
    pat = fuzzed_lines(fdp, 3, 8);
  }
  const std::uint64_t start = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 14)
                                                : fdp.ConsumeIntegral<std::uint64_t>();
  const bool eof = fdp.ConsumeBool();
  const auto lv = views(lines), pv = views(pat);
  const auto got = tarnwistle::seek_sequence_inner(lv, pv, start, eof);
  const auto want = model_seek(lines, pat, start, eof);
  FUZZ_CHECK(got == want, "lines " + fuzz::show(lines) + " pattern " + fuzz::show(pat) +
                              " start " + fuzz::dec(start) + " eof " + std::to_string(eof) +
                              " got " + show_opt(got) + " want " + show_opt(want));
}

void check_rebuild(FuzzedDataProvider& fdp) {
  const Lines lines = fuzzed_lines(fdp, 10, 4);
  std::vector<Repl> repls(fdp.ConsumeIntegralInRange<std::size_t>(0, 5));
  for (Repl& r : repls) {
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) {
      r.start = fdp.ConsumeIntegral<std::uint64_t>();
      r.len = fdp.ConsumeIntegral<std::uint64_t>();
    } else {
      r.start = fdp.ConsumeIntegralInRange<std::uint64_t>(0, lines.size() + 1);
      r.len = fdp.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    }
    r.new_lines = fuzzed_lines(fdp, 3, 4);
  }
  std::vector<tarnwistle::LineReplacement<std::string>> native;
  for (const Repl& r : repls) native.push_back({r.start, r.len, r.new_lines});
  const auto got = tarnwistle::apply_line_replacements_inner<std::string>(lines, native);
  const Rebuilt want = model_rebuild(lines, repls);
  const std::string ctx = "lines " + fuzz::show(lines);
  FUZZ_CHECK(got.ok() == want.ok, ctx + (got.ok() ? " unexpected success" : got.error().message));
  if (got.ok()) {
    FUZZ_CHECK(*got == want.lines, ctx + " got " + fuzz::show(*got) + " want " +
                                       fuzz::show(want.lines));
  } else {
    FUZZ_CHECK(got.error().message == want.message, ctx + " got " + got.error().message);
  }
}

void check_derive(FuzzedDataProvider& fdp) {
  std::string original = fuzz::text(fdp, 256);
  if (fdp.ConsumeBool()) original = fuzz::lf_to_crlf(original);  // a CRLF file
  Lines file_lines = fuzz::split_keep_all(original, '\n');
  for (auto& l : file_lines) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
  }
  const std::string path = fuzz::text(fdp, 8);
  std::vector<Chunk> chunks(fdp.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (Chunk& c : chunks) {
    if (fdp.ConsumeIntegralInRange<int>(0, 3) == 0) c.context = near_line(fdp, file_lines);
    const std::size_t n_old = fdp.ConsumeIntegralInRange<std::size_t>(0, 3);
    if (n_old > 0 && !file_lines.empty() && fdp.ConsumeBool()) {
      std::size_t at = fdp.ConsumeIntegralInRange<std::size_t>(0, file_lines.size() - 1);
      for (std::size_t k = 0; k < n_old && at + k < file_lines.size(); ++k) {
        c.old_lines.push_back(near_line(fdp, {file_lines[at + k]}));
      }
    } else {
      for (std::size_t k = 0; k < n_old; ++k) c.old_lines.push_back(near_line(fdp, file_lines));
    }
    if (!c.old_lines.empty() && fdp.ConsumeIntegralInRange<int>(0, 3) == 0) {
      c.old_lines.push_back("");
    }
    c.new_lines = fuzzed_lines(fdp, 3, 6);
    if (fdp.ConsumeIntegralInRange<int>(0, 3) == 0) c.new_lines.push_back("");
    c.eof = fdp.ConsumeIntegralInRange<int>(0, 3) == 0;
  }
  std::vector<std::vector<std::string_view>> old_views(chunks.size()), new_views(chunks.size());
  std::vector<tarnwistle::UpdateChunk> native(chunks.size());
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    if (chunks[k].context) native[k].change_context = *chunks[k].context;
    native[k].old_lines = old_views[k] = views(chunks[k].old_lines);
    native[k].new_lines = new_views[k] = views(chunks[k].new_lines);
    native[k].is_end_of_file = chunks[k].eof;
  }
  const auto got = tarnwistle::derive_new_contents_inner(original, path, native);
  const Rebuilt want = model_derive(original, path, chunks);
  const std::string ctx = "original " + fuzz::show(original);
  FUZZ_CHECK(got.ok() == want.ok, ctx + (got.ok() ? " unexpected success" : got.error().message));
  if (got.ok()) {
    FUZZ_CHECK(*got == want.lines[0], ctx + " got " + fuzz::show(*got) + " want " +
                                          fuzz::show(want.lines[0]));
    if (!chunks.empty() && !got->empty()) FUZZ_CHECK(got->back() == '\n');
  } else {
    FUZZ_CHECK(got.error().kind == tarnwistle::CoreErrorKind::InvalidValue);
    FUZZ_CHECK(got.error().message == want.message, ctx + " got " + got.error().message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int which = fdp.ConsumeIntegralInRange<int>(0, 2);
  which == 0 ? check_seek(fdp) : which == 1 ? check_rebuild(fdp) : check_derive(fdp);
  return 0;
}
