#include "output.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace tarnwistle {
namespace {

std::string marker(std::uint64_t omitted) {
  return "\n... [truncated, " + std::to_string(omitted) + " bytes omitted] ...\n";
}

std::string feed_whole(std::uint64_t limit, const std::string& stream) {
  HeadTailBytes buf(limit);
  buf.append(stream);
  return buf.display_bytes();
}

TEST(HeadTailBytes, KeepsHeadAndTailOfOneLongAppend) {
  HeadTailBytes buf(10);
  buf.append("0123456789abcdef");
  EXPECT_EQ(buf.total(), 16u);
  EXPECT_EQ(buf.head_len(), 5u);
  EXPECT_EQ(buf.tail_len(), 5u);
  EXPECT_EQ(buf.omitted(), 6u);
  EXPECT_EQ(buf.raw_bytes(), "01234bcdef");
  EXPECT_EQ(buf.display_bytes(), "01234" + marker(6) + "bcdef");
}

TEST(HeadTailBytes, ByteAtATimeMatchesOneAppend) {
  HeadTailBytes buf(10);
  for (char c : std::string("0123456789abcdef")) buf.append(std::string(1, c));
  EXPECT_EQ(buf.total(), 16u);
  EXPECT_EQ(buf.raw_bytes(), "01234bcdef");
  EXPECT_EQ(buf.display_bytes(), "01234" + marker(6) + "bcdef");
}

TEST(HeadTailBytes, ExactlyAtTheLimitNothingIsOmitted) {
  EXPECT_EQ(feed_whole(10, "0123456789"), "0123456789");
  HeadTailBytes buf(10);
  buf.append("0123456789X");  // the sixth byte ('5') is the one left out
  EXPECT_EQ(buf.omitted(), 1u);
  EXPECT_EQ(buf.display_bytes(), "01234" + marker(1) + "6789X");
}

TEST(HeadTailBytes, OddLimitGivesTheTailTheExtraByte) {
  HeadTailBytes buf(7);
  buf.append("abcdefghijkl");
  EXPECT_EQ(buf.head_len(), 3u);
  EXPECT_EQ(buf.tail_len(), 4u);
  EXPECT_EQ(buf.raw_bytes(), "abcijkl");
}

TEST(HeadTailBytes, LimitOneKeepsOnlyTheLastByte) {
  HeadTailBytes buf(1);
  buf.append("abc");
  buf.append("d");
  EXPECT_EQ(buf.head_len(), 0u);
  EXPECT_EQ(buf.raw_bytes(), "d");
  EXPECT_EQ(buf.display_bytes(), marker(3) + "d");
}

TEST(HeadTailBytes, LimitZeroKeepsNothingButCounts) {
  HeadTailBytes buf(0);
  buf.append("abc");
  EXPECT_EQ(buf.total(), 3u);
  EXPECT_EQ(buf.raw_bytes(), "");
  EXPECT_EQ(buf.display_bytes(), marker(3));
}

TEST(HeadTailBytes, EmptyAppendAndEmptyBuffer) {
  HeadTailBytes buf(10);
  EXPECT_EQ(buf.display_bytes(), "");
  buf.append("");
  EXPECT_EQ(buf.total(), 0u);
  buf.append("ab");
  buf.append("");
  EXPECT_EQ(buf.total(), 2u);
  EXPECT_EQ(buf.display_bytes(), "ab");
}

TEST(HeadTailBytes, RenderingLeavesTheBufferUnchanged) {
  HeadTailBytes buf(6);
  buf.append("abcdefgh");
  const std::string first = buf.display_bytes();
  EXPECT_EQ(buf.display_bytes(), first);
  buf.append("ij");  // rendering between appends does not disturb the ring
  EXPECT_EQ(buf.raw_bytes(), "abchij");
}

// The kept bytes by definition: the first limit/2 bytes of the stream, then the last bytes
// (at most limit - limit/2) of what follows them.
std::string expected_raw(std::uint64_t limit, const std::string& stream) {
  const std::size_t head = std::min<std::size_t>(limit / 2, stream.size());
  const std::size_t rest = stream.size() - head;
  const std::size_t tail = std::min<std::size_t>(limit - limit / 2, rest);
  return stream.substr(0, head) + stream.substr(stream.size() - tail);
}

TEST(HeadTailBytes, ChunkingDoesNotChangeWhatIsKept) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 3000; ++round) {
    const std::uint64_t limit = std::uniform_int_distribution<int>(0, 64)(rng);
    std::string stream(std::uniform_int_distribution<int>(0, 400)(rng), '\0');
    for (char& c : stream) c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));

    HeadTailBytes whole(limit);
    whole.append(stream);
    HeadTailBytes chunked(limit);
    std::size_t at = 0;
    const int max_chunk = std::uniform_int_distribution<int>(1, 3 * static_cast<int>(limit) + 2)(rng);
    while (at < stream.size()) {
      const std::size_t n = std::uniform_int_distribution<int>(0, max_chunk)(rng);
      chunked.append(std::string_view(stream).substr(at, n));
      at += std::min(n, stream.size() - at);
    }
    ASSERT_EQ(chunked.raw_bytes(), whole.raw_bytes()) << "limit " << limit << " round " << round;
    ASSERT_EQ(chunked.display_bytes(), whole.display_bytes());
    ASSERT_EQ(chunked.total(), stream.size());
    ASSERT_EQ(whole.raw_bytes(), expected_raw(limit, stream));
    ASSERT_EQ(chunked.head_len() + chunked.tail_len() + chunked.omitted(), stream.size());
  }
}

