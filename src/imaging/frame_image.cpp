#include "imaging/frame_image.h"

#include <cstring>

#include "imaging/little_endian.h"

namespace noctra {

namespace {

bool acceptable(const BitmapInfoHeader& h) {
  if (h.size != kBitmapHeaderSize || h.bit_count != 24 || h.clr_used != 0) return false;
  if (h.width <= 0 || h.height <= 0) return false;
  if (h.width > kMaxFrameDimension || h.height > kMaxFrameDimension) return false;
  auto stride = row_stride_for(h.width, h.bit_count);
  return stride && *stride * static_cast<std::size_t>(h.height) <= kMaxImageBytes;
}

}  // namespace

BitmapInfoHeader read_bitmap_header(const uint8_t* b) {
  BitmapInfoHeader h;
  h.size = load_u32(b + 0);
  h.width = static_cast<int32_t>(load_u32(b + 4));
  h.height = static_cast<int32_t>(load_u32(b + 8));
  h.planes = load_u16(b + 12);
  h.bit_count = load_u16(b + 14);
  h.compression = load_u32(b + 16);
  h.size_image = load_u32(b + 20);
  h.x_pels_per_meter = static_cast<int32_t>(load_u32(b + 24));
  h.y_pels_per_meter = static_cast<int32_t>(load_u32(b + 28));
  h.clr_used = load_u32(b + 32);
  h.clr_important = load_u32(b + 36);
  return h;
}

void write_bitmap_header(const BitmapInfoHeader& h, uint8_t* b) {
  store_u32(b + 0, h.size);
  store_u32(b + 4, static_cast<uint32_t>(h.width));
  store_u32(b + 8, static_cast<uint32_t>(h.height));
  store_u16(b + 12, h.planes);
  store_u16(b + 14, h.bit_count);
  store_u32(b + 16, h.compression);
  store_u32(b + 20, h.size_image);
  store_u32(b + 24, static_cast<uint32_t>(h.x_pels_per_meter));
  store_u32(b + 28, static_cast<uint32_t>(h.y_pels_per_meter));
  store_u32(b + 32, h.clr_used);
  store_u32(b + 36, h.clr_important);
}

std::optional<std::size_t> row_stride_for(int32_t width, uint16_t bit_count) {
  if (width <= 0 || bit_count < 8) return std::nullopt;
  // int64 holds 4 x 2^31 + 3 without overflow.
  const int64_t bytes = int64_t{bit_count / 8} * width + 3;
  return static_cast<std::size_t>(bytes & ~int64_t{3});
}

FrameImage::FrameImage(const BitmapInfoHeader& header, std::size_t stride)
    : header_(header), stride_(stride),
      block_(new uint8_t[kBitmapHeaderSize + stride * static_cast<std::size_t>(header.height) +
                         kFrameTrailingBytes]()) {
  write_bitmap_header(header_, block_.get());
}

std::optional<FrameImage> FrameImage::create(int32_t width, int32_t height) {
  BitmapInfoHeader h;
  h.width = width;
  h.height = height;
  if (!acceptable(h)) return std::nullopt;
  const std::size_t stride = *row_stride_for(width, 24);
  h.size_image = static_cast<uint32_t>(stride * static_cast<std::size_t>(height));
  return FrameImage(h, stride);
}

std::optional<FrameImage> FrameImage::from_header(const uint8_t* header40) {
  const BitmapInfoHeader h = read_bitmap_header(header40);
  if (!acceptable(h)) return std::nullopt;
  FrameImage frame(h, *row_stride_for(h.width, h.bit_count));
  // Keep the delivered bytes verbatim, including fields Noctra does not read.
  std::memcpy(frame.block_.get(), header40, kBitmapHeaderSize);
  return frame;
}

FrameImage FrameImage::clone() const {
  FrameImage copy(header_, stride_);
  std::memcpy(copy.block_.get(), block_.get(), block_size());
  return copy;
}

}  // namespace noctra
