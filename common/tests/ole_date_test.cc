#include "ringwell/common/ole_date.h"

#include <gtest/gtest.h>

namespace ringwell {
namespace {

TEST(OleDateTest, CivilConversionsRoundTrip) {
  EXPECT_DOUBLE_EQ(*OleDateFromCivil({1980, 1, 1, 0, 0, 0, 0}), 29221.0);
  EXPECT_DOUBLE_EQ(*OleDateFromCivil({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  // Before the epoch the fraction counts forward from the start of the day.
  EXPECT_DOUBLE_EQ(*OleDateFromCivil({1899, 12, 29, 6, 0, 0, 0}), -1.25);
  auto civil = CivilFromOleDate(-1.25);
  ASSERT_TRUE(civil);
  EXPECT_EQ(civil->day, 29);
  EXPECT_EQ(civil->hour, 6);
  EXPECT_FALSE(OleDateFromCivil({2023, 2, 29, 0, 0, 0, 0}));
  EXPECT_FALSE(CivilFromOleDate(kInvalidDate));
}

TEST(OleDateTest, LinearScaleOrdersDatesBeforeTheEpoch) {
  // 29 Dec 1899 06:00 (-1.25) is later than 29 Dec 1899 00:00 (-1.0).
  EXPECT_LT(LinearDate(-1.0), LinearDate(-1.25));
  EXPECT_LT(LinearDate(-1.25), LinearDate(0.0));
  EXPECT_DOUBLE_EQ(LinearDate(29221.5), 29221.5);
}

TEST(OleDateTest, IsoTextRoundTrips) {
  EXPECT_EQ(OleDateToIso(29221.0), "1980-01-01T00:00:00");
  const OleDate noon = *OleDateFromCivil({2026, 12, 7, 12, 30, 15, 250});
  EXPECT_EQ(OleDateToIso(noon), "2026-12-07T12:30:15.250");
  EXPECT_DOUBLE_EQ(*OleDateFromIso("2026-12-07T12:30:15.250"), noon);
  EXPECT_DOUBLE_EQ(*OleDateFromIso(" 1980-01-01 "), 29221.0);
  EXPECT_FALSE(OleDateFromIso("1980-13-01T00:00:00"));
  EXPECT_FALSE(OleDateFromIso("yesterday"));
  EXPECT_FALSE(OleDateFromIso("1980-01-01T00:00:00Z"));
}

TEST(OleDateTest, AddMinutesCrossesTheEpochAndTheRangeLimits) {
  EXPECT_DOUBLE_EQ(AddMinutes(29221.0, 1440), 29222.0);
  EXPECT_DOUBLE_EQ(AddMinutes(-1.25, 6 * 60), -1.5);
  EXPECT_DOUBLE_EQ(AddMinutes(-1.5, 2 * 24 * 60), 1.5);
  EXPECT_DOUBLE_EQ(AddMinutes(kInvalidDate, 5), kInvalidDate);
  EXPECT_DOUBLE_EQ(AddMinutes(kMaxOleDate, 60), kInvalidDate);
}

}  // namespace
}  // namespace ringwell
