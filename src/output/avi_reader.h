#pragma once
// Reads the frames of an uncompressed AVI file back as frame images: 24-bit
// frames, 8-bit ones through their palette (Noctra's mono recordings) and
// 8-bit grey ('Y800'),
// Noctra's own recordings (including OpenDML 'AVIX' segments and files cut
// short by a crash) and other writers' files, whose rows may be stored
// bottom-up (a positive height) or top-down (a negative height, as ffmpeg
// writes them). Every size is checked against the file and against its
// parent chunk before anything is read, and a damaged part ends the frame
// list at the last whole frame.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "output/recorded_frames.h"
#include "output/recording_reader.h"

namespace noctra {

class AviReader final : public RecordedFrames {
 public:
  // Opens the file and finds its frames. Nothing, with the reason in error,
  // when it is not an AVI file with an uncompressed 24-bit or 8-bit video
  // stream.
  static std::optional<AviReader> open(const std::string& path, std::string& error);

 private:
  explicit AviReader(std::string path) : RecordedFrames(std::move(path)) {}
  StoredFrame stored_frame(std::size_t index) const override { return frames_[index]; }

  std::vector<StoredFrame> frames_;  // each frame's sample data

  friend class AviIndexer;
};

// The AVI recording at path for reading back, or why not.
Result<std::unique_ptr<RecordingReader>> open_avi_recording(const std::string& path);

}  // namespace noctra
