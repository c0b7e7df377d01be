#pragma once
// Little-endian building blocks of a RIFF file: four-character codes, fixed
// width fields and chunk headers, laid out into a byte buffer that is later
// written to the file in one piece.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "imaging/little_endian.h"

namespace noctra::riff {

constexpr uint32_t fourcc(std::string_view code) {
  return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24;
}

using noctra::load_u16;
using noctra::load_u32;
using noctra::load_u64;
using noctra::store_u16;
using noctra::store_u32;
using noctra::store_u64;

// Appends fields to a buffer and remembers where they went, so that sizes and
// counters can be patched in later, in the buffer or in the file.
class ByteBuilder {
 public:
  std::size_t size() const { return bytes_.size(); }
  std::span<const uint8_t> bytes() const { return bytes_; }
  void clear() { bytes_.clear(); }
  void reserve(std::size_t n) { bytes_.reserve(n); }

  std::size_t put_u8(uint8_t value);
  std::size_t put_u16(uint16_t value);
  std::size_t put_u32(uint32_t value);
  std::size_t put_u64(uint64_t value);
  std::size_t put_fourcc(std::string_view code) { return put_u32(fourcc(code)); }
  std::size_t put_bytes(std::span<const uint8_t> data);
  std::size_t put_zeros(std::size_t count);

  // A chunk header with its size still open; returns the header's offset.
  std::size_t begin_chunk(std::string_view id);
  // "LIST"/"RIFF" header plus its form type; returns the header's offset.
  std::size_t begin_list(std::string_view list_id, std::string_view form);
  // Sets the size of the chunk or list begun at header_offset to everything
  // appended since, and adds the pad byte an odd size needs.
  void end_chunk(std::size_t header_offset);

  void patch_u32(std::size_t offset, uint32_t value) { store_u32(bytes_.data() + offset, value); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace noctra::riff
