// The measuring thread of the windows: its results are those of the
// measuring itself, and a frame handed over while the worker is behind takes
// the place of the one still waiting.

#include "app/frame_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>

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

// The focus star: the brightest unsaturated one without a choice, the one
// near a chosen point otherwise; the chosen point follows its star.
TEST(FrameAnalysis, FocusStarIsTheChosenOneOrTheBrightestUnsaturated) {
  const auto sky = [](double x) {
    FrameImage frame = *FrameImage::create(200, 150);
    for (int32_t r = 0; r < 150; ++r) {
      for (int32_t c = 0; c < 200; ++c) {
        const double bright = 900 * std::exp(-((c - 40) * (c - 40) + (r - 30) * (r - 30)) / 8.0);
        const double faint = 120 * std::exp(-((c - x) * (c - x) + (r - 80) * (r - 80)) / 4.5);
        const auto value = static_cast<uint8_t>(std::min(255.0, 20 + bright + faint));
        for (int b = 0; b < 3; ++b) frame.row(r)[3 * c + b] = value;
      }
    }
    return frame;
  };
  const FrameImage frame = sky(120);
  struct Case {
    std::optional<FocusPoint> chosen;
    double x;
    bool saturated;
  };
  FocusStarFinder finder;
  for (const Case& c : {Case{std::nullopt, 120, false}, Case{FocusPoint{42, 119}, 40, true},
                        Case{FocusPoint{118, 72}, 120, false}}) {
    const StarSearch search = finder.find(frame, c.chosen);
    ASSERT_TRUE(search.star) << c.x;
    EXPECT_NEAR(search.star->x, c.x, 0.3);
    EXPECT_EQ(search.star->saturated, c.saturated);
  }

  std::mutex mutex;
  std::condition_variable changed;
  int ready = 0;
  FrameAnalysis analysis([&] {
    const std::lock_guard<std::mutex> lock(mutex);
    ++ready;
    changed.notify_all();
  });
  analysis.choose_focus_point(FocusPoint{118, 72});
  analysis.analyse_main(sky(123));
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return ready == 1; });
  const std::optional<MainFrameAnalysis> main = analysis.take_main();
  ASSERT_TRUE(main && main->star && main->chosen);
  EXPECT_NEAR(analysis.focus_point()->x, 123, 0.3);
}

}  // namespace
}  // namespace noctra
