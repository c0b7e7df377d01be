#include "imaging/field_selection.h"

#include <cstring>

namespace noctra {

namespace {

constexpr int32_t kPatchFirstRow = 20;
constexpr int32_t kPatchRowsPerField = 30;
constexpr int32_t kPatchFirstPixel = 10;
constexpr int32_t kPatchPixelsPerRow = 30;

int32_t sum_patch_row(const uint8_t* row) {
  int32_t sum = 0;
  for (int32_t s = 0; s < kPatchPixelsPerRow; ++s) {
    sum += row[static_cast<std::size_t>(kPatchFirstPixel + s) * kBytesPerPixel];
  }
  return sum;
}

}  // namespace

bool has_sample_patch(const FrameImage& frame) {
  return frame.width() >= kSamplePatchMinWidth && frame.height() >= kSamplePatchMinHeight;
}

FieldSums measure_fields(const FrameImage& frame) {
  FieldSums sums;
  if (!has_sample_patch(frame)) return sums;
  for (int32_t k = 0; k < kPatchRowsPerField; ++k) {
    sums.even += sum_patch_row(frame.row(kPatchFirstRow + 2 * k));
    sums.odd += sum_patch_row(frame.row(kPatchFirstRow + 2 * k + 1));
  }
  return sums;
}

std::optional<FieldParity> field_to_keep(const FrameImage& frame) {
  if (frame.height() <= kFieldSelectionMaxUntouchedHeight || !has_sample_patch(frame)) {
    return std::nullopt;
  }
  const FieldSums sums = measure_fields(frame);
  return sums.odd > sums.even ? FieldParity::Odd : FieldParity::Even;
}

void select_field(FrameHolder& holder) {
  if (!holder) return;
  FrameImage& frame = *holder;
  const std::optional<FieldParity> kept = field_to_keep(frame);
  if (!kept) return;
  const int32_t height = frame.height();
  const bool keep_odd = *kept == FieldParity::Odd;
  const std::size_t stride = frame.stride();
  const int32_t pairs = height / 2;
  for (int32_t k = 0; k < pairs; ++k) {
    uint8_t* even_row = frame.row(2 * k);
    uint8_t* odd_row = frame.row(2 * k + 1);
    if (keep_odd) {
      std::memcpy(even_row, odd_row, stride);
    } else {
      std::memcpy(odd_row, even_row, stride);
    }
  }
  if (keep_odd && height % 2 == 1) {
    std::memcpy(frame.row(height - 1), frame.row(height - 2), stride);
  }
}

}  // namespace noctra
