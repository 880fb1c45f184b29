#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "edit.hpp"
#include "patch.hpp"

namespace tarnwistle {
namespace {

// Sizes no real argument can reach: the guards must answer before anything is allocated or
// read, so these views are never dereferenced.
constexpr std::size_t HUGE_SIZE = std::size_t{1} << 63;
const char BYTE = 'x';
const std::string LINE = "never read";

TEST(ApplyReplacementsText, OversizedResultsAreRefusedBeforeAllocating) {
  const std::string_view huge(&BYTE, HUGE_SIZE);
  const std::vector<Span> four(4, Span{0, 0});
  Result<std::string> product = apply_replacements_text_inner("ab", four, huge);
  ASSERT_FALSE(product.ok());
  EXPECT_EQ(product.error().kind, CoreErrorKind::InvalidValue);
  EXPECT_EQ(product.error().message, "replacement size overflow");

  const std::vector<Span> one(1, Span{0, 0});
  Result<std::string> size = apply_replacements_text_inner("ab", one, huge);
  ASSERT_FALSE(size.ok());
  EXPECT_EQ(size.error().message, "result size overflow");
}

TEST(ApplyLineReplacements, OutputCountOverflowIsRefused) {
  const std::span<const std::string> huge(&LINE, HUGE_SIZE);
  std::vector<LineReplacement<std::string>> replacements = {{0, 0, huge}, {0, 0, huge}};
  Result<std::vector<std::string>> out =
      apply_line_replacements_inner(std::vector<std::string>{"a"}, std::move(replacements));
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message, "replacement output line count overflow");
}

TEST(ApplyLineReplacements, MovesInputLinesInsteadOfCopying) {
  std::vector<std::string> lines = {std::string(100, 'a'), std::string(100, 'b'),
                                    std::string(100, 'c')};
  const char* kept_first = lines[0].data();
  const char* kept_last = lines[2].data();
  const std::string repl[] = {"B"};
  Result<std::vector<std::string>> out =
      apply_line_replacements_inner(std::move(lines), {{1, 1, repl}});
  ASSERT_TRUE(out.ok());
  ASSERT_EQ(out->size(), 3u);
  EXPECT_EQ((*out)[1], "B");
  EXPECT_EQ((*out)[0].data(), kept_first);
  EXPECT_EQ((*out)[2].data(), kept_last);
}

}  // namespace
}  // namespace tarnwistle
