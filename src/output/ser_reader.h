#pragma once
// Reads the frames of a SER file back as frame images: Noctra's own
// recordings and other writers' files with 8-bit samples, BGR, RGB or
// monochrome. SER stores the top line first; every frame comes out
// bottom-up, as the camera delivers it, so whatever measures it sees one
// layout.
//
// The file is untrusted: the header's sizes are checked before anything is
// read, nothing is read outside the file, and a file cut short (or one whose
// count claims more than it holds) reads its whole frames.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/frame_image.h"

namespace noctra {

class SerReader {
 public:
  // Opens the file and checks its header. Nothing, with the reason in error,
  // when it is not a SER file with 8-bit BGR, RGB or monochrome frames.
  static std::optional<SerReader> open(const std::string& path, std::string& error);

  SerReader(SerReader&& other) noexcept;
  SerReader& operator=(SerReader&& other) noexcept;
  SerReader(const SerReader&) = delete;
  SerReader& operator=(const SerReader&) = delete;
  ~SerReader();

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  std::size_t frame_count() const { return frame_count_; }
  // True when the header counts more frames than the file holds whole.
  bool truncated() const { return truncated_; }

  // Frame `index` as a bottom-up 24-bit frame image (a monochrome sample goes
  // into all three bytes). Nothing, with the reason in error, when it cannot
  // be read.
  std::optional<FrameImage> read_frame(std::size_t index, std::string& error);

 private:
  SerReader(int fd, std::string path);
  void close_file();

  int fd_ = -1;
  std::string path_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t colour_ = 0;
  std::size_t planes_ = 3;
  std::size_t frame_bytes_ = 0;
  std::size_t frame_count_ = 0;
  bool truncated_ = false;
  std::vector<uint8_t> scratch_;
};

}  // namespace noctra
