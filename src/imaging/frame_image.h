#pragma once
// One acquired frame in one contiguous block: the 40-byte BITMAPINFOHEADER,
// the pixel rows (24-bit BGR, bottom-up, rows padded to a 4-byte stride) and
// four trailing bytes. The header is checked once, when the block is made, and
// cannot be changed afterwards, so pixel code may trust the geometry.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace noctra {

inline constexpr std::size_t kBitmapHeaderSize = 40;
inline constexpr std::size_t kFrameTrailingBytes = 4;
// Blue, green, red: one byte each.
inline constexpr std::size_t kBytesPerPixel = 3;
// Limits that keep every size computation far from overflow and a corrupt
// header from asking for gigabytes. Real video frames are far below them.
inline constexpr int32_t kMaxFrameDimension = 16384;
inline constexpr std::size_t kMaxImageBytes = std::size_t{256} << 20;

// The BITMAPINFOHEADER fields, little-endian on disk and in the block.
struct BitmapInfoHeader {
  uint32_t size = 40;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t planes = 1;
  uint16_t bit_count = 24;
  uint32_t compression = 0;
  uint32_t size_image = 0;
  int32_t x_pels_per_meter = 0;
  int32_t y_pels_per_meter = 0;
  uint32_t clr_used = 0;
  uint32_t clr_important = 0;
};

BitmapInfoHeader read_bitmap_header(const uint8_t* bytes40);
void write_bitmap_header(const BitmapInfoHeader& header, uint8_t* bytes40);

// (bytes per pixel x width + 3) rounded down to a multiple of 4, or nothing
// when the width or bit count cannot give a sane stride.
std::optional<std::size_t> row_stride_for(int32_t width, uint16_t bit_count);

class FrameImage {
 public:
  // A blank 24-bit frame (all pixel and trailing bytes zero) with a complete
  // header (biSizeImage = stride x height). Nothing when the size is refused.
  static std::optional<FrameImage> create(int32_t width, int32_t height);
  // A frame whose header is the given 40 bytes, verbatim, when they describe
  // a frame Noctra handles: biSize 40, positive width and height within
  // kMaxFrameDimension, 24 bits, no colour table, image bytes within
  // kMaxImageBytes. Pixel and trailing bytes start at zero.
  static std::optional<FrameImage> from_header(const uint8_t* header40);

  FrameImage(FrameImage&&) noexcept = default;
  FrameImage& operator=(FrameImage&&) noexcept = default;
  FrameImage(const FrameImage&) = delete;
  FrameImage& operator=(const FrameImage&) = delete;
  FrameImage clone() const;

  const BitmapInfoHeader& header() const { return header_; }
  int32_t width() const { return header_.width; }
  int32_t height() const { return header_.height; }
  uint16_t bit_count() const { return header_.bit_count; }
  std::size_t stride() const { return stride_; }
  // stride x height: the bytes of the pixel rows (not the header's biSizeImage).
  std::size_t rows_size() const { return stride_ * static_cast<std::size_t>(header_.height); }

  // The whole block: header, rows, trailing bytes (44 + stride x height bytes).
  const uint8_t* block() const { return block_.get(); }
  std::size_t block_size() const { return kBitmapHeaderSize + rows_size() + kFrameTrailingBytes; }

  // The first pixel address: directly behind the header.
  uint8_t* pixels() { return block_.get() + kBitmapHeaderSize; }
  const uint8_t* pixels() const { return block_.get() + kBitmapHeaderSize; }
  std::span<uint8_t> rows() { return {pixels(), rows_size()}; }
  std::span<const uint8_t> rows() const { return {pixels(), rows_size()}; }
  // Stored row r (0 = bottom line of the picture); r must be in [0, height).
  uint8_t* row(int32_t r) { return pixels() + static_cast<std::size_t>(r) * stride_; }
  const uint8_t* row(int32_t r) const { return pixels() + static_cast<std::size_t>(r) * stride_; }
  std::span<uint8_t, kFrameTrailingBytes> trailing() {
    return std::span<uint8_t, kFrameTrailingBytes>(pixels() + rows_size(), kFrameTrailingBytes);
  }

 private:
  FrameImage(const BitmapInfoHeader& header, std::size_t stride);

  BitmapInfoHeader header_;
  std::size_t stride_ = 0;
  std::unique_ptr<uint8_t[]> block_;
};

// Holds one frame image or none: the main frame, the first hi-res frame and
// the guide frame are holders.
using FrameHolder = std::optional<FrameImage>;

}  // namespace noctra
