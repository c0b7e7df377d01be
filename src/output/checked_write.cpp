#include "output/checked_write.h"

#include <limits.h>

#include <cerrno>

namespace noctra {

bool write_fully(WriterIo& io, int fd, std::span<const struct iovec> parts, uint64_t offset) {
  constexpr std::size_t kBatch = IOV_MAX;
  struct iovec batch[kBatch];
  std::size_t next = 0;  // the first part not yet in a batch
  std::size_t skip = 0;  // bytes of parts[next] already written
  while (next < parts.size()) {
    std::size_t count = 0;
    for (std::size_t k = next; k < parts.size() && count < kBatch; ++k) {
      const std::size_t done = k == next ? skip : 0;
      if (parts[k].iov_len <= done) continue;
      batch[count++] = {static_cast<uint8_t*>(parts[k].iov_base) + done, parts[k].iov_len - done};
    }
    if (count == 0) return true;
    const ssize_t written =
        io.pwritev(fd, batch, static_cast<int>(count), static_cast<off_t>(offset));
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    offset += static_cast<uint64_t>(written);
    std::size_t left = static_cast<std::size_t>(written);
    while (left > 0 && next < parts.size()) {
      const std::size_t rest = parts[next].iov_len - skip;
      if (left < rest) {
        skip += left;
        left = 0;
      } else {
        left -= rest;
        ++next;
        skip = 0;
      }
    }
    while (next < parts.size() && parts[next].iov_len == 0) ++next;
  }
  return true;
}

bool read_fully(WriterIo& io, int fd, uint8_t* into, std::size_t bytes, uint64_t offset) {
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t got = io.pread(fd, into + done, bytes - done, static_cast<off_t>(offset + done));
    if (got <= 0) {
      if (got == 0) errno = 0;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace noctra
