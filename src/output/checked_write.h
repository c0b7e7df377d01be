#pragma once
// Reads and writes that either move every byte or say why not: the one loop
// of each that goes on after a short transfer.

#include <sys/uio.h>

#include <cstdint>
#include <span>

#include "output/writer_io.h"

namespace noctra {

// Writes all the parts, in order, from offset on: any number of parts (they
// go in batches the system accepts), short writes continued. False with errno
// set when a write fails or makes no progress (EIO then).
bool write_fully(WriterIo& io, int fd, std::span<const struct iovec> parts, uint64_t offset);

// Reads exactly `bytes` at offset. False with errno set when a read fails,
// errno 0 when the file ends first.
bool read_fully(WriterIo& io, int fd, uint8_t* into, std::size_t bytes, uint64_t offset);

inline struct iovec iovec_of(const void* data, std::size_t size) {
  return {const_cast<void*>(data), size};
}

}  // namespace noctra
