#pragma once
// Little-endian fields in byte buffers, as bitmap headers and RIFF files lay
// them out, on any host byte order.

#include <cstdint>

namespace noctra {

inline void store_u16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
inline void store_u32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void store_u64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint16_t load_u16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
inline uint32_t load_u32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}
inline uint64_t load_u64(const uint8_t* at) {
  return static_cast<uint64_t>(load_u32(at)) | static_cast<uint64_t>(load_u32(at + 4)) << 32;
}

}  // namespace noctra
