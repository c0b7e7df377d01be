#include "imaging/levels.h"

#include <gtest/gtest.h>

#include <random>

#include "imaging/frame_test_support.h"

namespace noctra {
namespace {

using test::make_frame;
using test::pixel_byte;

TEST(Levels, CountsEveryPixelByteButNotThePadding) {
  // Width 5: 15 pixel bytes and one padding byte a row.
  FrameImage frame = make_frame(5, 3);
  test::fill_rows(frame, 9);
  pixel_byte(frame, 0, 0, 0) = 200;
  pixel_byte(frame, 4, 2, 2) = 255;
  frame.row(1)[15] = 77;  // padding
  LevelHistogram h;
  h.counts[77] = 1234;  // left over from an earlier frame
  count_levels(frame, h);
  EXPECT_EQ(h.total, 45u);
  EXPECT_EQ(h.counts[9], 43u);
  EXPECT_EQ(h.counts[200], 1u);
  EXPECT_EQ(h.counts[255], 1u);
  EXPECT_EQ(h.counts[77], 0u);
}

TEST(Levels, LevelAtFraction) {
  LevelHistogram h;
  EXPECT_EQ(level_at_fraction(h, 0.5), 0);
  h.counts[10] = 50;
  h.counts[20] = 49;
  h.counts[250] = 1;
  h.total = 100;
  struct Case {
    double fraction;
    int32_t level;
  };
  for (const Case& c : {Case{0, 10}, Case{0.5, 10}, Case{0.51, 20}, Case{0.99, 20},
                        Case{0.995, 250}, Case{1, 250}, Case{2, 250}, Case{-1, 10}}) {
    EXPECT_EQ(level_at_fraction(h, c.fraction), c.level) << c.fraction;
  }
}

// A dark sky with read noise and a few stars: black just below the sky,
// white up among the stars, so the sky shows dark grey and the stars bright.
TEST(Levels, AutoLevelsOnADarkSky) {
  FrameImage frame = make_frame(320, 240);
  std::mt19937 generator(3);
  std::normal_distribution<double> noise(12.0, 2.0);
  for (int32_t q = 0; q < 240; ++q) {
    for (int32_t k = 0; k < 320; ++k) {
      const auto v = static_cast<uint8_t>(std::clamp(std::lround(noise(generator)), 0L, 255L));
      for (int b = 0; b < 3; ++b) pixel_byte(frame, k, q, b) = v;
    }
  }
  for (int i = 0; i < 40; ++i) {
    for (int32_t d = 0; d < 3; ++d) {
      for (int b = 0; b < 3; ++b)
        pixel_byte(frame, 10 + 7 * i, 20 + d + i, b) = static_cast<uint8_t>(60 + i);
    }
  }
  LevelHistogram h;
  count_levels(frame, h);
  const StretchLevels levels = auto_stretch_levels(h);
  EXPECT_GE(levels.black, 7);
  EXPECT_LE(levels.black, 10);
  EXPECT_GE(levels.white, 60);
  EXPECT_LE(levels.white, 100);
  StretchTable table;
  build_stretch_table(levels, table);
  EXPECT_LT(table[12], 80);  // the sky stays dark
  EXPECT_GT(table[12], 0);   // but not black: its noise shows
  EXPECT_EQ(table[100], 255);
}

TEST(Levels, AutoLevelsOnFlatAndEmptyFrames) {
  struct Case {
    uint8_t level;
    int32_t black, white;
  };
  for (const Case& c :
       {Case{0, 0, 10}, Case{40, 38, 50}, Case{250, 248, 255}, Case{255, 253, 255}}) {
    FrameImage frame = make_frame(16, 16);
    test::fill_rows(frame, c.level);
    LevelHistogram h;
    count_levels(frame, h);
    const StretchLevels levels = auto_stretch_levels(h);
    EXPECT_EQ(levels.black, c.black) << int{c.level};
    EXPECT_EQ(levels.white, c.white) << int{c.level};
    EXPECT_LT(levels.black, levels.white);
  }
  const StretchLevels none = auto_stretch_levels(LevelHistogram{});
  EXPECT_EQ(none.black, 0);
  EXPECT_EQ(none.white, 255);
}

TEST(Levels, StretchTable) {
  struct Case {
    StretchLevels levels;
    int32_t level, shown;
  };
  for (const Case& c :
       {Case{{0, 255}, 0, 0}, Case{{0, 255}, 128, 128}, Case{{0, 255}, 255, 255},
        Case{{10, 20}, 10, 0}, Case{{10, 20}, 15, 128}, Case{{10, 20}, 20, 255},
        Case{{10, 20}, 5, 0}, Case{{10, 20}, 200, 255}, Case{{254, 255}, 254, 0},
        Case{{254, 255}, 255, 255},
        // Out-of-order levels are put in order rather than dividing by zero.
        Case{{30, 30}, 30, 0}, Case{{30, 30}, 31, 255}, Case{{300, -5}, 255, 255}}) {
    StretchTable table;
    build_stretch_table(c.levels, table);
    EXPECT_EQ(table[static_cast<std::size_t>(c.level)], c.shown)
        << c.levels.black << ".." << c.levels.white << " at " << c.level;
    for (std::size_t v = 1; v < 256; ++v) EXPECT_GE(table[v], table[v - 1]);
  }
}

}  // namespace
}  // namespace noctra
