#include "imaging/frame_image.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace noctra {
namespace {

std::array<uint8_t, 40> header_bytes(int32_t w, int32_t h, uint16_t bits = 24,
                                     uint32_t clr_used = 0, uint32_t size = 40) {
  BitmapInfoHeader hdr;
  hdr.size = size;
  hdr.width = w;
  hdr.height = h;
  hdr.bit_count = bits;
  hdr.clr_used = clr_used;
  std::array<uint8_t, 40> bytes{};
  write_bitmap_header(hdr, bytes.data());
  return bytes;
}

TEST(FrameImage, StrideAndBlockSizeFollowTheGeometry) {
  struct Case {
    int32_t w, h;
    std::size_t stride, block;
  };
  for (const Case c : {Case{640, 480, 1920, 44 + 921600}, Case{641, 480, 1924, 44 + 1924 * 480},
                       Case{1, 1, 4, 48}, Case{2, 3, 8, 68}}) {
    auto f = FrameImage::create(c.w, c.h);
    ASSERT_TRUE(f) << c.w << "x" << c.h;
    EXPECT_EQ(f->stride(), c.stride);
    EXPECT_EQ(f->block_size(), c.block);
    EXPECT_EQ(f->header().size_image, c.stride * static_cast<std::size_t>(c.h));
  }
}

TEST(FrameImage, RefusesHeadersItCannotHold) {
  const std::array<std::array<uint8_t, 40>, 9> bad = {header_bytes(0, 10),
                                                      header_bytes(10, 0),
                                                      header_bytes(-5, 10),
                                                      header_bytes(10, -480),  // top-down
                                                      header_bytes(10, 10, 8),
                                                      header_bytes(10, 10, 32),
                                                      header_bytes(10, 10, 24, 2),
                                                      header_bytes(10, 10, 24, 0, 124),
                                                      header_bytes(INT32_MAX, INT32_MAX)};
  for (const auto& h : bad) EXPECT_FALSE(FrameImage::from_header(h.data()));
  EXPECT_FALSE(FrameImage::create(kMaxFrameDimension + 1, 1));
  EXPECT_FALSE(FrameImage::create(kMaxFrameDimension, kMaxFrameDimension));  // > kMaxImageBytes
}

TEST(FrameImage, KeepsTheDeliveredHeaderVerbatim) {
  auto bytes = header_bytes(4, 2);
  bytes[20] = 0x77;  // biSizeImage as delivered, even if odd
  bytes[24] = 0x11;
  auto f = FrameImage::from_header(bytes.data());
  ASSERT_TRUE(f);
  EXPECT_EQ(0, std::memcmp(f->block(), bytes.data(), 40));
  EXPECT_EQ(f->header().size_image, 0x77u);
}

TEST(FrameImage, CloneCopiesTheWholeBlock) {
  auto f = FrameImage::create(3, 2);
  ASSERT_TRUE(f);
  f->row(1)[11] = 9;  // a fill byte
  f->trailing()[3] = 5;
  FrameImage c = f->clone();
  ASSERT_EQ(c.block_size(), f->block_size());
  EXPECT_EQ(0, std::memcmp(c.block(), f->block(), f->block_size()));
  EXPECT_NE(c.block(), f->block());
}

}  // namespace
}  // namespace noctra
