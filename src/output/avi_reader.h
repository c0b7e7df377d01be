#pragma once
// Reads the frames of an uncompressed 24-bit AVI file back as frame images:
// Noctra's own recordings (including OpenDML 'AVIX' segments and files cut
// short by a crash) and other writers' files, whose rows may be stored
// bottom-up (a positive height) or top-down (a negative height, as ffmpeg
// writes them). Every frame comes out bottom-up, as the camera delivers it,
// so whatever measures it sees one layout.
//
// The file is untrusted: every size is checked against the file and against
// its parent chunk before anything is read, nothing is read outside the file,
// and a damaged part ends the frame list at the last whole frame.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/frame_image.h"

namespace noctra {

class AviReader {
 public:
  // Opens the file and finds its frames. Nothing, with the reason in error,
  // when it is not an AVI file with an uncompressed 24-bit video stream.
  static std::optional<AviReader> open(const std::string& path, std::string& error);

  AviReader(AviReader&& other) noexcept;
  AviReader& operator=(AviReader&& other) noexcept;
  AviReader(const AviReader&) = delete;
  AviReader& operator=(const AviReader&) = delete;
  ~AviReader();

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }  // always positive
  bool top_down() const { return top_down_; }
  std::size_t frame_count() const { return frames_.size(); }
  // True when the file ends inside a chunk or a segment (a recording cut
  // short): the frames before that point are all there.
  bool truncated() const { return truncated_; }

  // Frame `index` as a bottom-up 24-bit frame image. Nothing, with the
  // reason in error, when it cannot be read.
  std::optional<FrameImage> read_frame(std::size_t index, std::string& error);

 private:
  struct FrameChunk {
    uint64_t offset;  // of the sample data
    uint32_t size;
  };
  AviReader(int fd, std::string path, uint64_t file_size);
  void close_file();

  int fd_ = -1;
  std::string path_;
  uint64_t file_size_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  bool top_down_ = false;
  bool truncated_ = false;
  std::vector<FrameChunk> frames_;
  std::vector<uint8_t> scratch_;

  friend class AviIndexer;
};

}  // namespace noctra
