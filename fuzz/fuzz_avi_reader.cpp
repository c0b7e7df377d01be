// Arbitrary bytes as an AVI file through the reader: opening, indexing and
// reading every frame it lists. Besides the sanitizers' checks that nothing
// is read outside the file or a frame, it checks what the reader promises:
// a refusal always says why, and every frame it delivers has the stream's
// size. The input lives in a memory file, so no disk is touched.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "output/avi_reader.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// A memory file, created once and refilled for each input.
int memory_file() {
  static const int fd = memfd_create("fuzz-avi", MFD_CLOEXEC);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const int fd = memory_file();
  require(fd >= 0);
  require(ftruncate(fd, 0) == 0);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    require(wrote > 0);
    done += static_cast<std::size_t>(wrote);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::string error;
  auto reader = noctra::AviReader::open(path, error);
  if (!reader) {
    require(!error.empty());
    return 0;
  }
  require(reader->width() > 0 && reader->height() > 0);
  // Large pictures would only make the input slow.
  if (int64_t{reader->width()} * reader->height() > (1 << 20)) return 0;
  for (std::size_t i = 0; i < reader->frame_count() && i < 64; ++i) {
    if (auto frame = reader->read_frame(i, error)) {
      require(frame->width() == reader->width() && frame->height() == reader->height());
    } else {
      require(!error.empty());
    }
  }
  return 0;
}
