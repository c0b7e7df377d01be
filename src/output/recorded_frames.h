#pragma once
// A recording's frames read back as frame images, whatever file holds them:
// what the AVI and SER readers share. Every frame comes out bottom-up 24-bit,
// as the camera delivers it, so whatever measures it sees one layout; an
// 8-bit sample goes through the file's palette (grey when it has none, the
// luma then in B, G and R alike).
//
// The file is untrusted: its sizes are checked before anything is read, and
// nothing is read outside the file or a frame's own bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imaging/frame_image.h"
#include "output/unique_fd.h"

namespace noctra {

class RecordedFrames {
 public:
  virtual ~RecordedFrames() = default;
  RecordedFrames(RecordedFrames&&) noexcept = default;
  RecordedFrames& operator=(RecordedFrames&&) noexcept = default;

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }  // always positive
  // Whether the file stores the top line first.
  bool top_down() const { return top_down_; }
  std::size_t frame_count() const { return frame_count_; }
  // True when the file ends before what its headers promise (a recording cut
  // short): the frames before that point are all there.
  bool truncated() const { return truncated_; }

  // Frame `index` as a bottom-up 24-bit frame image. Nothing, with the
  // reason in error, when it cannot be read.
  std::optional<FrameImage> read_frame(std::size_t index, std::string& error);

 protected:
  // How a stored pixel is laid out.
  enum class Samples {
    Bgr,      // three bytes: blue, green, red
    Rgb,      // three bytes: red, green, blue
    Indexed,  // one byte, through the palette
  };
  // Where a frame's stored rows are: rows padded to four bytes when there
  // are bytes enough for that, else packed.
  struct StoredFrame {
    uint64_t offset = 0;
    uint64_t bytes = 0;
  };

  explicit RecordedFrames(std::string path);
  // Opens the file for reading; false, with the reason in error, when it
  // cannot be opened or is not a regular file.
  bool open_file(std::string& error);
  virtual StoredFrame stored_frame(std::size_t index) const = 0;
  // Sets the palette from the file's colour table (blue, green, red, unused),
  // entries it lacks staying grey.
  void set_palette(const uint8_t* table, std::size_t entries);
  // Reads exactly `bytes` at offset; false, with the reason in error, when the
  // file cannot give them.
  bool read_at(uint64_t offset, uint8_t* into, std::size_t bytes, std::string& error);

  UniqueFd fd_;
  std::string path_;
  uint64_t file_size_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  bool top_down_ = false;
  bool truncated_ = false;
  Samples samples_ = Samples::Bgr;
  std::size_t frame_count_ = 0;

 private:
  void unpack_row(const uint8_t* from, uint8_t* to) const;

  std::array<uint8_t, 4 * 256> palette_{};
  std::vector<uint8_t> scratch_;
};

}  // namespace noctra
