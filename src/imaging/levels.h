#pragma once
// The frame's levels for a display stretch: a histogram of the pixel bytes
// and automatic black and white points taken from it, so that a dark long
// exposure shows its faint stars. The view maps through a table; the frame
// itself is never changed. Nothing here allocates.

#include <array>
#include <cstdint>

#include "imaging/frame_image.h"

namespace noctra {

struct LevelHistogram {
  std::array<uint32_t, 256> counts{};
  uint64_t total = 0;
};

// Counts every byte of every pixel (blue, green and red; the row padding is
// left out): the stretch maps all three with the same levels, so a grey
// frame keeps its greys and a colour frame its balance.
void count_levels(const FrameImage& frame, LevelHistogram& out);

// The smallest level with at least this fraction (0..1) of the bytes at or
// below it; 0 for an empty histogram.
int32_t level_at_fraction(const LevelHistogram& histogram, double fraction);

struct StretchLevels {
  int32_t black = 0;    // shown as 0
  int32_t white = 255;  // shown as 255; always above black
};

// Black just below the sky: the median less twice the sky's spread (the
// median less the level of the 16th percentile, one standard deviation for
// Gaussian noise). White at the 99.9th percentile, the cores of the stars,
// but at least ten spreads above the median so that an empty sky's noise is
// not blown up to the full range. An empty histogram gives 0 and 255.
StretchLevels auto_stretch_levels(const LevelHistogram& histogram);

// Display level of each stored level: 0 up to black, 255 from white on,
// linear (rounded) in between.
using StretchTable = std::array<uint8_t, 256>;
void build_stretch_table(const StretchLevels& levels, StretchTable& table);

}  // namespace noctra
