// HeadTailBytes: a stream cut into fuzzed chunks keeps exactly what one append of the whole
// stream keeps, and after every chunk the buffer shows the first limit/2 bytes of the stream
// so far, its last limit - limit/2 bytes after those, and the marker counting the rest.
#include <string>
#include <vector>

#include "fuzz_util.hpp"
#include "text.hpp"
#include "output.hpp"

namespace {

struct Expected {
  std::string head, tail;
  std::uint64_t omitted;
};

Expected model(std::string_view stream, std::uint64_t limit) {
  const std::uint64_t head_cap = limit / 2, tail_cap = limit - limit / 2;
  const std::uint64_t n = stream.size();
  const std::uint64_t head_len = std::min(head_cap, n);
  const std::uint64_t tail_len = std::min(tail_cap, n - head_len);
  return {std::string(stream.substr(0, head_len)), std::string(stream.substr(n - tail_len)),
          n - head_len - tail_len};
}

void compare(const tarnwistle::HeadTailBytes& buf, std::string_view stream, std::uint64_t limit) {
  const Expected want = model(stream, limit);
  const std::string ctx = "limit " + fuzz::dec(limit) + " stream " + fuzz::show(stream);
  FUZZ_CHECK(buf.total() == stream.size(), ctx);
  FUZZ_CHECK(buf.head_len() == want.head.size() && buf.tail_len() == want.tail.size(), ctx);
  FUZZ_CHECK(buf.omitted() == want.omitted, ctx);
  FUZZ_CHECK(buf.raw_bytes() == want.head + want.tail, ctx + " raw " + fuzz::show(buf.raw_bytes()));
  const std::string marker =
      want.omitted ? "\n... [truncated, " + fuzz::dec(want.omitted) + " bytes omitted] ...\n" : "";
  FUZZ_CHECK(buf.display_bytes() == want.head + marker + want.tail,
             ctx + " display " + fuzz::show(buf.display_bytes()));
}

}  // namespace

// LineTap under the same cuts: what passes plus the line is the stream with the line from the
// first marker to its '\n' (or the end) taken out, unless that line is longer than the limit.
void check_tap(std::string_view stream, const std::vector<std::size_t>& cuts) {
  const std::string marker = "__M__";
  tarnwistle::LineTap tap(marker);
  std::string passed;
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    const std::size_t len = std::min(cut, stream.size() - at);
    passed.append(tap.feed(stream.substr(at, len)));
    at += len;
  }
  passed.append(tap.feed(stream.substr(at)));
  passed.append(tap.finish());
  std::string want(stream), line;
  const std::size_t from = stream.find(marker);
  if (from != std::string_view::npos) {
    const std::size_t nl = stream.find('\n', from);
    const std::size_t end = nl == std::string_view::npos ? stream.size() : nl + 1;
    if (end - from <= tarnwistle::LineTap::HELD_LIMIT) {
      line = std::string(stream.substr(from, end - from));
      want.erase(from, end - from);
    }
  }
  FUZZ_CHECK(passed == want && tap.line() == line, fuzz::show(stream));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  // Tiny, page-sized, larger than any stream here (nothing is ever dropped), or small.
  const int how = fdp.ConsumeIntegralInRange<int>(0, 3);
  const std::uint64_t limit =
      how == 0   ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 4)
      : how == 1 ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 4096)
      : how == 2 ? UINT64_MAX - fdp.ConsumeIntegralInRange<std::uint64_t>(0, 1)
                 : fdp.ConsumeIntegralInRange<std::uint64_t>(0, 64);
  std::vector<std::size_t> cuts;
  const std::size_t chunks = fdp.ConsumeIntegralInRange<std::size_t>(0, 32);
  for (std::size_t k = 0; k < chunks; ++k) cuts.push_back(fdp.ConsumeIntegralInRange(0, 300));
  const std::string stream = fdp.ConsumeRemainingBytesAsString();

  tarnwistle::HeadTailBytes chunked(limit), whole(limit);
  FUZZ_CHECK(chunked.raw_bytes().empty() && chunked.display_bytes().empty());
  whole.append(stream);
  std::size_t at = 0;
  for (std::size_t cut : cuts) {  // the rest of the stream goes in one last chunk
    const std::size_t len = std::min(cut, stream.size() - at);
    chunked.append(std::string_view(stream).substr(at, len));
    at += len;
    compare(chunked, std::string_view(stream).substr(0, at), limit);
  }
  chunked.append(std::string_view(stream).substr(at));
  compare(chunked, stream, limit);
  compare(whole, stream, limit);
  FUZZ_CHECK(chunked.limit() == limit);
  check_tap(stream, cuts);
  return 0;
}
