#pragma once
// The 178-byte header of a SER (version 3) file: where its fields stand, for
// the writer, and the one parser the reader and the repair share.

#include <cstddef>
#include <cstdint>
#include <span>

#include "config/status.h"

namespace noctra {

inline constexpr std::size_t kSerHeaderBytes = 178;
inline constexpr std::size_t kSerTextBytes = 40;  // Observer, Instrument, Telescope
inline constexpr int32_t kSerColourMono = 0;
inline constexpr int32_t kSerColourRgb = 100;
inline constexpr int32_t kSerColourBgr = 101;

namespace ser_layout {
inline constexpr char kFileId[] = "LUCAM-RECORDER";
inline constexpr std::size_t kFileIdBytes = 14;
inline constexpr std::size_t kColourIdAt = 18;
inline constexpr std::size_t kWidthAt = 26;
inline constexpr std::size_t kHeightAt = 30;
inline constexpr std::size_t kDepthAt = 34;
inline constexpr std::size_t kFrameCountAt = 38;
inline constexpr std::size_t kObserverAt = 42;
inline constexpr std::size_t kDateTimeAt = 162;
}  // namespace ser_layout

struct SerHeader {
  int32_t colour = kSerColourBgr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 8;         // bits a sample
  uint32_t frame_count = 0;  // the frames the header counts
  // Mono and Bayer frames have one plane, RGB and BGR three; depths past 8
  // bits take two bytes a sample.
  std::size_t planes() const { return colour >= kSerColourRgb ? 3 : 1; }
  std::size_t sample_bytes() const { return depth > 8 ? 2 : 1; }
  uint64_t frame_bytes() const {
    return uint64_t{static_cast<uint32_t>(width)} * static_cast<uint32_t>(height) * planes() *
           sample_bytes();
  }
};

// The header of a SER file whose frame size can be known: every colour and
// depth SER defines, a frame size within kMaxFrameDimension. Otherwise the
// reason, worded to follow the file's name: "is not a SER file", "is not a
// SER file whose frame size can be known: ...".
Result<SerHeader> parse_ser_header(std::span<const uint8_t> bytes);

}  // namespace noctra
