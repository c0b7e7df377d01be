// The measuring thread of the windows: its results are those of the
// measuring itself, and a frame handed over while the worker is behind takes
// the place of the one still waiting.

#include "app/frame_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>

namespace noctra {
namespace {

// A grey sky of level 20 with one Gaussian star at (x, stored row).
FrameImage star_frame(int32_t width, int32_t height, double x, double row) {
  FrameImage frame = *FrameImage::create(width, height);
  for (int32_t r = 0; r < height; ++r) {
    for (int32_t c = 0; c < width; ++c) {
      const double d2 = (c - x) * (c - x) + (r - row) * (r - row);
      const auto value = static_cast<uint8_t>(20 + std::lround(150 * std::exp(-d2 / 4.5)));
      for (int b = 0; b < 3; ++b) frame.row(r)[3 * c + b] = value;
    }
  }
  return frame;
}

TEST(FrameAnalysis, KeepsTheNewestFrameWhileBehindAndMeasuresAsOnTheWindowThread) {
  std::mutex mutex;
  std::condition_variable changed;
  bool hold = true;
  int ready = 0;
  FrameAnalysis analysis([&] {
    std::unique_lock<std::mutex> lock(mutex);
    ++ready;
    changed.notify_all();
    changed.wait(lock, [&] { return !hold; });
  });
  const auto wait_for_ready = [&](int count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return ready >= count; });
  };
  const FrameImage first = star_frame(80, 60, 40, 30);
  analysis.analyse_main(first);
  wait_for_ready(1);  // the worker holds in its first report
  // Behind: the second frame waits, the third takes its place. The third is
  // larger, so it needs a block of its own.
  analysis.analyse_main(star_frame(80, 60, 20, 20));
  const FrameImage third = star_frame(120, 90, 70.5, 50);
  analysis.analyse_main(third);
  analysis.analyse_guide(third, 70, 40);
  EXPECT_EQ(analysis.dropped(), 1);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    hold = false;
  }
  changed.notify_all();
  wait_for_ready(3);

  const std::optional<MainFrameAnalysis> main = analysis.take_main();
  ASSERT_TRUE(main && main->star);
  EXPECT_EQ(main->frame, 2);
  MainFrameAnalysis expected;
  analyse_main_frame(third, expected);
  EXPECT_EQ(main->levels.counts, expected.levels.counts);
  EXPECT_EQ(main->star->x, expected.star->x);
  EXPECT_EQ(main->star->row, expected.star->row);
  EXPECT_EQ(main->stretch.white, expected.stretch.white);
  const std::optional<GuideFrameAnalysis> guide = analysis.take_guide();
  ASSERT_TRUE(guide && guide->star);
  EXPECT_EQ(guide->frame, 0);
  EXPECT_NEAR(guide->star->x, 70.5, 0.05);
  EXPECT_NEAR(guide->star->y, 40, 0.05);
  EXPECT_FALSE(analysis.take_main());  // taken once
}

}  // namespace
}  // namespace noctra
