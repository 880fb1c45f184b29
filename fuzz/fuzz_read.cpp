// Line windows: prepare_read_inner, format_cat_n_inner, count_lines_inner and
// slice_lines_inner against a reference that splits the whole text into a vector of lines
// first and numbers them with 128-bit arithmetic.
#include <string>
#include <vector>

#include "fuzz_util.hpp"
#include "text.hpp"
#include "read.hpp"

namespace {

// Pieces up to and including each '\n', then the rest when it is not empty.
std::vector<std::string> model_lines(std::string_view text) {
  std::vector<std::string> out = fuzz::split_keep_all(text, '\n');
  for (std::size_t i = 0; i + 1 < out.size(); ++i) out[i] += '\n';
  if (out.back().empty()) out.pop_back();
  return out;
}

std::string model_cat_n(const std::vector<std::string>& lines, std::uint64_t start,
                        std::uint64_t total, bool truncated) {
  if (lines.empty()) return "";
  const std::size_t width = std::max<std::size_t>(4, fuzz::dec(total).size());
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string num = fuzz::dec(static_cast<unsigned __int128>(start) + i);
    if (num.size() < width) num.insert(0, width - num.size(), ' ');
    out += num + "\t" + lines[i];
  }
  const unsigned __int128 last = static_cast<unsigned __int128>(start) + lines.size() - 1;
  if (truncated && total > last) {
    if (out.back() != '\n') out += '\n';
    out += "... [truncated, " + fuzz::dec(total - last) + " lines not shown]";
  }
  return out;
}

std::vector<std::string> strings(const std::vector<std::string_view>& v) {
  return std::vector<std::string>(v.begin(), v.end());
}

void check_prepare(FuzzedDataProvider& fdp) {
  const std::string text = fuzz::text(fdp, 512);
  const int how = fdp.ConsumeIntegralInRange<int>(0, 3);
  const std::int64_t offset = how == 0   ? fdp.ConsumeIntegral<std::int64_t>()
                              : how == 1 ? (fdp.ConsumeBool() ? INT64_MIN : INT64_MAX)
                                         : fdp.ConsumeIntegralInRange<std::int64_t>(-12, 12);
  const std::uint64_t limit = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 12)
                                                : fdp.ConsumeIntegral<std::uint64_t>();
  const bool numbers = fdp.ConsumeBool();
  const auto got = tarnwistle::prepare_read_inner(text, offset, limit, numbers);
  const std::string ctx = "text " + fuzz::show(text) + " offset " + std::to_string(offset) +
                          " limit " + fuzz::dec(limit);
  if (limit == 0) {
    FUZZ_CHECK(!got.ok() && got.error().kind == tarnwistle::CoreErrorKind::InvalidValue &&
                   got.error().message == "limit must be > 0",
               ctx);
    return;
  }
  FUZZ_CHECK(got.ok(), ctx);
  const std::vector<std::string> lines = model_lines(text);
  const std::uint64_t total = lines.size();
  std::uint64_t first = 0, count = 0;
  bool truncated = false;
  if (offset < 0) {
    const std::uint64_t n = 0 - static_cast<std::uint64_t>(offset);
    count = std::min(n, total);
    first = total - count;
  } else {
    const std::uint64_t skip = offset == 0 ? 0 : static_cast<std::uint64_t>(offset) - 1;
    first = std::min(total, skip);
    count = std::min(limit, total - first);
    truncated = skip < total && count < total - skip;
  }
  const std::vector<std::string> window(lines.begin() + first, lines.begin() + first + count);
  FUZZ_CHECK(got->total_lines == total, ctx);
  FUZZ_CHECK(strings(got->raw_lines) == window, ctx);
  std::string plain;
  for (const auto& l : window) plain += l;
  if (count == 0) {
    FUZZ_CHECK(got->start_line == total + 1 && got->end_line == total && !got->truncated, ctx);
    FUZZ_CHECK(got->content().empty(), ctx);
    return;
  }
  FUZZ_CHECK(got->start_line == first + 1 && got->end_line == first + count, ctx);
  FUZZ_CHECK(got->truncated == truncated, ctx);
  FUZZ_CHECK(got->plain == plain, ctx);
  const std::string want = numbers ? model_cat_n(window, first + 1, total, truncated) : plain;
  FUZZ_CHECK(got->content() == want, ctx + " got " + fuzz::show(got->content()) + " want " +
                                         fuzz::show(want));
}

void check_cat_n(FuzzedDataProvider& fdp) {
  std::vector<std::string> lines(fdp.ConsumeIntegralInRange<std::size_t>(0, 6));
  for (auto& l : lines) l = fuzz::text(fdp, 8);
  auto number = [&] {
    const int how = fdp.ConsumeIntegralInRange<int>(0, 2);
    return how == 0   ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 20)
           : how == 1 ? UINT64_MAX - fdp.ConsumeIntegralInRange<std::uint64_t>(0, 8)
                      : fdp.ConsumeIntegral<std::uint64_t>();
  };
  const std::uint64_t start = number(), total = number();
  const bool truncated = fdp.ConsumeBool();
  const std::vector<std::string_view> views(lines.begin(), lines.end());
  const std::string got = tarnwistle::format_cat_n_inner(views, start, total, truncated);
  const std::string want = model_cat_n(lines, start, total, truncated);
  FUZZ_CHECK(got == want, "lines " + fuzz::show(lines) + " start " + fuzz::dec(start) +
                              " total " + fuzz::dec(total) + " got " + fuzz::show(got));
}

void check_count_slice(FuzzedDataProvider& fdp) {
  const std::string text = fuzz::text(fdp, 512);
  const std::vector<std::string> lines = model_lines(text);
  FUZZ_CHECK(tarnwistle::count_lines_inner(text) == lines.size(), fuzz::show(text));
  std::uint64_t newlines = 0;
  for (char c : text) newlines += c == '\n';
  FUZZ_CHECK(tarnwistle::count_newlines(text) == newlines);
  const std::uint64_t start = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 10)
                                                : fdp.ConsumeIntegral<std::uint64_t>();
  const std::uint64_t take = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 10)
                                               : fdp.ConsumeIntegral<std::uint64_t>();
  std::vector<std::string> want;
  for (std::uint64_t k = start; k < lines.size() && k - start < take; ++k) want.push_back(lines[k]);
  FUZZ_CHECK(strings(tarnwistle::slice_lines_inner(text, start, take)) == want,
             fuzz::show(text) + " start " + fuzz::dec(start) + " take " + fuzz::dec(take));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int which = fdp.ConsumeIntegralInRange<int>(0, 2);
  which == 0 ? check_prepare(fdp) : which == 1 ? check_cat_n(fdp) : check_count_slice(fdp);
  return 0;
}
