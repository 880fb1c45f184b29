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

struct KeptCase {
  std::uint64_t limit;
  std::vector<std::string> pieces;
  std::uint64_t head_len;
  std::string raw, display;
};

TEST(HeadTailBytes, KeepsTheHeadTheTailAndCountsTheRest) {
  const KeptCase cases[] = {
      {10, {"0123456789abcdef"}, 5, "01234bcdef", "01234" + marker(6) + "bcdef"},
      {10, {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "a", "b", "c", "d", "e", "f"}, 5,
       "01234bcdef", "01234" + marker(6) + "bcdef"},  // a byte at a time
      {10, {"0123456789"}, 5, "0123456789", "0123456789"},  // exactly at the limit
      {10, {"0123456789X"}, 5, "012346789X", "01234" + marker(1) + "6789X"},
      {7, {"abcdefghijkl"}, 3, "abcijkl", "abc" + marker(5) + "ijkl"},  // the tail has the odd one
      {1, {"abc", "d"}, 0, "d", marker(3) + "d"},
      {0, {"abc"}, 0, "", marker(3)},
      {10, {}, 0, "", ""},
      {10, {"", "ab", ""}, 2, "ab", "ab"},
      {6, {"abcdefgh", "ij"}, 3, "abchij", "abc" + marker(4) + "hij"},
  };
  for (const KeptCase& c : cases) {
    HeadTailBytes buf(c.limit);
    std::uint64_t total = 0;
    for (const std::string& piece : c.pieces) {
      buf.append(piece);
      total += piece.size();
      const std::string shown = buf.display_bytes();  // rendering leaves the ring as it was
      EXPECT_EQ(buf.display_bytes(), shown);
    }
    const std::string where = c.raw + " limit " + std::to_string(c.limit);
    EXPECT_EQ(buf.total(), total) << where;
    EXPECT_EQ(buf.head_len(), c.head_len) << where;
    EXPECT_EQ(buf.tail_len(), c.raw.size() - c.head_len) << where;
    EXPECT_EQ(buf.omitted(), total - c.raw.size()) << where;
    EXPECT_EQ(buf.raw_bytes(), c.raw) << where;
    EXPECT_EQ(buf.display_bytes(), c.display) << where;
  }
}

// The kept bytes by definition: the first limit/2 bytes of the stream, then the last bytes
// (at most limit - limit/2) of what follows them.
std::string expected_raw(std::uint64_t limit, const std::string& stream) {
  const std::size_t head = std::min<std::size_t>(limit / 2, stream.size());
  const std::size_t tail = std::min<std::size_t>(limit - limit / 2, stream.size() - head);
  return stream.substr(0, head) + stream.substr(stream.size() - tail);
}

// Pieces appended or written in place through space()/commit() (partly filled), against the
// same stream appended whole; then the display taken out of the buffer's storage. The last
// limit is that of a real run, fed in read-sized pieces.
TEST(HeadTailBytes, PiecesAppendedOrWrittenInPlaceKeepWhatOneAppendKeeps) {
  std::mt19937 rng(20261206);
  std::vector<std::uint64_t> limits;
  for (std::uint64_t limit = 0; limit <= 64; ++limit) limits.insert(limits.end(), 40, limit);
  limits.insert(limits.end(), {1000, 1000, 1048576});
  for (const std::uint64_t limit : limits) {
    const bool big = limit > 1000;
    const std::size_t max_piece = big ? 65536 : 3 * limit + 2;
    HeadTailBytes buf(limit);
    std::string stream;
    for (int k = 0, pieces = big ? 40 : static_cast<int>(rng() % 12); k < pieces; ++k) {
      std::string piece(big ? max_piece : rng() % (max_piece + 1), '\0');
      for (char& c : piece) c = static_cast<char>(rng());
      if (rng() % 3 == 0) {
        buf.append(piece);
        stream += piece;
        continue;
      }
      const std::span<char> room = buf.space(piece.size());
      const std::size_t written = std::min({room.size(), piece.size(),
                                            static_cast<std::size_t>(rng() % (max_piece + 2))});
      std::copy_n(piece.data(), written, room.data());
      buf.commit(written);
      stream += piece.substr(0, written);
    }
    HeadTailBytes whole(limit);
    whole.append(stream);
    ASSERT_EQ(buf.total(), stream.size());
    ASSERT_EQ(whole.raw_bytes(), expected_raw(limit, stream)) << "limit " << limit;
    ASSERT_EQ(buf.raw_bytes(), whole.raw_bytes()) << "limit " << limit;
    ASSERT_EQ(buf.omitted(), whole.omitted());
    ASSERT_EQ(buf.head_len() + buf.tail_len() + buf.omitted(), stream.size());
    ASSERT_EQ(buf.display_bytes(), whole.display_bytes());
    ASSERT_EQ(buf.take_display(), whole.display_bytes());
  }
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

}  // namespace
}  // namespace tarnwistle
