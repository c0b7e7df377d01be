// Random headers (with and without colour tables) and pixel blocks of random
// length through the AVI container's entry for packed bitmaps, into a file
// kept in memory, with random write failures. Besides the sanitizers' checks
// that no frame is read past its block, it checks what the container
// promises: the file's frame count matches the frames it accepted and every
// RIFF segment's size matches the file once it is finished, whatever writes
// failed on the way.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/avi_container.h"
#include "output/riff.h"

namespace {

using namespace noctra;

class MemoryIo final : public WriterIo {
 public:
  explicit MemoryIo(FuzzedDataProvider& input) : input_(input) {}
  std::vector<uint8_t> file;
  bool exists = false;
  bool failures = true;

  int create_file(const char*) override {
    file.clear();
    exists = true;
    return 3;
  }
  int remove_file(const char*) override {
    exists = false;
    return 0;
  }
  ssize_t pwritev(int, const struct iovec* iov, int count, off_t offset) override {
    if (failures && input_.ConsumeIntegralInRange<int>(0, 15) == 0) {
      errno = ENOSPC;
      return -1;
    }
    std::size_t at = static_cast<std::size_t>(offset);
    ssize_t written = 0;
    for (int i = 0; i < count; ++i) {
      if (file.size() < at + iov[i].iov_len) file.resize(at + iov[i].iov_len);
      std::copy_n(static_cast<const uint8_t*>(iov[i].iov_base), iov[i].iov_len, file.begin() + at);
      at += iov[i].iov_len;
      written += static_cast<ssize_t>(iov[i].iov_len);
    }
    return written;
  }
  int ftruncate(int, off_t length) override {
    file.resize(static_cast<std::size_t>(length));
    return 0;
  }
  int fdatasync(int) override { return 0; }
  int close(int) override { return 0; }
  int64_t now_ms() override { return 0; }

 private:
  FuzzedDataProvider& input_;
};

// Walks the top-level RIFF chunks; false when one claims more than the file.
bool segments_fit(const std::vector<uint8_t>& file) {
  std::size_t at = 0;
  while (at + 8 <= file.size()) {
    const uint64_t size = riff::load_u32(file.data() + at + 4);
    if (riff::load_u32(file.data() + at) != riff::fourcc("RIFF") || at + 8 + size > file.size()) {
      return false;
    }
    at += 8 + size;
  }
  return at == file.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  MemoryIo io(input);
  AviLimits limits;
  limits.segment_bytes = 4096;  // the smallest allowed: many segments
  limits.max_segments = input.ConsumeIntegralInRange<uint32_t>(1, 8);
  AviContainer avi(io, limits);

  bool open = false;
  const int frames = input.ConsumeIntegralInRange<int>(1, 12);
  for (int i = 0; i < frames && input.remaining_bytes() > 0; ++i) {
    // Each block is a heap block of its own, so reading past it is caught.
    std::vector<uint8_t> header =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 1100));
    std::vector<uint8_t> pixels =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 3000));
    if (header.empty()) continue;  // a missing frame
    if (!open) open = avi.open_bitmaps("fuzz.avi", header, pixels.size()).ok();
    if (open) avi.append_bitmap(header, pixels);
  }
  const int64_t accepted = avi.frames();
  // With the disk working again, Stop must leave a whole file that counts
  // exactly the frames accepted, whatever failed before.
  io.failures = false;
  avi.close(false);
  if (open) {
    if (!io.exists || io.file.size() < 144 || !segments_fit(io.file)) std::abort();
    if (riff::load_u32(io.file.data() + 140) != static_cast<uint32_t>(accepted)) std::abort();
  }
  return 0;
}
