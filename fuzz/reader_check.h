#pragma once
// What the reader targets share: the input as a file in memory, and the
// reader's promises checked on it (a refusal always says why, and every frame
// it delivers has the stream's size).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "output/recorded_frames.h"

namespace noctra::fuzz {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// The input in a memory file, created once and refilled for each input; its path.
inline std::string memory_file_with(const uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("fuzz-recording", MFD_CLOEXEC);
  require(fd >= 0);
  require(ftruncate(fd, 0) == 0);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    require(wrote > 0);
    done += static_cast<std::size_t>(wrote);
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

// Reads the frames the reader lists, or says why it refused the file.
template <typename Reader>
void check_reader(std::optional<Reader> reader, const std::string& error) {
  if (!reader) {
    require(!error.empty());
    return;
  }
  require(reader->width() > 0 && reader->height() > 0);
  // Large pictures would only make the input slow.
  if (int64_t{reader->width()} * reader->height() > (1 << 20)) return;
  std::string frame_error;
  for (std::size_t i = 0; i < reader->frame_count() && i < 64; ++i) {
    if (auto frame = reader->read_frame(i, frame_error)) {
      require(frame->width() == reader->width() && frame->height() == reader->height());
    } else {
      require(!frame_error.empty());
    }
  }
}

}  // namespace noctra::fuzz
