#include "config/timing.h"

#include <gtest/gtest.h>

namespace noctra {
namespace {

struct UtcCase {
  int64_t utc_us;
  int decimals;
  const char* text;
};

TEST(Timing, FormatsUtcInstants) {
  const UtcCase cases[] = {
      {0, 6, "1970-01-01T00:00:00.000000Z"},
      {1796677445'123456, 6, "2026-12-07T21:04:05.123456Z"},
      {1796677445'123999, 3, "2026-12-07T21:04:05.123Z"},  // truncated, never rounded up
      {1796677445'999999, 0, "2026-12-07T21:04:05Z"},
      {1709251199'000001, 6, "2024-02-29T23:59:59.000001Z"},
      {951868800'000000, 1, "2000-03-01T00:00:00.0Z"},
      {-1, 6, "1969-12-31T23:59:59.999999Z"},
      {-2208988800'000000, 6, "1900-01-01T00:00:00.000000Z"},
  };
  for (const UtcCase& c : cases) EXPECT_EQ(format_utc(c.utc_us, c.decimals), c.text) << c.utc_us;
}

TEST(Timing, CivilTimeIsShiftedAndHasNoZone) {
  EXPECT_EQ(format_civil(1796677445'123456, 3600, 3), "2026-12-07T22:04:05.123");
  EXPECT_EQ(format_civil(0, -5 * 3600, 0), "1969-12-31T19:00:00");
}

TEST(Timing, MonotonicMillisecondsKeepThreeDecimals) {
  EXPECT_EQ(format_mono_ms(12345'678), "12345.678");
  EXPECT_EQ(format_mono_ms(5), "0.005");
  EXPECT_EQ(format_mono_ms(-250), "-0.250");
  EXPECT_EQ(format_mono_ms(-1'000'001), "-1000.001");
}

TEST(Timing, TicksCountFromYearOne) {
  // The Unix epoch is 621355968000000000 ticks of 100 ns after 0001-01-01.
  EXPECT_EQ(ticks_since_year_one(0), 621355968000000000);
  EXPECT_EQ(ticks_since_year_one(1'000'001), 621355968000000000 + 10'000'010);
}

TEST(Timing, SystemClockReadsBothClocks) {
  SystemInstantClock clock;
  const Instant a = clock.now();
  const Instant b = clock.now();
  EXPECT_GT(a.utc_us, int64_t{1'600'000'000} * 1'000'000);  // after 2020
  EXPECT_GE(b.mono_us, a.mono_us);
}

}  // namespace
}  // namespace noctra
