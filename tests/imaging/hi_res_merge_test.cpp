#include "imaging/hi_res_merge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <string>

#include "imaging/frame_test_support.h"

namespace noctra {
namespace {

using hi_res::Histogram;
using hi_res::ToneTable;
using test::block_bytes;
using test::fill_random;
using test::fill_rows;
using test::make_frame;
using test::pixel_byte;
using test::row_bytes;
using test::same_block;
using test::set_patch;

// The merge written out step by step on plain copies of the rows: whole-frame
// move, interleave, histograms of the rows as they then stand, cumulative
// counts, tone table, remap. The product code reorders this into fewer passes
// over the frame and must give the same bytes.
std::vector<uint8_t> reference_merge(const FrameImage& main_frame, const FrameImage& first_frame) {
  const int32_t width = main_frame.width();
  const int32_t height = main_frame.height();
  const std::size_t stride = main_frame.stride();
  std::vector<uint8_t> rows(main_frame.rows().begin(), main_frame.rows().end());
  const std::vector<uint8_t> first(first_frame.rows().begin(), first_frame.rows().end());
  const auto at = [&](const std::vector<uint8_t>& r, int32_t row, int32_t column) {
    return r[static_cast<std::size_t>(row) * stride + static_cast<std::size_t>(column) * 3];
  };
  const auto sums = [&](const std::vector<uint8_t>& r, int field) {
    int32_t sum = 0;
    for (int32_t k = 0; k < 30; ++k) {
      for (int32_t s = 0; s < 30; ++s) sum += at(r, 20 + 2 * k + field, 10 + s);
    }
    return sum;
  };
  const int32_t main_even = sums(rows, 0), main_odd = sums(rows, 1);
  const int32_t first_even = sums(first, 0), first_odd = sums(first, 1);
  if (main_odd > main_even) std::memmove(rows.data(), rows.data() + stride, (height - 1) * stride);
  const int32_t f = first_odd > first_even ? 1 : 0;
  const int32_t pairs = height / 2;
  for (int32_t k = 0; k < pairs; ++k) {
    std::memcpy(&rows[(2 * k + 1) * stride], &first[(2 * k + f) * stride], stride);
  }
  int32_t odd_hist[256] = {}, even_hist[256] = {};
  for (int32_t k = 0; k < pairs; ++k) {
    for (int32_t x = 0; x < width; ++x) {
      ++odd_hist[at(rows, 2 * k + 1, x)];
      ++even_hist[at(rows, 2 * k, x)];
    }
  }
  for (int v = 1; v <= 254; ++v) {
    odd_hist[v] += odd_hist[v - 1];
    even_hist[v] += even_hist[v - 1];
  }
  uint8_t table[256] = {};
  int j = 0;
  for (int i = 0; i <= 254; ++i) {
    table[j] = static_cast<uint8_t>(i);
    if (odd_hist[j] <= even_hist[i]) ++j;
  }
  for (; j <= 255; ++j) table[j] = 255;
  for (int32_t k = 0; k < pairs; ++k) {
    for (std::size_t b = 0; b < stride; ++b) {
      uint8_t& byte = rows[(2 * k + 1) * stride + b];
      byte = table[byte];
    }
  }
  return rows;
}

// Random frames whose fields differ in level, so that the tone table is far
// from the identity, with the patch deciding which field wins.
void paint_fields(FrameImage& frame, uint32_t seed, int brighter_field, uint8_t even_scale,
                  uint8_t odd_scale) {
  fill_random(frame, seed);
  for (int32_t row = 0; row < frame.height(); ++row) {
    const uint8_t scale = row % 2 ? odd_scale : even_scale;
    uint8_t* bytes = frame.row(row);
    for (std::size_t b = 0; b < frame.stride(); ++b)
      bytes[b] = static_cast<uint8_t>(bytes[b] * scale / 255);
  }
  if (frame.height() >= 80 && frame.width() >= 40) {
    set_patch(frame, 0, 100);
    set_patch(frame, 1, brighter_field < 0 ? 100 : brighter_field == 1 ? 101 : 99);
  }
}

TEST(MergeHiRes, MatchesTheStepByStepMerge) {
  struct Case {
    std::string name;
    int32_t width, height;
    int main_brighter, first_brighter;  // 0 even, 1 odd, -1 tie
  };
  const std::vector<Case> cases = {
      {"both even", 640, 480, 0, 0},
      {"main odd: moved", 640, 480, 1, 0},
      {"first odd", 640, 480, 0, 1},
      {"both odd", 640, 480, 1, 1},
      {"both tie", 640, 480, -1, -1},
      {"fill bytes, odd height, moved", 641, 481, 1, 1},
      {"fill bytes, odd height, not moved", 643, 243, 0, 1},
      {"smallest frame", 40, 80, 1, 0},
      {"smallest frame, odd height", 42, 81, 1, -1},
  };
  uint32_t seed = 10;
  for (const Case& c : cases) {
    FrameImage main_frame = make_frame(c.width, c.height);
    FrameImage first = make_frame(c.width, c.height);
    paint_fields(main_frame, seed++, c.main_brighter, 255, 200);
    paint_fields(first, seed++, c.first_brighter, 90, 60);
    // Header, trailing bytes and the unpaired top row of an odd height keep
    // their content: only the rows the reference merge writes change.
    std::vector<uint8_t> expected = block_bytes(main_frame);
    const std::vector<uint8_t> rows = reference_merge(main_frame, first);
    std::copy(rows.begin(), rows.end(), expected.begin() + kBitmapHeaderSize);
    const std::vector<uint8_t> first_before = block_bytes(first);

    merge_hi_res(main_frame, first);

    EXPECT_EQ(block_bytes(first), first_before) << c.name << ": first frame only read";
    EXPECT_TRUE(same_block(main_frame, expected)) << c.name;
  }
}

TEST(MergeHiRes, RowPlacementFollowsTheFieldSums) {
  // Each row filled with its own number makes the placement visible through
  // the identity table: first frame rows (200 + row % 50) are brighter at
  // every level than the main rows (row % 50).
  struct Case {
    std::string name;
    int32_t height;
    bool main_odd, first_odd;
    // expected source row for stored rows 0..5 and the top row: main row
    // number, or 1000 + first frame row number
    std::vector<int32_t> sources;
  };
  const std::vector<Case> cases = {
      {"tie: odd row 2k+1 gets first row 2k", 100, false, false, {0, 1000, 2, 1002, 4, 1004}},
      {"first odd wins: same position", 100, false, true, {0, 1001, 2, 1003, 4, 1005}},
      {"main odd wins: moved down one row", 100, true, false, {1, 1000, 3, 1002, 5, 1004}},
      {"odd height: top row keeps its content", 101, true, true, {1, 1001, 3, 1003, 5, 1005, 100}},
  };
  for (const Case& c : cases) {
    FrameImage main_frame = make_frame(40, c.height);
    FrameImage first = make_frame(40, c.height);
    for (int32_t row = 0; row < c.height; ++row) {
      std::memset(main_frame.row(row), row % 50, main_frame.stride());
      std::memset(first.row(row), 200 + row % 50, first.stride());
    }
    // Patch sums: rows 20..79 are numbered, so the odd field is brighter by
    // construction; flatten it to a tie where the case wants the even field.
    if (!c.main_odd) {
      set_patch(main_frame, 0, 5);
      set_patch(main_frame, 1, 5);
    }
    if (!c.first_odd) {
      set_patch(first, 0, 205);
      set_patch(first, 1, 205);
    }
    const std::vector<uint8_t> main_before = block_bytes(main_frame);
    merge_hi_res(main_frame, first);
    for (std::size_t i = 0; i < c.sources.size(); ++i) {
      const int32_t row = i < 6 ? static_cast<int32_t>(i) : c.height - 1;
      const int32_t source = c.sources[i];
      const auto expected = source >= 1000 ? row_bytes(first, source - 1000)
                                           : row_bytes(main_before, main_frame, source);
      EXPECT_EQ(row_bytes(main_frame, row), expected) << c.name << ": stored row " << row;
    }
  }
}

TEST(MergeHiRes, UniformTenUnderUniformHundredIsLiftedToHundred) {
  FrameImage main_frame = make_frame(640, 480);
  FrameImage first = make_frame(640, 480);
  fill_rows(main_frame, 100);
  fill_rows(first, 10);

  Histogram odd_rows, even_rows;
  hi_res::count_field(first, 0, 240, odd_rows);
  hi_res::count_field(main_frame, 0, 240, even_rows);
  EXPECT_EQ(odd_rows[10], 640 * 240);
  EXPECT_EQ(even_rows[100], 640 * 240);
  const ToneTable table = hi_res::build_tone_table(odd_rows, even_rows);
  ToneTable expected{};
  for (int v = 0; v < 256; ++v) {
    expected[v] = static_cast<uint8_t>(v < 10 ? v : v <= 164 ? v + 90 : 255);
  }
  EXPECT_EQ(table, expected);

  merge_hi_res(main_frame, first);
  for (int32_t row = 0; row < 480; ++row) {
    const std::vector<uint8_t> bytes = row_bytes(main_frame, row);
    ASSERT_EQ(bytes, std::vector<uint8_t>(bytes.size(), 100)) << "stored row " << row;
  }
}

TEST(MergeHiRes, ToneTableExamples) {
  struct Case {
    std::string name;
    std::function<void(Histogram& odd, Histogram& even)> fill;
    std::function<uint8_t(int)> expected;
  };
  const auto identity = [](int v) { return static_cast<uint8_t>(v); };
  const std::vector<Case> cases = {
      {"odd brighter at every level",
       [](Histogram& o, Histogram& e) {
         o[200] = 10;
         e[50] = 10;
       },
       identity},
      {"equal histograms",
       [](Histogram& o, Histogram& e) {
         for (int v = 0; v < 256; ++v) o[v] = e[v] = (v * 37) % 11;
       },
       identity},
      {"empty histograms", [](Histogram&, Histogram&) {}, identity},
      {"only bin 255 differs: never consulted",
       [](Histogram& o, Histogram& e) {
         o[255] = 1000;
         e[0] = 5;
         o[0] = 5;
       },
       identity},
      {"odd all zero, even all 255",
       [](Histogram& o, Histogram& e) {
         o[0] = 4;
         e[255] = 4;
       },
       [](int) { return uint8_t{255}; }},
  };
  for (const Case& c : cases) {
    Histogram odd{}, even{};
    c.fill(odd, even);
    const ToneTable table = hi_res::build_tone_table(odd, even);
    for (int v = 0; v < 256; ++v) ASSERT_EQ(table[v], c.expected(v)) << c.name << ", value " << v;
  }
}

TEST(MergeHiRes, ValuesOutsideTheCountedBytesAreStillRemapped) {
  // 641 pixels: one fill byte per row. Blue carries the counted levels; the
  // values 11 (green only) and 12 (fill only) are never counted.
  FrameImage main_frame = make_frame(641, 480);
  FrameImage first = make_frame(641, 480);
  fill_rows(main_frame, 100);
  fill_rows(first, 10);
  for (int32_t row = 0; row < 480; ++row) {
    for (int32_t x = 0; x < 641; ++x) pixel_byte(first, x, row, 1) = 11;
    first.row(row)[1923] = 12;
  }
  merge_hi_res(main_frame, first);
  for (int32_t row = 1; row < 480; row += 2) {
    ASSERT_EQ(pixel_byte(main_frame, 0, row, 0), 100);
    ASSERT_EQ(pixel_byte(main_frame, 640, row, 1), 101) << "stored row " << row;
    ASSERT_EQ(main_frame.row(row)[1923], 102) << "stored row " << row;
  }
}

TEST(MergeHiRes, LeavesTheMainFrameAsAcquiredWhenItCannotMerge) {
  struct Case {
    std::string name;
    int32_t main_width, main_height, first_width, first_height;
  };
  const std::vector<Case> cases = {
      {"first frame narrower", 640, 480, 639, 480},
      {"first frame wider", 640, 480, 641, 480},
      {"first frame shorter", 640, 480, 640, 479},
      {"first frame taller", 640, 480, 640, 482},
      {"too narrow for the patch", 39, 480, 39, 480},
      {"too short for the patch", 640, 79, 640, 79},
      {"single row", 640, 1, 640, 1},
      {"single pixel", 1, 1, 1, 1},
  };
  uint32_t seed = 500;
  for (const Case& c : cases) {
    FrameImage main_frame = make_frame(c.main_width, c.main_height);
    FrameImage first = make_frame(c.first_width, c.first_height);
    fill_random(main_frame, seed++);
    fill_random(first, seed++);
    const std::vector<uint8_t> main_before = block_bytes(main_frame);
    const std::vector<uint8_t> first_before = block_bytes(first);
    merge_hi_res(main_frame, first);
    EXPECT_EQ(block_bytes(main_frame), main_before) << c.name;
    EXPECT_EQ(block_bytes(first), first_before) << c.name;
  }
}

}  // namespace
}  // namespace noctra
