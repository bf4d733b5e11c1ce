// Line lists of the host's command line: numbers, ranges and their mixes,
// and what is refused, with the reason the host prints.
#include "line_numbers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

namespace ringwell::host {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

std::vector<int> Range(int first, int last) {
  std::vector<int> lines(static_cast<std::size_t>(last - first + 1));
  std::iota(lines.begin(), lines.end(), first);
  return lines;
}

TEST(LineNumbersTest, ListsAndRanges) {
  const struct {
    const char* text;
    std::vector<int> lines;
  } cases[] = {
      {"5", {5}},
      {"1,2,3", {1, 2, 3}},
      {"1-4,7", {1, 2, 3, 4, 7}},
      {"7,1-3", {7, 1, 2, 3}},
      {"3-3", {3}},
      {" 1 - 2 , 9 ", {1, 2, 9}},
      {"0,0,0", {0, 0, 0}},
      {"-1", {-1}},
      {"0-2", {0, 1, 2}},
      {"2,1-2", {2, 1, 2}},
      {"1-500", Range(1, 500)},
      {"1-10000", Range(1, 10000)},
      {"2147483647", {2147483647}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<int> lines;
    std::string error;
    EXPECT_TRUE(ParseLineNumbers(c.text, &lines, &error)) << error;
    EXPECT_THAT(lines, ElementsAreArray(c.lines));
  }
}

TEST(LineNumbersTest, RefusedListsSayWhyAndChangeNothing) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "an empty item in the line list \"\""},
      {"1,,2", "an empty item in the line list \"1,,2\""},
      {"1,", "an empty item"},
      {"a", "\"a\" is not a line number"},
      {"1.5", "\"1.5\" is not a line number"},
      {"1-", "\"1-\" is not a range of line numbers (FIRST-LAST, e.g. 1-500)"},
      {"1-x", "is not a range"},
      {"-1-3", "\"-1-3\" is not a range"},
      {"1-2-3", "is not a range"},
      {"5-1", "the range \"5-1\" runs backwards"},
      {"2147483648", "is not a line number"},
      {"1-2147483648", "is not a range"},
      {"1-10001", "more than 10000 lines"},
      {"1-2147483647", "more than 10000 lines"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<int> lines = {42};
    std::string error;
    EXPECT_FALSE(ParseLineNumbers(c.text, &lines, &error));
    EXPECT_THAT(error, HasSubstr(c.error));
    EXPECT_THAT(lines, ElementsAreArray({42}));
  }
}

TEST(LineNumbersTest, ListsAddUpToTheLimit) {
  std::vector<int> lines;
  std::string error;
  ASSERT_TRUE(ParseLineNumbers("1-6000", &lines, &error)) << error;
  EXPECT_FALSE(ParseLineNumbers("6001-10001", &lines, &error));
  EXPECT_EQ(error, "more than 10000 lines");
  ASSERT_TRUE(ParseLineNumbers("6001-10000", &lines, &error)) << error;
  EXPECT_EQ(lines.size(), 10000u);
  EXPECT_EQ(lines.back(), 10000);
}

}  // namespace
}  // namespace ringwell::host
