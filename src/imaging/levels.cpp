#include "imaging/levels.h"

#include <algorithm>
#include <cmath>

namespace noctra {

namespace {

constexpr double kBlackSpreads = 2.0;
constexpr double kLeastWhiteSpreads = 10.0;
constexpr double kWhiteFraction = 0.999;
constexpr double kSpreadFraction = 0.1587;  // one standard deviation below the median

}  // namespace

void count_levels(const FrameImage& frame, LevelHistogram& out) {
  out.counts.fill(0);
  // Four partial histograms keep neighbouring equal bytes (a flat sky) from
  // waiting on one another's increments.
  std::array<std::array<uint32_t, 256>, 4> parts{};
  const std::size_t row_bytes = static_cast<std::size_t>(frame.width()) * 3;
  for (int32_t q = 0; q < frame.height(); ++q) {
    const uint8_t* bytes = frame.row(q);
    std::size_t i = 0;
    for (; i + 4 <= row_bytes; i += 4) {
      ++parts[0][bytes[i]];
      ++parts[1][bytes[i + 1]];
      ++parts[2][bytes[i + 2]];
      ++parts[3][bytes[i + 3]];
    }
    for (; i < row_bytes; ++i) ++parts[0][bytes[i]];
  }
  for (std::size_t v = 0; v < 256; ++v)
    out.counts[v] = parts[0][v] + parts[1][v] + parts[2][v] + parts[3][v];
  out.total = static_cast<uint64_t>(row_bytes) * static_cast<uint64_t>(frame.height());
}

int32_t level_at_fraction(const LevelHistogram& histogram, double fraction) {
  if (histogram.total == 0) return 0;
  const double wanted = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(histogram.total);
  uint64_t below = 0;
  for (int32_t v = 0; v < 256; ++v) {
    below += histogram.counts[static_cast<std::size_t>(v)];
    if (static_cast<double>(below) >= wanted && below > 0) return v;
  }
  return 255;
}

StretchLevels auto_stretch_levels(const LevelHistogram& histogram) {
  if (histogram.total == 0) return {};
  const int32_t median = level_at_fraction(histogram, 0.5);
  const int32_t spread = std::max(1, median - level_at_fraction(histogram, kSpreadFraction));
  StretchLevels levels;
  levels.black =
      std::clamp(median - static_cast<int32_t>(std::lround(kBlackSpreads * spread)), 0, 254);
  const int32_t least_white =
      median + static_cast<int32_t>(std::lround(kLeastWhiteSpreads * spread));
  levels.white = std::clamp(std::max(level_at_fraction(histogram, kWhiteFraction), least_white),
                            levels.black + 1, 255);
  return levels;
}

void build_stretch_table(const StretchLevels& levels, StretchTable& table) {
  const int32_t black = std::clamp(levels.black, 0, 254);
  const int32_t white = std::clamp(levels.white, black + 1, 255);
  const int32_t span = white - black;
  for (int32_t v = 0; v < 256; ++v) {
    const int32_t shown = v <= black ? 0 : v >= white ? 255 : ((v - black) * 255 + span / 2) / span;
    table[static_cast<std::size_t>(v)] = static_cast<uint8_t>(shown);
  }
}

}  // namespace noctra
