#include "config/timing.h"

#include <time.h>

#include <cstdio>

namespace noctra {

namespace {

int64_t read_us(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

struct Civil {
  int64_t year;
  unsigned month, day;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm),
// valid for any day count a 64-bit microsecond value can give.
Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

std::string format(int64_t us, int decimals, const char* zone) {
  if (decimals < 0) decimals = 0;
  if (decimals > 6) decimals = 6;
  const int64_t seconds = floor_div(us, 1'000'000);
  const int64_t micro = us - seconds * 1'000'000;
  const int64_t days = floor_div(seconds, 86400);
  const int64_t in_day = seconds - days * 86400;
  const Civil date = civil_from_days(days);
  char text[64];
  int n = std::snprintf(
      text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld", static_cast<long long>(date.year),
      date.month, date.day, static_cast<long long>(in_day / 3600),
      static_cast<long long>(in_day / 60 % 60), static_cast<long long>(in_day % 60));
  if (decimals > 0) {
    int64_t fraction = micro;
    for (int i = decimals; i < 6; ++i) fraction /= 10;
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ".%0*lld", decimals,
                       static_cast<long long>(fraction));
  }
  std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%s", zone);
  return text;
}

}  // namespace

Instant SystemInstantClock::now() { return {read_us(CLOCK_REALTIME), read_us(CLOCK_MONOTONIC)}; }

std::string format_utc(int64_t utc_us, int decimals) { return format(utc_us, decimals, "Z"); }

std::string format_civil(int64_t utc_us, int64_t offset_s, int decimals) {
  return format(utc_us + offset_s * 1'000'000, decimals, "");
}

std::string format_mono_ms(int64_t us) {
  char text[32];
  const int64_t magnitude = us < 0 ? -us : us;
  std::snprintf(text, sizeof text, "%s%lld.%03lld", us < 0 ? "-" : "",
                static_cast<long long>(magnitude / 1000), static_cast<long long>(magnitude % 1000));
  return text;
}

int64_t ticks_since_year_one(int64_t utc_us) {
  // 0001-01-01 lies 719162 days before 1970-01-01.
  constexpr int64_t kEpochTicks = int64_t{719162} * 86400 * 10'000'000;
  return kEpochTicks + utc_us * 10;
}

}  // namespace noctra
