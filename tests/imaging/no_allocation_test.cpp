// The pixel operations run inside the capture tick and on every paint of the
// guide window; none of them may touch the heap. Every global operator new of
// this test program is counted, and each operation must leave the count as it
// found it.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "imaging/field_selection.h"
#include "imaging/frame_test_support.h"
#include "imaging/guide_star.h"
#include "imaging/hi_res_merge.h"
#include "imaging/levels.h"
#include "imaging/stack_engine.h"
#include "imaging/star_measure.h"
#include "imaging/synthetic_sky.h"

namespace {

std::atomic<std::size_t> allocation_count{0};

void* counted_allocation(std::size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = counted_allocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = counted_allocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace noctra {
namespace {

using test::fill_random;
using test::make_frame;

template <typename Operation>
std::size_t allocations_during(Operation&& operation) {
  const std::size_t before = allocation_count.load();
  operation();
  return allocation_count.load() - before;
}

TEST(NoAllocation, CounterSeesAllocations) {
  EXPECT_EQ(allocations_during([] { FrameImage::create(4, 4); }), 1u);
}

TEST(NoAllocation, PixelOperationsNeverAllocate) {
  FrameHolder main_holder = make_frame(641, 481);
  FrameImage first = make_frame(641, 481);
  FrameHolder guide = make_frame(640, 480);
  fill_random(*main_holder, 1);
  fill_random(first, 2);
  fill_random(*guide, 3);
  int32_t x = 320, y = 240;

  EXPECT_EQ(allocations_during([&] { measure_fields(first); }), 0u);
  EXPECT_EQ(allocations_during([&] { select_field(guide); }), 0u);
  EXPECT_EQ(allocations_during([&] { merge_hi_res(*main_holder, first); }), 0u);
  EXPECT_EQ(allocations_during([&] { select_field(main_holder); }), 0u);
  EXPECT_EQ(allocations_during([&] { locate_guide_star(*guide, 320, 240, x, y); }), 0u);
  EXPECT_EQ(allocations_during([&] { draw_guide_marker(*guide, x, 480 - y, kGuideMarkerGreen); }),
            0u);
  EXPECT_EQ(allocations_during([&] { draw_guide_marker(*guide, 3, 380, kGuideMarkerRed); }), 0u);
}

TEST(NoAllocation, StarMeasurementNeverAllocates) {
  FrameImage sky = make_frame(640, 480);
  test::fill_rows(sky, 20);
  // A small star (with green and red equal to blue) and a hot pixel.
  for (int32_t q = -3; q <= 3; ++q) {
    for (int32_t k = -3; k <= 3; ++k) {
      const auto v = static_cast<uint8_t>(20 + 200 / (1 + k * k + q * q));
      for (int b = 0; b < 3; ++b) test::pixel_byte(sky, 300 + k, 200 + q, b) = v;
    }
  }
  test::pixel_byte(sky, 100, 100, 0) = 255;
  std::optional<StarMeasurement> near, brightest, at;
  EXPECT_EQ(allocations_during([&] { near = measure_star_near(sky, 301, 480 - 201); }), 0u);
  EXPECT_EQ(allocations_during([&] { brightest = measure_brightest_star(sky); }), 0u);
  EXPECT_EQ(allocations_during([&] { at = measure_star_at(sky, 300, 200); }), 0u);
  EXPECT_TRUE(near && brightest && at);
  FrameImage noise = make_frame(640, 480);
  fill_random(noise, 4);
  EXPECT_EQ(allocations_during([&] { brightest = measure_brightest_star(noise); }), 0u);
  EXPECT_EQ(allocations_during([&] { near = measure_star_near(noise, 320, 240); }), 0u);
}

TEST(NoAllocation, LevelsNeverAllocate) {
  FrameImage frame = make_frame(641, 481);
  fill_random(frame, 5);
  LevelHistogram histogram;
  StretchLevels levels;
  StretchTable table;
  EXPECT_EQ(allocations_during([&] { count_levels(frame, histogram); }), 0u);
  EXPECT_EQ(allocations_during([&] { levels = auto_stretch_levels(histogram); }), 0u);
  EXPECT_EQ(allocations_during([&] { build_stretch_table(levels, table); }), 0u);
  EXPECT_EQ(histogram.total, 641u * 481u * 3u);
}

// The live stack sizes its memory with its first frame; every frame after
// it, stacked or left out, touches no heap.
TEST(NoAllocation, StackingAfterTheFirstFrameNeverAllocates) {
  test::SkyScene scene;
  scene.width = 320;
  scene.height = 240;
  scene.stars = test::scattered_stars(scene, 30, 10, 100, 7, 20);
  std::vector<FrameImage> frames;
  for (int i = 0; i < 4; ++i)
    frames.push_back(test::sky_frame(scene, test::moved(scene, i, -i, 0.1 * i), i));
  FrameImage black = make_frame(320, 240);
  StackEngine engine;
  engine.add(frames[0], 0);
  engine.add(frames[1], 1);
  EXPECT_EQ(allocations_during([&] { engine.add(frames[2], 2); }), 0u);
  EXPECT_EQ(allocations_during([&] { engine.add(black, 3); }), 0u);
  EXPECT_EQ(allocations_during([&] { engine.add(frames[3], 4); }), 0u);
  EXPECT_EQ(engine.stacked_frames(), 4);
}

}  // namespace
}  // namespace noctra
