#pragma once
// Small helpers for building test frames pixel by pixel.

#include <gtest/gtest.h>

#include <algorithm>
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

// Offset of byte `byte` of pixel (column, row) in a copy of the whole block.
inline std::size_t block_offset(const FrameImage& frame, int32_t column, int32_t row,
                                int byte = 0) {
  return kBitmapHeaderSize + static_cast<std::size_t>(row) * frame.stride() +
         static_cast<std::size_t>(column) * 3 + static_cast<std::size_t>(byte);
}

// Stored row `row` of a block copy taken from `frame`.
inline std::vector<uint8_t> row_bytes(const std::vector<uint8_t>& block, const FrameImage& frame,
                                      int32_t row) {
  const auto start = block.begin() + static_cast<std::ptrdiff_t>(block_offset(frame, 0, row));
  return {start, start + static_cast<std::ptrdiff_t>(frame.stride())};
}

// Stored row `source` of a block copy written over row `target` of another.
inline void copy_row(const std::vector<uint8_t>& from, int32_t source, std::vector<uint8_t>& to,
                     int32_t target, const FrameImage& frame) {
  std::memcpy(&to[block_offset(frame, 0, target)], &from[block_offset(frame, 0, source)],
              frame.stride());
}

// Whole blocks compared, naming the first byte that differs (as a stored
// row and a byte within it when it lies in the rows).
inline ::testing::AssertionResult same_block(const FrameImage& frame,
                                             const std::vector<uint8_t>& expected) {
  const std::vector<uint8_t> actual = block_bytes(frame);
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << "block of " << actual.size() << " bytes, expected " << expected.size();
  }
  const auto [got, want] = std::mismatch(actual.begin(), actual.end(), expected.begin());
  if (got == actual.end()) return ::testing::AssertionSuccess();
  const std::size_t at = static_cast<std::size_t>(got - actual.begin());
  auto failure = ::testing::AssertionFailure() << "block byte " << at;
  if (at >= kBitmapHeaderSize && at < kBitmapHeaderSize + frame.rows_size()) {
    failure << " (stored row " << (at - kBitmapHeaderSize) / frame.stride() << ", byte "
            << (at - kBitmapHeaderSize) % frame.stride() << ")";
  }
  return failure << " is " << int{*got} << ", expected " << int{*want};
}

}  // namespace noctra::test
