#include "camera/v4l2_pictures.h"

#include <algorithm>
#include <cstring>

#include "imaging/frame_image.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NOCTRA_LUMA_SSSE3 1
#endif

namespace noctra {

namespace {

// Every luma byte three times: the plain loop, for any processor.
void spread_luma(const uint8_t* source, std::size_t step, int32_t width, uint8_t* destination) {
  for (int32_t x = 0; x < width; ++x, source += step, destination += 3) {
    destination[0] = destination[1] = destination[2] = *source;
  }
}

#ifdef NOCTRA_LUMA_SSSE3
// Sixteen luma bytes in a register into 48 bytes of BGR pixels.
__attribute__((target("ssse3"))) inline void store_spread(__m128i luma, uint8_t* destination) {
  const __m128i first = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i second = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i third =
      _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  auto* out = reinterpret_cast<__m128i*>(destination);
  _mm_storeu_si128(out, _mm_shuffle_epi8(luma, first));
  _mm_storeu_si128(out + 1, _mm_shuffle_epi8(luma, second));
  _mm_storeu_si128(out + 2, _mm_shuffle_epi8(luma, third));
}

// Sixteen pixels a step; the plain loop does the rest of the line.
__attribute__((target("ssse3"))) void spread_grey_ssse3(const uint8_t* source, int32_t width,
                                                        uint8_t* destination) {
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    store_spread(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + x)),
                 destination + 3 * x);
  }
  spread_luma(source + x, 1, width - x, destination + 3 * x);
}

// The luma of 4:2:2 pixels is every second byte, the first (YUYV) or the
// second (UYVY) of each pair.
template <bool kLumaSecond>
__attribute__((target("ssse3"))) void spread_422_ssse3(const uint8_t* source, int32_t width,
                                                       uint8_t* destination) {
  const __m128i low_bytes = _mm_set1_epi16(0x00ff);
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 2 * x));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 2 * x + 16));
    if constexpr (kLumaSecond) {
      a = _mm_srli_epi16(a, 8);
      b = _mm_srli_epi16(b, 8);
    } else {
      a = _mm_and_si128(a, low_bytes);
      b = _mm_and_si128(b, low_bytes);
    }
    store_spread(_mm_packus_epi16(a, b), destination + 3 * x);
  }
  spread_luma(source + 2 * x + (kLumaSecond ? 1 : 0), 2, width - x, destination + 3 * x);
}

// Thirty-two luma bytes (the first sixteen in the low half) into 96 bytes
// of BGR pixels: each half spreads as above, then the halves are put in
// order.
__attribute__((target("avx2"))) inline void store_spread(__m256i luma, uint8_t* destination) {
  const __m256i first = _mm256_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 0, 0, 0, 1,
                                         1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m256i second = _mm256_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10, 5, 5, 6,
                                          6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m256i third =
      _mm256_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15, 10, 11, 11,
                       11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  const __m256i a = _mm256_shuffle_epi8(luma, first);
  const __m256i b = _mm256_shuffle_epi8(luma, second);
  const __m256i c = _mm256_shuffle_epi8(luma, third);
  auto* out = reinterpret_cast<__m256i*>(destination);
  _mm256_store_si256(out, _mm256_permute2x128_si256(a, b, 0x20));
  _mm256_store_si256(out + 1, _mm256_permute2x128_si256(c, a, 0x30));
  _mm256_store_si256(out + 2, _mm256_permute2x128_si256(b, c, 0x31));
}

// The pixels before the first one whose bytes start on a 32-byte boundary
// (3 x 11 = 33: eleven pixels move the start by one byte), so that no store
// of the vector loops splits a cache line.
int32_t unaligned_pixels(const uint8_t* destination, int32_t width) {
  const auto misalignment = static_cast<int32_t>(reinterpret_cast<uintptr_t>(destination) % 32);
  return std::min(width, ((32 - misalignment) % 32) * 11 % 32);
}

