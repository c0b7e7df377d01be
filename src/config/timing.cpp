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

bool digits_at(std::string_view text, std::size_t at, std::size_t count, int64_t& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t k = at; k < at + count; ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
    value = value * 10 + (text[k] - '0');
  }
  return true;
}

unsigned days_in_month(int64_t year, int64_t month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
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

std::optional<int64_t> parse_utc(std::string_view text) {
  // YYYY-MM-DDThh:mm:ss[.f{1,6}]Z
  int64_t year, month, day, hour, minute, second;
  if (text.size() < 20 || !digits_at(text, 0, 4, year) || text[4] != '-' ||
      !digits_at(text, 5, 2, month) || text[7] != '-' || !digits_at(text, 8, 2, day) ||
      text[10] != 'T' || !digits_at(text, 11, 2, hour) || text[13] != ':' ||
      !digits_at(text, 14, 2, minute) || text[16] != ':' || !digits_at(text, 17, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::size_t at = 19;
  int64_t micro = 0;
  if (text[at] == '.') {
    ++at;
    int decimals = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && decimals < 6) {
      micro = micro * 10 + (text[at] - '0');
      ++at;
      ++decimals;
    }
    if (decimals == 0) return std::nullopt;
    for (int k = decimals; k < 6; ++k) micro *= 10;
  }
  if (at + 1 != text.size() || text[at] != 'Z') return std::nullopt;
  const int64_t days =
      days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return ((days * 86400 + hour * 3600 + minute * 60 + second) * 1'000'000) + micro;
}

// H. Hinnant's algorithm.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace noctra