TEST(HeadTailBytes, LargeStreamInReadSizedChunks) {
  const std::uint64_t limit = 1048576;
  HeadTailBytes buf(limit);
  std::string chunk(65536, '\0');
  std::string stream;
  for (int i = 0; i < 40; ++i) {
    for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = static_cast<char>((i * 31 + k) % 251);
    buf.append(chunk);
    stream += chunk;
  }
  EXPECT_EQ(buf.total(), stream.size());
  EXPECT_EQ(buf.raw_bytes(), expected_raw(limit, stream));
  EXPECT_EQ(buf.omitted(), stream.size() - limit);
}

// The line from the first marker to its '\n' (or the end), and what passes: the stream without
// it, whatever the chunking; a marker run longer than the held limit passes unchanged.
TEST(LineTap, TakesOutOneLineWhateverTheChunking) {
  const std::string m = "__M__";
  const std::string long_run = m + std::string(LineTap::HELD_LIMIT + 10, 'x');
  const struct Case { std::string stream, passed, line; } cases[] = {
      {"banner\n__M__ PGID 5\nerr __M__ again\n", "banner\nerr __M__ again\n", "__M__ PGID 5\n"},
      {"a__M__ b", "a", "__M__ b"},
      {"no marker _M_ __M_", "no marker _M_ __M_", ""},
      {long_run + "\n", long_run + "\n", ""},
  };
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    for (int round = 0; round < 50; ++round) {
      LineTap tap(m);
      std::string passed;
      for (std::size_t at = 0; at < c.stream.size();) {
        const std::size_t n = round == 0 ? c.stream.size()
                                         : std::uniform_int_distribution<std::size_t>(1, 7)(rng);
        passed.append(tap.feed(std::string_view(c.stream).substr(at, n)));
        at += n;
      }
      passed.append(tap.finish());
      ASSERT_EQ(passed, c.passed) << round;
      ASSERT_EQ(tap.line(), c.line) << round;
    }
  }
}

TEST(HeadTailBytes, WritingInPlaceKeepsWhatAppendKeeps) {
  // Pieces written through space()/commit(), partly filled and mixed with appends, against
  // the same stream appended whole; then the display taken out of the buffer's storage.
  std::mt19937 rng(7);
  for (std::uint64_t limit : {0u, 1u, 2u, 7u, 10u, 64u, 1000u}) {
    for (int round = 0; round < 50; ++round) {
      HeadTailBytes buf(limit);
      std::string stream;
      const int pieces = static_cast<int>(rng() % 12);
      for (int k = 0; k < pieces; ++k) {
        std::string piece(rng() % 300, '\0');
        for (char& c : piece) c = static_cast<char>('a' + rng() % 26);
        if (rng() % 3 == 0) {
          buf.append(piece);
          stream += piece;
          continue;
        }
        const std::span<char> room = buf.space(piece.size());
        const std::size_t n = std::min(room.size(), static_cast<std::size_t>(rng() % 301));
        std::copy_n(piece.data(), std::min(n, piece.size()), room.data());
        const std::size_t written = std::min(n, piece.size());
        buf.commit(written);
        stream += piece.substr(0, written);
      }
      HeadTailBytes whole(limit);
      whole.append(stream);
      ASSERT_EQ(buf.total(), whole.total());
      ASSERT_EQ(buf.omitted(), whole.omitted());
      ASSERT_EQ(buf.raw_bytes(), whole.raw_bytes()) << "limit " << limit;
      ASSERT_EQ(buf.display_bytes(), whole.display_bytes());
      ASSERT_EQ(buf.take_display(), whole.display_bytes());
    }
  }
}

}  // namespace
}  // namespace tarnwistle
