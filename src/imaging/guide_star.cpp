#include "imaging/guide_star.h"

namespace noctra {

namespace {

constexpr int32_t kWindowSide = 2 * kGuideWindowHalfSize + 1;
constexpr int32_t kWindowPixels = kWindowSide * kWindowSide;

uint8_t blue_at(const FrameImage& frame, int32_t column, int32_t row) {
  return frame.row(row)[static_cast<std::size_t>(column) * kBytesPerPixel];
}

}  // namespace

void locate_guide_star(const FrameImage& frame, int32_t x, int32_t y, int32_t& out_x,
                       int32_t& out_y) {
  const int32_t width = frame.width();
  const int32_t height = frame.height();
  // 64-bit so that no y the caller passes can overflow the row index.
  const int64_t row_index = int64_t{height} - y;
  if (x < kGuideEdgeMargin || x >= width - kGuideEdgeMargin) return;
  if (row_index < kGuideEdgeMargin || row_index >= height - kGuideEdgeMargin) return;
  const int32_t r = static_cast<int32_t>(row_index);

  int32_t best = -1;
  int32_t best_column = 0;
  int32_t best_row = 0;
  for (int32_t q = r - kGuideWindowHalfSize; q <= r + kGuideWindowHalfSize; ++q) {
    const uint8_t* row = frame.row(q);
    for (int32_t k = x - kGuideWindowHalfSize; k <= x + kGuideWindowHalfSize; ++k) {
      const int32_t v = row[static_cast<std::size_t>(k) * kBytesPerPixel];
      if (v > best) {
        best = v;
        best_column = k;
        best_row = q;
      }
    }
  }

  const int32_t left = best_column - kGuideWindowHalfSize;
  const int32_t bottom = best_row - kGuideWindowHalfSize;
  int32_t window_sum = 0;
  for (int32_t q = bottom; q < bottom + kWindowSide; ++q) {
    for (int32_t k = left; k < left + kWindowSide; ++k) window_sum += blue_at(frame, k, q);
  }
  const int32_t background = window_sum / kWindowPixels;

  // Weights are at most 255 over 121 pixels, and columns and rows below
  // 16384, so the sums stay far below 2^31.
  int32_t weight_sum = 0;
  int32_t weighted_columns = 0;
  int32_t weighted_rows = 0;
  for (int32_t q = bottom; q < bottom + kWindowSide; ++q) {
    for (int32_t k = left; k < left + kWindowSide; ++k) {
      const int32_t w = blue_at(frame, k, q) - background;
      if (w > 0) {
        weight_sum += w;
        weighted_columns += w * k;
        weighted_rows += w * q;
      }
    }
  }

  if (weight_sum > 0) {
    out_x = weighted_columns / weight_sum;
    out_y = height - weighted_rows / weight_sum;
  } else {
    out_x = best_column;
    out_y = height - best_row;
  }
}

void draw_guide_marker(FrameImage& frame, int32_t cx, int32_t r, int b) {
  if (b != kGuideMarkerGreen && b != kGuideMarkerRed) return;
  const int64_t width = frame.width();
  const int64_t height = frame.height();
  // 64-bit so that a centre near the int32 limits cannot overflow.
  const auto put = [&](int64_t column, int64_t row) {
    if (column < 0 || column >= width || row < 0 || row >= height) return;
    frame.row(static_cast<int32_t>(
        row))[static_cast<std::size_t>(column) * kBytesPerPixel + static_cast<std::size_t>(b)] =
        kGuideMarkerValue;
  };
  const int64_t centre_column = cx;
  const int64_t centre_row = r;
  for (int64_t j = -kGuideMarkerHalfSize; j <= kGuideMarkerHalfSize; ++j) {
    put(centre_column + j, centre_row - kGuideMarkerHalfSize);
    put(centre_column + j, centre_row + kGuideMarkerHalfSize);
    put(centre_column - kGuideMarkerHalfSize, centre_row + j);
    put(centre_column + kGuideMarkerHalfSize, centre_row + j);
  }
}

}  // namespace noctra
