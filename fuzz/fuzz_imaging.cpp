// Frames from random headers and pixels through every pixel operation with
// random arguments. Besides the sanitizers' checks of every access, it checks
// what the operations promise: headers and trailing bytes never change, the
// first hi-res frame is only read, markers never write the blue byte, and a
// located star lies in the frame.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "imaging/field_selection.h"
#include "imaging/frame_image.h"
#include "imaging/guide_star.h"
#include "imaging/hi_res_merge.h"
#include "imaging/levels.h"
#include "imaging/star_measure.h"

namespace {

using noctra::FrameHolder;
using noctra::FrameImage;

// Keeps each input quick while still allowing frames above 240 rows.
constexpr std::size_t kMaxRowsSize = std::size_t{1} << 19;
constexpr std::array<uint8_t, 4> kCanary = {0xA5, 0x5A, 0xC3, 0x3C};

void require(bool condition) {
  if (!condition) std::abort();
}

std::optional<FrameImage> make_frame(FuzzedDataProvider& in) {
  std::optional<FrameImage> frame;
  if (in.ConsumeBool()) {
    std::array<uint8_t, 40> header{};
    const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(header.size());
    std::copy(bytes.begin(), bytes.end(), header.begin());
    // Large but valid headers would only make the input slow: skip them
    // before the block is allocated.
    const noctra::BitmapInfoHeader fields = noctra::read_bitmap_header(header.data());
    const auto stride = noctra::row_stride_for(fields.width, fields.bit_count);
    if (stride && fields.height > 0 &&
        *stride * static_cast<std::size_t>(fields.height) > kMaxRowsSize) {
      return frame;
    }
    frame = FrameImage::from_header(header.data());
  } else {
    frame = FrameImage::create(in.ConsumeIntegralInRange<int32_t>(1, 400),
                               in.ConsumeIntegralInRange<int32_t>(1, 300));
  }
  if (frame && frame->rows_size() > kMaxRowsSize) frame.reset();
  return frame;
}

// Rows from a short pattern of input bytes laid over a level, with the
// trailing bytes set to a canary.
void fill_frame(FrameImage& frame, FuzzedDataProvider& in) {
  const uint8_t level = in.ConsumeIntegral<uint8_t>();
  const std::vector<uint8_t> pattern =
      in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 4096));
  std::span<uint8_t> rows = frame.rows();
  std::fill(rows.begin(), rows.end(), level);
  if (!pattern.empty()) {
    const std::size_t step = std::max<std::size_t>(1, rows.size() / (pattern.size() * 4));
    for (std::size_t i = 0, p = 0; i < rows.size(); i += step, p = (p + 1) % pattern.size())
      rows[i] = pattern[p];
  }
  std::copy(kCanary.begin(), kCanary.end(), frame.trailing().begin());
}

bool same_block(const FrameImage& a, const FrameImage& b) {
  return a.block_size() == b.block_size() && std::memcmp(a.block(), b.block(), a.block_size()) == 0;
}

bool header_and_trailing_intact(const FrameImage& after, const FrameImage& before) {
  const uint8_t* tail = after.block() + after.block_size() - kCanary.size();
  return std::memcmp(after.block(), before.block(), noctra::kBitmapHeaderSize) == 0 &&
         std::equal(kCanary.begin(), kCanary.end(), tail);
}

void check_select_field(const FrameImage& frame) {
  FrameHolder holder = frame.clone();
  noctra::select_field(holder);
  require(holder.has_value());
  require(header_and_trailing_intact(*holder, frame));
  if (frame.height() > 240 && frame.width() >= 40) {
    for (int32_t k = 0; k < frame.height() / 2; ++k) {
      require(std::memcmp(holder->row(2 * k), holder->row(2 * k + 1), frame.stride()) == 0);
    }
  } else {
    require(same_block(*holder, frame));
  }
}

void check_merge(const FrameImage& main_frame, const FrameImage& first) {
  FrameImage merged = main_frame.clone();
  const FrameImage first_before = first.clone();
  noctra::merge_hi_res(merged, first);
  require(same_block(first, first_before));
  require(header_and_trailing_intact(merged, main_frame));
  if (!noctra::hi_res::can_merge(main_frame, first)) require(same_block(merged, main_frame));
}

void check_locator(const FrameImage& frame, int32_t x, int32_t y) {
  constexpr int32_t kUntouched = INT32_MIN + 17;
  int32_t out_x = kUntouched, out_y = kUntouched;
  noctra::locate_guide_star(frame, x, y, out_x, out_y);
  const int64_t row = int64_t{frame.height()} - y;
  const bool accepted = x >= 10 && x < frame.width() - 10 && row >= 10 && row < frame.height() - 10;
  if (!accepted) {
    require(out_x == kUntouched && out_y == kUntouched);
    return;
  }
  // Within the centroid window around a pixel of the search window.
  require(std::abs(out_x - x) <= 10 && std::abs(out_y - y) <= 10);
  require(out_x >= 0 && out_x < frame.width() && out_y >= 1 && out_y <= frame.height());
}

