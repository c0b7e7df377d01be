#include "output/ser_header.h"

#include <cstring>
#include <string>

#include "imaging/frame_image.h"
#include "imaging/little_endian.h"

namespace noctra {

using namespace ser_layout;

Result<SerHeader> parse_ser_header(std::span<const uint8_t> bytes) {
  if (bytes.size() < kSerHeaderBytes) {
    return failure("is not a SER file: it is shorter than a SER header");
  }
  if (std::memcmp(bytes.data(), kFileId, kFileIdBytes) != 0) return failure("is not a SER file");
  SerHeader header;
  header.colour = static_cast<int32_t>(load_u32(bytes.data() + kColourIdAt));
  header.width = static_cast<int32_t>(load_u32(bytes.data() + kWidthAt));
  header.height = static_cast<int32_t>(load_u32(bytes.data() + kHeightAt));
  header.depth = static_cast<int32_t>(load_u32(bytes.data() + kDepthAt));
  header.frame_count = load_u32(bytes.data() + kFrameCountAt);
  const std::string unknown = "is not a SER file whose frame size can be known: ";
  // Mono, the Bayer patterns (8 to 19), RGB and BGR.
  const int32_t colour = header.colour;
  if (colour != kSerColourMono && (colour < 8 || colour > 19) && colour != kSerColourRgb &&
      colour != kSerColourBgr) {
    return failure(unknown + "its colour " + std::to_string(colour) + " is not one SER defines");
  }
  if (header.depth < 1 || header.depth > 16) {
    return failure(unknown + "its samples of " + std::to_string(header.depth) +
                   " bits are not SER's");
  }
  if (header.width <= 0 || header.height <= 0 || header.width > kMaxFrameDimension ||
      header.height > kMaxFrameDimension) {
    return failure(unknown + "the frame size " + std::to_string(header.width) + " x " +
                   std::to_string(header.height) + " is not usable");
  }
  return header;
}

}  // namespace noctra