__attribute__((target("avx2"))) void spread_grey_avx2(const uint8_t* source, int32_t width,
                                                      uint8_t* destination) {
  int32_t x = unaligned_pixels(destination, width);
  spread_luma(source, 1, x, destination);
  for (; x + 32 <= width; x += 32) {
    store_spread(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + x)),
                 destination + 3 * x);
  }
  spread_grey_ssse3(source + x, width - x, destination + 3 * x);
}

template <bool kLumaSecond>
__attribute__((target("avx2"))) void spread_422_avx2(const uint8_t* source, int32_t width,
                                                     uint8_t* destination) {
  const __m256i low_bytes = _mm256_set1_epi16(0x00ff);
  int32_t x = unaligned_pixels(destination, width);
  spread_luma(source + (kLumaSecond ? 1 : 0), 2, x, destination);
  for (; x + 32 <= width; x += 32) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + 2 * x));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + 2 * x + 32));
    if constexpr (kLumaSecond) {
      a = _mm256_srli_epi16(a, 8);
      b = _mm256_srli_epi16(b, 8);
    } else {
      a = _mm256_and_si256(a, low_bytes);
      b = _mm256_and_si256(b, low_bytes);
    }
    // Packing works within halves: pixels 0-7, 16-23 | 8-15, 24-31.
    const __m256i luma = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
    store_spread(luma, destination + 3 * x);
  }
  spread_422_ssse3<kLumaSecond>(source + 2 * x, width - x, destination + 3 * x);
}

enum class Kernels { Plain, Ssse3, Avx2 };
const Kernels kKernels = __builtin_cpu_supports("avx2")    ? Kernels::Avx2
                         : __builtin_cpu_supports("ssse3") ? Kernels::Ssse3
                                                           : Kernels::Plain;
#endif

}  // namespace

std::optional<PixelLayout> pixel_layout_for(uint32_t pixel_format, bool mono) {
  switch (pixel_format) {
    case kPixelFormatBgr24:
      return PixelLayout::Bgr24;
    case kPixelFormatRgb24:
      return PixelLayout::Rgb24;
    case kPixelFormatGrey:
      return PixelLayout::Grey;
    case kPixelFormatYuyv:
      return mono ? std::optional(PixelLayout::YuyvLuma) : std::nullopt;
    case kPixelFormatUyvy:
      return mono ? std::optional(PixelLayout::UyvyLuma) : std::nullopt;
    default:
      return std::nullopt;
  }
}

std::size_t source_bytes_per_pixel(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::Bgr24:
    case PixelLayout::Rgb24:
      return 3;
    case PixelLayout::Grey:
      return 1;
    case PixelLayout::YuyvLuma:
    case PixelLayout::UyvyLuma:
      return 2;
  }
  return 3;
}

void convert_line(const uint8_t* source, PixelLayout layout, int32_t width, uint8_t* destination) {
  switch (layout) {
    case PixelLayout::Bgr24:
      std::memcpy(destination, source, std::size_t{3} * static_cast<std::size_t>(width));
      return;
    case PixelLayout::Rgb24:
      for (int32_t x = 0; x < width; ++x, source += 3, destination += 3) {
        destination[0] = source[2];
        destination[1] = source[1];
        destination[2] = source[0];
      }
      return;
    case PixelLayout::Grey:
#ifdef NOCTRA_LUMA_SSSE3
      if (kKernels == Kernels::Avx2) return spread_grey_avx2(source, width, destination);
      if (kKernels == Kernels::Ssse3) return spread_grey_ssse3(source, width, destination);
#endif
      return spread_luma(source, 1, width, destination);
    case PixelLayout::YuyvLuma:
#ifdef NOCTRA_LUMA_SSSE3
      if (kKernels == Kernels::Avx2) return spread_422_avx2<false>(source, width, destination);
      if (kKernels == Kernels::Ssse3) return spread_422_ssse3<false>(source, width, destination);
#endif
      return spread_luma(source, 2, width, destination);
    case PixelLayout::UyvyLuma:
#ifdef NOCTRA_LUMA_SSSE3
      if (kKernels == Kernels::Avx2) return spread_422_avx2<true>(source, width, destination);
      if (kKernels == Kernels::Ssse3) return spread_422_ssse3<true>(source, width, destination);
#endif
      return spread_luma(source + 1, 2, width, destination);
  }
}

