#include "output/riff.h"

#include <stdexcept>

namespace noctra::riff {

std::size_t ByteBuilder::put_u8(uint8_t value) {
  bytes_.push_back(value);
  return bytes_.size() - 1;
}

std::size_t ByteBuilder::put_u16(uint16_t value) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + 2);
  store_u16(bytes_.data() + at, value);
  return at;
}

std::size_t ByteBuilder::put_u32(uint32_t value) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + 4);
  store_u32(bytes_.data() + at, value);
  return at;
}

std::size_t ByteBuilder::put_u64(uint64_t value) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + 8);
  store_u64(bytes_.data() + at, value);
  return at;
}

std::size_t ByteBuilder::put_bytes(std::span<const uint8_t> data) {
  const std::size_t at = bytes_.size();
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return at;
}

std::size_t ByteBuilder::put_zeros(std::size_t count) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + count, 0);
  return at;
}

std::size_t ByteBuilder::begin_chunk(std::string_view id) {
  const std::size_t at = put_fourcc(id);
  put_u32(0);
  return at;
}

std::size_t ByteBuilder::begin_list(std::string_view list_id, std::string_view form) {
  const std::size_t at = begin_chunk(list_id);
  put_fourcc(form);
  return at;
}

void ByteBuilder::end_chunk(std::size_t header_offset) {
  const std::size_t body = bytes_.size() - header_offset - 8;
  if (body > UINT32_MAX) throw std::length_error("RIFF chunk larger than 4 GiB");
  patch_u32(header_offset + 4, static_cast<uint32_t>(body));
  if (body % 2 != 0) put_u8(0);
}

}  // namespace noctra::riff
