#pragma once
// Instants of an exposure's life, on the two clocks a user can check them
// against: UTC (CLOCK_REALTIME) for the record, the monotonic clock for
// differences that a clock step must not spoil. Microseconds throughout.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace noctra {

struct Instant {
  int64_t utc_us = 0;   // microseconds since 1970-01-01T00:00:00Z
  int64_t mono_us = 0;  // CLOCK_MONOTONIC, microseconds
  friend bool operator==(const Instant&, const Instant&) = default;
};

class InstantClock {
 public:
  virtual ~InstantClock() = default;
  virtual Instant now() = 0;
};

// Reads CLOCK_REALTIME and CLOCK_MONOTONIC back to back.
class SystemInstantClock : public InstantClock {
 public:
  Instant now() override;
};

// When one frame's exposure started and ended, and when the source handed it
// over. An instant the frame did not go through (a source without a buffer
// timestamp, say) stays empty.
struct FrameTiming {
  std::optional<Instant> start;      // first byte of the exposure-start sequence written
  std::optional<Instant> end;        // trigger byte written
  std::optional<Instant> delivered;  // the source returned the frame
  // The capture device's own timestamp of the buffer, on the monotonic clock.
  std::optional<int64_t> source_mono_us;
  friend bool operator==(const FrameTiming&, const FrameTiming&) = default;
};

// "2026-12-07T21:04:05.123456Z" with `decimals` digits of the second (0 to 6,
// truncated, not rounded, so an instant never moves into the next second).
std::string format_utc(int64_t utc_us, int decimals = 6);
// format_utc's text (0 to 6 decimals, the Z required) back to microseconds
// since 1970; nothing for any other text.
std::optional<int64_t> parse_utc(std::string_view text);
// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);
// The same instant as local civil time without a zone letter, for formats that
// want the observer's clock beside UTC; `offset_s` is the local offset east of UTC.
std::string format_civil(int64_t utc_us, int64_t offset_s, int decimals);

// Microseconds as milliseconds with three decimals: "12345.678", "-0.250".
std::string format_mono_ms(int64_t us);

// 100 ns ticks since 0001-01-01T00:00:00 (proleptic Gregorian), the unit of
// the timestamps in SER files.
int64_t ticks_since_year_one(int64_t utc_us);

}  // namespace noctra
