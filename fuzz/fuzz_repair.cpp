// `--repair` on a SER file and timing record that exist only in memory,
// through the recording's WriterIo seam. The input is
//
//   178 bytes  the SER file's header
//   8 bytes    the file's size, little-endian (the frames themselves are never read)
//   1 byte     a fault: bit 7 takes the timing record away, bits 0-6 fail that
//              write or flush (counted from 1; 0 fails none)
//   the rest   the timing record
//
// Besides the sanitizers' checks, it checks what the repair promises: the
// file is never shortened, a file that is not SER or already complete is
// not written, the count written is the frames reported, and the timestamps
// go right after the last whole frame, one for each.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/little_endian.h"
#include "output/ser_header.h"
#include "output/ser_repair.h"

namespace {

using namespace noctra;

constexpr int kSerFd = 3;
constexpr int kTimingFd = 4;
constexpr std::size_t kPrefixBytes = kSerHeaderBytes + 8 + 1;

void require(bool condition) {
  if (!condition) std::abort();
}

struct Write {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

class MemoryIo final : public WriterIo {
 public:
  std::vector<uint8_t> header;
  uint64_t size = 0;
  std::string timing;
  bool timing_exists = true;
  int failing_call = 0;  // of the writes and flushes, from 1
  std::vector<Write> writes;

  int open_file(const char* path, bool writable) override {
    if (std::strcmp(path, "night.ser") == 0) return kSerFd;
    require(!writable && std::strcmp(path, "night.timing.csv") == 0);
    if (timing_exists) return kTimingFd;
    errno = ENOENT;
    return -1;
  }
  int64_t file_size(int fd) override {
    return static_cast<int64_t>(fd == kSerFd ? size : timing.size());
  }
  ssize_t pread(int fd, void* into, std::size_t bytes, off_t offset) override {
    const auto at = static_cast<uint64_t>(offset);
    if (fd == kTimingFd) {
      if (at >= timing.size()) return 0;
      const std::size_t n = std::min<std::size_t>(bytes, timing.size() - at);
      std::memcpy(into, timing.data() + at, n);
      return static_cast<ssize_t>(n);
    }
    // Only the header is ever read; the frames are not.
    require(at + bytes <= header.size());
    std::memcpy(into, header.data() + at, bytes);
    return static_cast<ssize_t>(bytes);
  }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) override {
    require(fd == kSerFd);
    if (fails()) {
      errno = ENOSPC;
      return -1;
    }
    Write write{static_cast<uint64_t>(offset), {}};
    for (int i = 0; i < count; ++i) {
      const auto* from = static_cast<const uint8_t*>(iov[i].iov_base);
      write.bytes.insert(write.bytes.end(), from, from + iov[i].iov_len);
    }
    size = std::max<uint64_t>(size, write.offset + write.bytes.size());
    const ssize_t written = static_cast<ssize_t>(write.bytes.size());
    writes.push_back(std::move(write));
    return written;
  }
  int fdatasync(int) override {
    if (!fails()) return 0;
    errno = EIO;
    return -1;
  }
  int close(int fd) override {
    require(fd == kSerFd || fd == kTimingFd);
    return 0;
  }
  // A repair never makes, removes or shortens a file.
  int create_file(const char*) override { std::abort(); }
  int remove_file(const char*) override { std::abort(); }
  int ftruncate(int, off_t) override { std::abort(); }
  int64_t now_ms() override { return 0; }

 private:
  bool fails() { return ++calls_ == failing_call; }
  int calls_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kPrefixBytes) return 0;
  MemoryIo io;
  io.header.assign(data, data + kSerHeaderBytes);
  io.size = load_u64(data + kSerHeaderBytes) % (uint64_t{1} << 42);
  const uint8_t fault = data[kSerHeaderBytes + 8];
  io.timing_exists = (fault & 0x80) == 0;
  io.failing_call = fault & 0x7f;
  io.timing.assign(reinterpret_cast<const char*>(data) + kPrefixBytes, size - kPrefixBytes);
  const uint64_t size_before = io.size;

  const SerRepairResult result = repair_ser("night.ser", "night.timing.csv", io);
  require(!result.message.empty());
  require(io.size >= size_before);
  const Result<SerHeader> header = parse_ser_header(io.header);
  switch (result.outcome) {
    case SerRepairOutcome::NotSer:
      require((size_before < kSerHeaderBytes || !header) && io.writes.empty());
      return 0;
    case SerRepairOutcome::AlreadyComplete:
      require(io.writes.empty());
      return 0;
    case SerRepairOutcome::Failed:
      require(io.failing_call != 0);
      return 0;
    case SerRepairOutcome::CountOnly:
    case SerRepairOutcome::Completed:
      break;
  }
  // The count first, then the timestamps after the last whole frame.
  require(header && !io.writes.empty());
  const Write& count = io.writes.front();
  require(count.offset == ser_layout::kFrameCountAt && count.bytes.size() == 4);
  require(load_u32(count.bytes.data()) == static_cast<uint32_t>(result.frames));
  require(static_cast<uint64_t>(result.frames) * header->frame_bytes() <=
          size_before - kSerHeaderBytes);
  uint64_t at = kSerHeaderBytes + static_cast<uint64_t>(result.frames) * header->frame_bytes();
  for (std::size_t k = 1; k < io.writes.size(); ++k) {
    require(io.writes[k].offset == at);
    at += io.writes[k].bytes.size();
  }
  const bool dated = result.outcome == SerRepairOutcome::Completed && result.frames > 0;
  require(at == kSerHeaderBytes + static_cast<uint64_t>(result.frames) *
                                      (header->frame_bytes() + (dated ? 8 : 0)));
  return 0;
}