void check_marker(FrameImage& frame, int32_t cx, int32_t r, int b) {
  const FrameImage before = frame.clone();
  noctra::draw_guide_marker(frame, cx, r, b);
  require(header_and_trailing_intact(frame, before));
  // Rows the outline cannot reach must be byte for byte the same; within its
  // reach only byte b of a pixel may have become the marker value.
  const int64_t reach_low = std::clamp<int64_t>(int64_t{r} - 10, 0, frame.height());
  const int64_t reach_high = std::clamp<int64_t>(int64_t{r} + 11, reach_low, frame.height());
  const auto row_offset = [&](int64_t row) {
    return static_cast<std::size_t>(row) * frame.stride();
  };
  require(std::memcmp(frame.pixels(), before.pixels(), row_offset(reach_low)) == 0);
  require(std::memcmp(frame.pixels() + row_offset(reach_high),
                      before.pixels() + row_offset(reach_high),
                      frame.rows_size() - row_offset(reach_high)) == 0);
  const std::size_t pixel_bytes = static_cast<std::size_t>(frame.width()) * 3;
  for (int64_t q = reach_low; q < reach_high; ++q) {
    const uint8_t* now = frame.row(static_cast<int32_t>(q));
    const uint8_t* was = before.row(static_cast<int32_t>(q));
    for (std::size_t i = 0; i < frame.stride(); ++i) {
      const bool may_change =
          i < pixel_bytes && (b == 1 || b == 2) && i % 3 == static_cast<std::size_t>(b);
      require(now[i] == was[i] || (may_change && now[i] == noctra::kGuideMarkerValue));
    }
  }
}

// A measured star lies at most a few pixels outside the frame (the centre of
// a star cut by an edge) and has finite, positive sizes.
void check_star(const FrameImage& frame, const std::optional<noctra::StarMeasurement>& m) {
  if (!m) return;
  require(std::isfinite(m->x) && std::isfinite(m->row) && std::isfinite(m->fwhm) &&
          std::isfinite(m->hfd) && std::isfinite(m->snr) && std::isfinite(m->flux));
  require(m->x > -noctra::kStarApertureLimit && m->x < frame.width() + noctra::kStarApertureLimit);
  require(m->row > -noctra::kStarApertureLimit &&
          m->row < frame.height() + noctra::kStarApertureLimit);
  require(m->y == frame.height() - m->row);
  require(m->fwhm > 0 && m->hfd >= 0 && m->flux > 0 && m->peak >= 0 && m->peak <= 255);
}

void check_levels(const FrameImage& frame) {
  noctra::LevelHistogram histogram;
  noctra::count_levels(frame, histogram);
  require(histogram.total == uint64_t{3} * static_cast<uint64_t>(frame.width()) *
                                 static_cast<uint64_t>(frame.height()));
  const noctra::StretchLevels levels = noctra::auto_stretch_levels(histogram);
  require(levels.black >= 0 && levels.black < levels.white && levels.white <= 255);
}

// Mostly points near the frame, sometimes anywhere in the int32 range.
int32_t coordinate(FuzzedDataProvider& in, int32_t extent) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.ConsumeIntegral<int32_t>();
  return in.ConsumeIntegralInRange<int32_t>(-30, extent + 30);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::optional<FrameImage> main_frame = make_frame(in);
  if (!main_frame) return 0;
  fill_frame(*main_frame, in);

  std::optional<FrameImage> first;
  if (in.ConsumeBool()) {
    first = make_frame(in);
  } else {
    first = FrameImage::create(main_frame->width(), main_frame->height());
  }
  if (first) fill_frame(*first, in);

  const noctra::FieldSums sums = noctra::measure_fields(*main_frame);
  require(sums.even >= 0 && sums.even <= 229500 && sums.odd >= 0 && sums.odd <= 229500);
  check_select_field(*main_frame);
  if (first) check_merge(*main_frame, *first);

  check_levels(*main_frame);
  check_star(*main_frame, noctra::measure_brightest_star(*main_frame));
  const int calls = in.ConsumeIntegralInRange<int>(1, 4);
  for (int i = 0; i < calls; ++i) {
    check_locator(*main_frame, coordinate(in, main_frame->width()),
                  coordinate(in, main_frame->height()));
    check_star(*main_frame,
               noctra::measure_star_near(*main_frame, coordinate(in, main_frame->width()),
                                         coordinate(in, main_frame->height())));
    const int b =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(1, 2) : in.ConsumeIntegral<int>();
    check_marker(*main_frame, coordinate(in, main_frame->width()),
                 coordinate(in, main_frame->height()), b);
  }
  return 0;
}