DibFrame::DibFrame(int32_t width, int32_t height, std::size_t stride)
    : width_(width), height_(height), stride_(stride),
      block_(kBitmapHeaderSize + stride * static_cast<std::size_t>(height) + kFrameTrailingBytes,
             0) {
  BitmapInfoHeader header;
  header.width = width;
  header.height = height;
  header.size_image = static_cast<uint32_t>(stride * static_cast<std::size_t>(height));
  write_bitmap_header(header, block_.data());
}

std::optional<DibFrame> DibFrame::create(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width > kMaxFrameDimension || height > kMaxFrameDimension) {
    return std::nullopt;
  }
  return DibFrame(width, height, *row_stride_for(width, 24));
}

uint8_t* DibFrame::picture_line(int32_t line) {
  // Stored row 0 is the picture's last line.
  return block_.data() + kBitmapHeaderSize + static_cast<std::size_t>(height_ - 1 - line) * stride_;
}

bool holds_lines(std::span<const uint8_t> bytes, uint32_t bytes_per_line, PixelLayout layout,
                 int32_t width, int32_t lines) {
  if (lines <= 0) return lines == 0;
  const std::size_t line_bytes =
      source_bytes_per_pixel(layout) * static_cast<std::size_t>(std::max(width, 0));
  return bytes_per_line >= line_bytes &&
         bytes.size() >=
             std::size_t{bytes_per_line} * static_cast<std::size_t>(lines - 1) + line_bytes;
}

bool DibFrame::put_lines(std::span<const uint8_t> source, uint32_t bytes_per_line,
                         PixelLayout layout, int32_t lines, int32_t first_line, int32_t step) {
  if (lines <= 0 || first_line < 0 || step <= 0) return lines == 0;
  if (!holds_lines(source, bytes_per_line, layout, width_, lines)) return false;
  for (int32_t i = 0; i < lines; ++i) {
    const int64_t line = first_line + int64_t{i} * step;
    if (line >= height_) break;
    convert_line(source.data() + std::size_t{bytes_per_line} * static_cast<std::size_t>(i), layout,
                 width_, picture_line(static_cast<int32_t>(line)));
  }
  return true;
}

int32_t field_lines(int32_t height, bool top) { return top ? (height + 1) / 2 : height / 2; }

bool put_picture(DibFrame& frame, std::span<const uint8_t> bytes, uint32_t bytes_per_line,
                 PixelLayout layout, FieldOrder order) {
  const int32_t height = frame.height();
  if (order != FieldOrder::SeqTopFirst && order != FieldOrder::SeqBottomFirst) {
    return frame.put_lines(bytes, bytes_per_line, layout, height, 0, 1);
  }
  // The older field first in the buffer, each field's lines in order.
  const bool top_first = order == FieldOrder::SeqTopFirst;
  const int32_t first_lines = field_lines(height, top_first);
  const std::size_t second_at = std::size_t{bytes_per_line} * static_cast<std::size_t>(first_lines);
  if (bytes.size() < second_at) return false;
  return frame.put_lines(bytes, bytes_per_line, layout, first_lines, top_first ? 0 : 1, 2) &&
         frame.put_lines(bytes.subspan(second_at), bytes_per_line, layout,
                         field_lines(height, !top_first), top_first ? 1 : 0, 2);
}

bool put_field(DibFrame& frame, std::span<const uint8_t> bytes, uint32_t bytes_per_line,
               PixelLayout layout, bool top, bool doubled) {
  const int32_t lines = field_lines(frame.height(), top);
  if (!frame.put_lines(bytes, bytes_per_line, layout, lines, top ? 0 : 1, 2)) return false;
  // Each line once more, on the other field's line next to it.
  return !doubled || frame.put_lines(bytes, bytes_per_line, layout, lines, top ? 1 : 0, 2);
}

}  // namespace noctra
