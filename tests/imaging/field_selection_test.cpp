#include "imaging/field_selection.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "imaging/frame_test_support.h"

namespace noctra {
namespace {

using test::block_bytes;
using test::copy_row;
using test::fill_random;
using test::fill_rows;
using test::make_frame;
using test::pixel_byte;
using test::same_block;
using test::set_patch;

TEST(MeasureFields, SumsOnlyTheBlueBytesOfTheSamplePatch) {
  struct Case {
    std::string name;
    int32_t width, height;
    std::function<void(FrameImage&)> paint;
    FieldSums expected;
  };
  const std::vector<Case> cases = {
      {"saturated", 640, 480, [](FrameImage& f) { fill_rows(f, 255); }, {229500, 229500}},
      {"corners of the patch",
       640,
       480,
       [](FrameImage& f) {
         pixel_byte(f, 10, 20, 0) = 7;
         pixel_byte(f, 39, 79, 0) = 9;
         pixel_byte(f, 39, 78, 0) = 1;
         pixel_byte(f, 10, 21, 0) = 2;
       },
       {8, 11}},
      {"just outside the patch",
       640,
       480,
       [](FrameImage& f) {
         for (int32_t row : {19, 80}) {
           for (int32_t x = 0; x < 640; ++x) pixel_byte(f, x, row, 0) = 255;
         }
         for (int32_t row = 0; row < 480; ++row) {
           pixel_byte(f, 9, row, 0) = 255;
           pixel_byte(f, 40, row, 0) = 255;
         }
       },
       {0, 0}},
      {"green and red ignored",
       640,
       480,
       [](FrameImage& f) {
         fill_rows(f, 200);
         set_patch(f, 0, 1);
         set_patch(f, 1, 2);
       },
       {900, 1800}},
      {"smallest frame holding the patch",
       40,
       80,
       [](FrameImage& f) { fill_rows(f, 1); },
       {900, 900}},
      {"too narrow", 39, 480, [](FrameImage& f) { fill_rows(f, 255); }, {0, 0}},
      {"too short", 640, 79, [](FrameImage& f) { fill_rows(f, 255); }, {0, 0}},
  };
  for (const Case& c : cases) {
    FrameImage frame = make_frame(c.width, c.height);
    c.paint(frame);
    const FieldSums sums = measure_fields(frame);
    EXPECT_EQ(sums.even, c.expected.even) << c.name;
    EXPECT_EQ(sums.odd, c.expected.odd) << c.name;
  }
}

enum class Kept { Nothing, Even, Odd };

// The block as select_field must leave it: the kept field's row of each pair
// on both rows, whole strides; the unpaired top row of an odd height
// unchanged under the even field and a copy of the odd row below it under
// the odd field, so the whole picture shows one field.
std::vector<uint8_t> expected_after(const std::vector<uint8_t>& before, const FrameImage& frame,
                                    Kept kept) {
  std::vector<uint8_t> expected = before;
  if (kept == Kept::Nothing) return expected;
  const int32_t height = frame.height();
  const int32_t offset = kept == Kept::Even ? 0 : 1;
  for (int32_t k = 0; k < height / 2; ++k) {
    copy_row(before, 2 * k + offset, expected, 2 * k, frame);
    copy_row(before, 2 * k + offset, expected, 2 * k + 1, frame);
  }
  if (height % 2 == 1 && kept == Kept::Odd)
    copy_row(before, height - 2, expected, height - 1, frame);
  return expected;
}

TEST(SelectField, KeepsTheBrighterFieldOfTheSamplePatch) {
  struct Case {
    std::string name;
    int32_t width, height;
    std::function<void(FrameImage&)> paint;  // applied over random bytes
    Kept kept;
  };
  const auto odd_brighter = [](FrameImage& f) {
    set_patch(f, 0, 50);
    set_patch(f, 1, 60);
  };
  const auto tie = [](FrameImage& f) {
    set_patch(f, 0, 77);
    set_patch(f, 1, 77);
  };
  const std::vector<Case> cases = {
      {"240 rows are left alone", 640, 240, odd_brighter, Kept::Nothing},
      {"242 rows are processed", 640, 242, odd_brighter, Kept::Odd},
      {"241 rows are processed", 640, 241, tie, Kept::Even},
      {"tie keeps the even field", 640, 480, tie, Kept::Even},
      {"even brighter", 640, 480,
       [](FrameImage& f) {
         set_patch(f, 0, 61);
         set_patch(f, 1, 60);
       },
       Kept::Even},
      {"odd sum one higher", 640, 480,
       [&](FrameImage& f) {
         tie(f);
         pixel_byte(f, 39, 79, 0) = 78;
       },
       Kept::Odd},
      {"odd brighter only outside the patch", 640, 480,
       [&](FrameImage& f) {
         for (int32_t row = 0; row < 480; ++row) {
           for (int32_t x = 0; x < 640; ++x) pixel_byte(f, x, row, 0) = row % 2 ? 255 : 0;
         }
         tie(f);
       },
       Kept::Even},
      {"odd brighter only in green and red", 640, 480,
       [&](FrameImage& f) {
         for (int32_t row = 0; row < 480; ++row) {
           for (int32_t x = 0; x < 640; ++x) {
             pixel_byte(f, x, row, 1) = row % 2 ? 255 : 0;
             pixel_byte(f, x, row, 2) = row % 2 ? 255 : 0;
           }
         }
         tie(f);
       },
       Kept::Even},
      {"fill bytes are copied with the row", 641, 300, odd_brighter, Kept::Odd},
      {"fill bytes are copied with the row (even)", 643, 300, tie, Kept::Even},
      {"odd height, odd field", 642, 243, odd_brighter, Kept::Odd},
      {"odd height, even field", 642, 243, tie, Kept::Even},
      {"narrowest frame with a patch", 40, 400, odd_brighter, Kept::Odd},
      {"narrower than the patch", 39, 400, odd_brighter, Kept::Nothing},
      {"one pixel wide", 1, 1000, [](FrameImage&) {}, Kept::Nothing},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    FrameHolder holder = make_frame(c.width, c.height);
    fill_random(*holder, seed++);
    c.paint(*holder);
    const std::vector<uint8_t> before = block_bytes(*holder);
    const uint8_t* block = holder->block();
    select_field(holder);
    ASSERT_TRUE(holder) << c.name;
    EXPECT_EQ(holder->block(), block) << c.name << ": the block is changed in place";
    const std::vector<uint8_t> expected = expected_after(before, *holder, c.kept);
    EXPECT_TRUE(same_block(*holder, expected)) << c.name;
    // Both fields now hold the same rows: a second pass finds a tie and
    // changes nothing.
    select_field(holder);
    EXPECT_TRUE(same_block(*holder, expected)) << c.name << ", second pass";
  }
}

TEST(SelectField, EmptyHolderStaysEmpty) {
  FrameHolder holder;
  select_field(holder);
  EXPECT_FALSE(holder);
}

}  // namespace
}  // namespace noctra
