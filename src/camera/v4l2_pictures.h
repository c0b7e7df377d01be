#pragma once
// A capture device's pictures into Noctra's frames: packed DIBs of 24-bit
// BGR pixels, bottom-up rows. The pixels are copied (BGR24), put in order
// (RGB24) or, for the luma a monochrome camera delivers, taken byte for byte
// from GREY, YUYV or UYVY into blue, green and red alike: no colour matrix,
// no change of range. Pictures that come field by field are woven into the
// frame they belong to, the top field on the picture's first line, as a
// woven interlaced frame holds it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "camera/video_device.h"

namespace noctra {

// The pixel layouts the source takes itself.
enum class PixelLayout { Bgr24, Rgb24, Grey, YuyvLuma, UyvyLuma };

// GREY, YUYV and UYVY give their luma in mono; BGR24 and RGB24 their
// colour; GREY is luma in colour too. Nothing for the others (and for YUYV
// and UYVY in colour: they need a colour conversion).
std::optional<PixelLayout> pixel_layout_for(uint32_t pixel_format, bool mono);

// Bytes of one pixel on the device's line (3, 3, 1, 2, 2).
std::size_t source_bytes_per_pixel(PixelLayout layout);

// A packed DIB under construction: header, rows at a 4-byte stride, four
// trailing bytes, all zero but the header.
class DibFrame {
 public:
  // Nothing when the size is out of range.
  static std::optional<DibFrame> create(int32_t width, int32_t height);
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  std::vector<uint8_t> take() && { return std::move(block_); }
  const std::vector<uint8_t>& block() const { return block_; }

  // Converts `lines` lines of `source` (bytes_per_line apart) onto the
  // picture's lines first_line, first_line + step, ... counted from the
  // top; lines past the picture's last are left out. False, writing
  // nothing, when the source is too short for the lines it is to give or
  // its lines are shorter than the picture's width.
  bool put_lines(std::span<const uint8_t> source, uint32_t bytes_per_line, PixelLayout layout,
                 int32_t lines, int32_t first_line, int32_t step);

 private:
  DibFrame(int32_t width, int32_t height, std::size_t stride);
  uint8_t* picture_line(int32_t line);

  int32_t width_ = 0;
  int32_t height_ = 0;
  std::size_t stride_ = 0;
  std::vector<uint8_t> block_;
};

// Whether `bytes` hold `lines` lines of `width` pixels, bytes_per_line apart.
bool holds_lines(std::span<const uint8_t> bytes, uint32_t bytes_per_line, PixelLayout layout,
                 int32_t width, int32_t lines);

// The lines of the top or bottom field of a picture of `height` lines.
int32_t field_lines(int32_t height, bool top);

// A whole picture in one buffer (progressive, woven, or both fields one
// after the other) into the frame: false when the buffer is too short (the
// frame is then of no use).
bool put_picture(DibFrame& frame, std::span<const uint8_t> bytes, uint32_t bytes_per_line,
                 PixelLayout layout, FieldOrder order);

// One field (a buffer of field_lines() lines) onto its own lines; with
// `doubled` also onto the lines of the other field, each line next to its
// own, for a frame that has only this field. False as for put_picture().
bool put_field(DibFrame& frame, std::span<const uint8_t> bytes, uint32_t bytes_per_line,
               PixelLayout layout, bool top, bool doubled);

// The conversion of one line, exposed for the benchmark: `width` pixels of
// `layout` from source into 3-byte BGR pixels at destination.
void convert_line(const uint8_t* source, PixelLayout layout, int32_t width, uint8_t* destination);

}  // namespace noctra
