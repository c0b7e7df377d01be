#include "imaging/guide_star.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>

#include "imaging/frame_test_support.h"

namespace noctra {
namespace {

using test::block_bytes;
using test::block_offset;
using test::fill_random;
using test::make_frame;
using test::pixel_byte;
using test::same_block;

struct Star {
  int32_t column, row;
  uint8_t value;
};

// Blue background with stars; green and red saturated to show that only the
// blue byte is read.
FrameImage star_field(int32_t width, int32_t height, uint8_t background,
                      const std::vector<Star>& stars) {
  FrameImage frame = make_frame(width, height);
  for (int32_t row = 0; row < height; ++row) {
    for (int32_t x = 0; x < width; ++x) {
      pixel_byte(frame, x, row, 0) = background;
      pixel_byte(frame, x, row, 1) = 255;
      pixel_byte(frame, x, row, 2) = 255;
    }
  }
  for (const Star& s : stars) pixel_byte(frame, s.column, s.row, 0) = s.value;
  return frame;
}

constexpr int32_t kUntouched = -7777;

struct LocatorCase {
  std::string name;
  int32_t width, height;
  uint8_t background;
  std::vector<Star> stars;
  int32_t x, y;
  bool accepted;
  int32_t expected_x = 0, expected_y = 0;
};

void run_locator_cases(const std::vector<LocatorCase>& cases) {
  for (const LocatorCase& c : cases) {
    const FrameImage frame = star_field(c.width, c.height, c.background, c.stars);
    int32_t out_x = kUntouched, out_y = kUntouched - 1;
    locate_guide_star(frame, c.x, c.y, out_x, out_y);
    if (c.accepted) {
      EXPECT_EQ(out_x, c.expected_x) << c.name << " at (" << c.x << ", " << c.y << ")";
      EXPECT_EQ(out_y, c.expected_y) << c.name << " at (" << c.x << ", " << c.y << ")";
    } else {
      EXPECT_EQ(out_x, kUntouched) << c.name << " at (" << c.x << ", " << c.y << ") refused";
      EXPECT_EQ(out_y, kUntouched - 1) << c.name << " at (" << c.x << ", " << c.y << ") refused";
    }
  }
}

// On a flat frame an accepted point gives the first pixel examined: (x - 5, y + 5).
LocatorCase flat(std::string name, int32_t width, int32_t height, int32_t x, int32_t y,
                 bool accepted) {
  if (!accepted) return {std::move(name), width, height, 0, {}, x, y, false};
  return {std::move(name), width, height, 0, {}, x, y, true, x - 5, y + 5};
}

TEST(LocateGuideStar, EdgeMarginBounds) {
  // The last accepted and the first refused point at each edge.
  struct Edge {
    const char* name;
    int32_t width, height, accepted_x, accepted_y, refused_x, refused_y;
  };
  std::vector<LocatorCase> cases;
  for (const Edge e : {Edge{"40x40 left", 40, 40, 10, 20, 9, 20},
                       {"40x40 right", 40, 40, 29, 20, 30, 20},
                       {"40x40 top", 40, 40, 20, 11, 20, 10},
                       {"40x40 bottom", 40, 40, 20, 30, 20, 31},
                       {"640x480 left", 640, 480, 10, 240, 9, 240},
                       {"640x480 right", 640, 480, 629, 240, 630, 240},
                       {"640x480 top", 640, 480, 320, 11, 320, 10},
                       {"640x480 bottom", 640, 480, 320, 470, 320, 471}}) {
    cases.push_back(flat(e.name, e.width, e.height, e.accepted_x, e.accepted_y, true));
    cases.push_back(flat(e.name, e.width, e.height, e.refused_x, e.refused_y, false));
  }
  cases.insert(cases.end(), {
                                flat("640x480 corner", 640, 480, 10, 11, true),
                                flat("640x480 corner", 640, 480, 629, 470, true),
                                flat("beyond the left", 640, 480, -5, 240, false),
                                flat("beyond the right", 640, 480, 700, 240, false),
                                flat("beyond the top", 640, 480, 320, -100, false),
                                flat("beyond the bottom", 640, 480, 320, 100000, false),
                                flat("int limits", 640, 480, INT32_MIN, INT32_MIN, false),
                                flat("int limits", 640, 480, INT32_MAX, INT32_MAX, false),
                                flat("int limits", 640, 480, 320, INT32_MIN, false),
                                flat("int limits", 640, 480, 320, INT32_MAX, false),
                                flat("smallest accepting frame", 21, 21, 10, 11, true),
                                flat("too small for any point", 20, 20, 10, 10, false),
                                flat("too small for any point", 20, 20, 10, 11, false),
                            });
  run_locator_cases(cases);
}

TEST(LocateGuideStar, WorkedExamples) {
  run_locator_cases({
      {"single pixel", 40, 40, 10, {{21, 22, 200}}, 20, 18, true, 21, 18},
      {"three pixels: truncated centroid",
       40,
       40,
       10,
       {{21, 22, 200}, {22, 22, 100}, {21, 23, 100}},
       20,
       18,
       true,
       21,
       18},
      {"equal pair: lower row index first",
       40,
       40,
       10,
       {{21, 22, 200}, {18, 24, 200}},
       20,
       18,
       true,
       19,
       17},
      {"equal pair side by side", 40, 40, 10, {{21, 22, 200}, {24, 22, 200}}, 20, 18, true, 22, 18},
      {"180 pair on 640x480",
       640,
       480,
       20,
       {{322, 243, 180}, {323, 243, 180}},
       320,
       240,
       true,
       322,
       237},
      // Background 4355 / 121 = 35: the faint pixels weigh 24 each and pull
      // the centroid column to 5217 / 237 = 22.01.
      {"faint neighbours above the background",
       40,
       40,
       34,
       {{21, 22, 200}, {24, 22, 59}, {24, 23, 59}, {25, 22, 59}},
       20,
       18,
       true,
       22,
       18},
      {"flat non-zero window", 640, 480, 90, {}, 100, 100, true, 95, 105},
      // The centroid window around the brightest pixel reaches past the
      // search window, so a star just outside the search window still pulls.
      {"centroid beyond the search window",
       640,
       480,
       0,
       {{105, 380, 200}, {110, 380, 200}},
       100,
       100,
       true,
       107,
       100},
      // A star at the search window's corner, next to the edge margin: the
      // centroid window reaches the frame's first row and column.
      {"star at the frame corner", 40, 40, 3, {{5, 5, 250}, {0, 0, 250}}, 10, 30, true, 2, 38},
  });
}

TEST(LocateGuideStar, MarkersNeverMoveTheStar) {
  FrameImage frame = star_field(640, 480, 10, {{322, 243, 180}, {323, 243, 180}, {320, 247, 90}});
  int32_t before_x = 0, before_y = 0;
  locate_guide_star(frame, 320, 240, before_x, before_y);
  for (int32_t dx = -12; dx <= 12; dx += 3) {
    draw_guide_marker(frame, 320 + dx, 240 + dx, kGuideMarkerGreen);
    draw_guide_marker(frame, before_x, 480 - before_y, kGuideMarkerRed);
  }
  int32_t after_x = 0, after_y = 0;
  locate_guide_star(frame, 320, 240, after_x, after_y);
  EXPECT_EQ(after_x, before_x);
  EXPECT_EQ(after_y, before_y);
}

// Independent description of the outline: the pixels whose larger distance
// from the centre along either axis is exactly 10.
bool on_outline(int64_t column, int64_t row, int64_t cx, int64_t r) {
  return std::max(std::llabs(column - cx), std::llabs(row - r)) == kGuideMarkerHalfSize;
}

// Draws a marker and checks that exactly the in-frame outline pixels got
// byte b = 128 and that no other byte of the block changed.
void expect_marker(int32_t width, int32_t height, int32_t cx, int32_t r, int b,
                   std::size_t expected_pixels, const std::string& name) {
  FrameImage frame = make_frame(width, height);
  fill_random(frame, static_cast<uint32_t>(cx) * 31u + static_cast<uint32_t>(r));
  std::vector<uint8_t> expected = block_bytes(frame);
  std::size_t outline_pixels = 0;
  for (int32_t row = 0; row < height; ++row) {
    for (int32_t column = 0; column < width; ++column) {
      if (!on_outline(column, row, cx, r)) continue;
      expected[block_offset(frame, column, row, b)] = kGuideMarkerValue;
      ++outline_pixels;
    }
  }
  EXPECT_EQ(outline_pixels, expected_pixels) << name;
  draw_guide_marker(frame, cx, r, b);
  EXPECT_TRUE(same_block(frame, expected)) << name << ", byte " << b;
}

// The pixels whose byte b is 128.
std::set<std::pair<int32_t, int32_t>> marked_pixels(FrameImage& frame, int b) {
  std::set<std::pair<int32_t, int32_t>> marked;
  for (int32_t row = 0; row < frame.height(); ++row) {
    for (int32_t x = 0; x < frame.width(); ++x) {
      if (pixel_byte(frame, x, row, b) == kGuideMarkerValue) marked.insert({x, row});
    }
  }
  return marked;
}

TEST(DrawGuideMarker, DefaultGuidePositionOnAFullFrame) {
  // Guide position (320, 240) on 640 x 480: centre column 320, row index 240.
  expect_marker(640, 480, 320, 240, kGuideMarkerGreen, 80, "default position");
  FrameImage frame = make_frame(640, 480);
  draw_guide_marker(frame, 320, 240, kGuideMarkerGreen);
  struct Point {
    int32_t column, row;
    bool drawn;
    const char* what;
  };
  for (const Point p : {Point{310, 230, true, "corner"},
                        {330, 230, true, "corner"},
                        {310, 250, true, "corner"},
                        {330, 250, true, "corner"},
                        {320, 240, false, "centre"},
                        {311, 231, false, "inside"},
                        {309, 230, false, "outside"},
                        {310, 229, false, "outside"}}) {
    EXPECT_EQ(pixel_byte(frame, p.column, p.row, 1), p.drawn ? 128 : 0)
        << p.what << " " << p.column << ", " << p.row;
  }
}

TEST(DrawGuideMarker, PositionNearTheLeftEdgeIsClipped) {
  // Guide position (3, 100) on 640 x 480: row index 380. Column 13 (21 pixels)
  // and the rows 370 and 390 from column 0 to 12 (13 pixels each).
  std::set<std::pair<int32_t, int32_t>> expected;
  for (int32_t row = 370; row <= 390; ++row) expected.insert({13, row});
  for (int32_t x = 0; x <= 13; ++x) {
    expected.insert({x, 370});
    expected.insert({x, 390});
  }
  for (const int b : {kGuideMarkerGreen, kGuideMarkerRed}) {
    FrameImage frame = make_frame(640, 480);
    draw_guide_marker(frame, 3, 380, b);
    EXPECT_EQ(marked_pixels(frame, b), expected) << "byte " << b;
    expect_marker(640, 480, 3, 380, b, 47, "(3, 100)");
  }
}

TEST(DrawGuideMarker, ClipsEachPixelAtEveryEdge) {
  struct Case {
    int32_t width, height, cx, r;
    std::size_t pixels;
  };
  // 25 x 23: 75 pixel bytes and one fill byte per row.
  const std::vector<Case> cases = {
      {25, 23, 12, 11, 80},         // the whole outline fits
      {25, 23, 0, 0, 11 + 11 - 1},  // only the right and top sides' quarter
      {25, 23, 24, 22, 11 + 11 - 1},
      {25, 23, -10, 11, 21},  // left edge column 0 only: the right side
      {25, 23, -11, 11, 0},
      {25, 23, 34, 11, 21},
      {25, 23, 35, 11, 0},
      {25, 23, 12, 32, 21},  // only the bottom side reaches row 22
      {25, 23, 12, 33, 0},
      {25, 23, 12, -10, 21},
      {25, 23, 12, -11, 0},
      {5, 5, 2, 2, 0},  // the outline surrounds the whole frame
      {1, 1, 10, 10, 1},
      {1, 1, -10, -10, 1},
      {64, 48, INT32_MIN, INT32_MIN, 0},
      {64, 48, INT32_MAX, INT32_MAX, 0},
      {64, 48, INT32_MAX, 24, 0},
      {64, 48, 32, INT32_MIN, 0},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) + " at " +
                             std::to_string(c.cx) + ", " + std::to_string(c.r);
    for (const int b : {kGuideMarkerGreen, kGuideMarkerRed})
      expect_marker(c.width, c.height, c.cx, c.r, b, c.pixels, name);
  }
}

TEST(DrawGuideMarker, OtherBytesAreNeverWritten) {
  for (const int b : {0, 3, -1, 4, 1000, INT_MIN}) {
    FrameImage frame = make_frame(640, 480);
    fill_random(frame, 3);
    const std::vector<uint8_t> before = block_bytes(frame);
    draw_guide_marker(frame, 320, 240, b);
    EXPECT_EQ(block_bytes(frame), before) << "byte " << b;
  }
}

}  // namespace
}  // namespace noctra
