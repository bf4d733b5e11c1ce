#include "ringwell/common/ole_date.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "ringwell/testing/fixture.h"

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

// Local time is the installation's zone from the registry, whatever the
// process's TZ says.
class InstallationZoneTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    const char* tz = std::getenv("TZ");
    saved_tz_ = tz ? tz : "";
    had_tz_ = tz != nullptr;
    setenv("TZ", "Pacific/Auckland", 1);
  }
  void TearDown() override {
    DeleteConfigValue("TimeZone");
    ReloadInstallationTimeZone();
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    RingwellTest::TearDown();
  }
  void UseZone(const std::string& zone) {
    SetConfigString("TimeZone", zone);
    ReloadInstallationTimeZone();
  }
  std::string saved_tz_;
  bool had_tz_ = false;
};

Moment At(std::chrono::year_month_day day, std::chrono::minutes time) {
  return Moment(std::chrono::sys_days(day) + time);
}

TEST_F(InstallationZoneTest, LocalTimeIsTheRegistryZonesWithItsOffset) {
  using namespace std::chrono;
  const struct {
    const char* zone;
    Moment moment;
    const char* local;
  } kCases[] = {
      {"Europe/Berlin", At(2026y / 12 / 7, 17h), "2026-12-07T18:00:00+01:00"},
      {"Europe/Berlin", At(2026y / 7 / 7, 17h), "2026-07-07T19:00:00+02:00"},
      {"America/New_York", At(2026y / 12 / 7, 17h), "2026-12-07T12:00:00-05:00"},
      {"Asia/Kolkata", At(2026y / 12 / 7, 17h), "2026-12-07T22:30:00+05:30"},
      {"UTC", At(2026y / 12 / 7, 17h), "2026-12-07T17:00:00Z"},
      // Berlin skips 02:00-03:00 on 29 March: 02:30 counts as 02:30+01:00.
      {"Europe/Berlin", At(2026y / 3 / 29, 1h + 30min), "2026-03-29T03:30:00+02:00"},
  };
  for (const auto& c : kCases) {
    UseZone(c.zone);
    EXPECT_EQ(InstallationTimeZone(), c.zone);
    const auto local = OleDateFromMoment(c.moment);
    ASSERT_TRUE(local) << c.zone;
    EXPECT_EQ(OleDateToIsoWithOffset(*local), c.local) << c.zone;
    EXPECT_EQ(MomentFromOleDate(*local), c.moment) << c.local;
    EXPECT_EQ(OleDateFromIsoWithZone(c.local), local) << c.local;
  }
  UseZone("Europe/Berlin");
  EXPECT_EQ(MomentFromOleDate(*OleDateFromIso("2026-03-29T02:30:00")), At(2026y / 3 / 29, 90min));
  // 02:30 on 25 October happens twice; the first, still at +02:00, counts.
  EXPECT_EQ(MomentFromOleDate(*OleDateFromIso("2026-10-25T02:30:00")), At(2026y / 10 / 25, 30min));
}

TEST_F(InstallationZoneTest, WrittenZonesAreConvertedToTheInstallationsTime) {
  UseZone("Europe/Berlin");
  const OleDate six_pm = *OleDateFromIso("2026-12-07T18:00:00");
  for (const char* text : {"2026-12-07T17:00:00Z", "2026-12-07T17:00:00z", "2026-12-07T18:00:00",
                           "2026-12-07T12:00:00-05:00", "2026-12-07T12:00:00-0500",
                           "2026-12-07T12:00:00-05", "2026-12-07T22:30+05:30"}) {
    const auto date = OleDateFromIsoWithZone(text);
    ASSERT_TRUE(date) << text;
    EXPECT_NEAR(*date, six_pm, 1e-9) << text;
  }
  for (const char* text : {"2026-12-07T17:00:00+1", "2026-12-07T17:00:00+25:00",
                           "2026-12-07T17:00:00+01:xx", "2026-12-07T17:00:00ZZ", "Z"}) {
    EXPECT_FALSE(OleDateFromIsoWithZone(text)) << text;
  }
  // A zone name that does not exist: the system's zone instead.
  UseZone("Mars/Olympus_Mons");
  EXPECT_NE(InstallationTimeZone(), "Mars/Olympus_Mons");
}

}  // namespace
}  // namespace ringwell
