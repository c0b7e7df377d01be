#pragma once
// Small helpers for building test frames pixel by pixel.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/frame_image.h"

namespace noctra::test {

inline FrameImage make_frame(int32_t width, int32_t height) {
  auto frame = FrameImage::create(width, height);
  EXPECT_TRUE(frame) << width << " x " << height;
  return std::move(*frame);
}

// Every row byte (pixel and fill bytes) set to `value`.
inline void fill_rows(FrameImage& frame, uint8_t value) {
  std::memset(frame.pixels(), value, frame.rows_size());
}

// Every row byte, fill bytes included, from a seeded generator.
inline void fill_random(FrameImage& frame, uint32_t seed) {
  std::mt19937 generator(seed);
  for (uint8_t& byte : frame.rows()) byte = static_cast<uint8_t>(generator());
}

inline uint8_t& pixel_byte(FrameImage& frame, int32_t column, int32_t row, int byte) {
  return frame.row(row)[static_cast<std::size_t>(column) * 3 + static_cast<std::size_t>(byte)];
}

// Blue byte of every sample point of one field (0 even, 1 odd) set to value:
// stored rows 20 + field, 22 + field, ..., pixels 10..39.
inline void set_patch(FrameImage& frame, int field, uint8_t value) {
  for (int32_t k = 0; k < 30; ++k) {
    for (int32_t s = 0; s < 30; ++s) pixel_byte(frame, 10 + s, 20 + 2 * k + field, 0) = value;
  }
}

inline std::vector<uint8_t> block_bytes(const FrameImage& frame) {
  return {frame.block(), frame.block() + frame.block_size()};
}

inline std::vector<uint8_t> row_bytes(const FrameImage& frame, int32_t row) {
  return {frame.row(row), frame.row(row) + frame.stride()};
}

inline std::vector<uint8_t> row_bytes(const std::vector<uint8_t>& block, const FrameImage& frame,
                                      int32_t row) {
  const std::size_t start = kBitmapHeaderSize + static_cast<std::size_t>(row) * frame.stride();
  return {block.begin() + static_cast<std::ptrdiff_t>(start),
          block.begin() + static_cast<std::ptrdiff_t>(start + frame.stride())};
}

}  // namespace noctra::test
