#include "error.hpp"
#include "text.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace tarnwistle {
namespace {

TEST(FromIo, RendersTheSystemTextAndClassifiesTheNumber) {
  const CoreError missing = from_io("read_bytes", "notes.txt", ENOENT);
  EXPECT_EQ(missing.kind, CoreErrorKind::NotFound);
  EXPECT_EQ(missing.message, "read_bytes failed: notes.txt: No such file or directory (os error 2)");
  EXPECT_EQ(from_io("stat", "p", EACCES).kind, CoreErrorKind::PermissionDenied);
  EXPECT_EQ(from_io("stat", "p", EPERM).kind, CoreErrorKind::PermissionDenied);
  for (int err : {ENOTDIR, EISDIR, EEXIST, ENOTEMPTY, EROFS, ENOSPC}) {
    EXPECT_EQ(from_io("stat", "p", err).kind, CoreErrorKind::General) << err;
  }
}

TEST(DebugQuote, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quote(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(debug_quote("\x1b\x7f"), "\"\\u{1b}\\u{7f}\"");
  EXPECT_EQ(debug_quote("caf\xC3\xA9 \xE2\x80\xA8"), "\"caf\xC3\xA9 \\u{2028}\"");
  EXPECT_EQ(debug_quote(""), "\"\"");
}

TEST(Trim, UsesUnicodeWhiteSpace) {
  EXPECT_EQ(trim_end_unicode("x \t\r\xC2\xA0\xE3\x80\x80"), "x");
  EXPECT_EQ(trim_unicode("\xE2\x80\x83 x y \n"), "x y");
  EXPECT_EQ(trim_end_unicode("x\xE2\x80\x8B"), "x\xE2\x80\x8B");  // U+200B is not whitespace
  EXPECT_EQ(trim_unicode("   "), "");
}

TEST(Decimal, PrintsBeyondSixtyFourBits) {
  const unsigned __int128 big = (static_cast<unsigned __int128>(1) << 64) + 5;
  EXPECT_EQ(decimal(big), "18446744073709551621");
  EXPECT_EQ(decimal(0), "0");
}

}  // namespace
}  // namespace tarnwistle
