#pragma once
// Reads the frames of a SER file back as frame images: Noctra's own
// recordings and other writers' files with 8-bit samples, BGR, RGB or
// monochrome. SER stores the top line first; a file cut short (or one whose
// count claims more than it holds) reads its whole frames.

#include <memory>
#include <optional>
#include <string>

#include "output/recorded_frames.h"
#include "output/recording_reader.h"

namespace noctra {

class SerReader final : public RecordedFrames {
 public:
  // Opens the file and checks its header. Nothing, with the reason in error,
  // when it is not a SER file with 8-bit BGR, RGB or monochrome frames.
  static std::optional<SerReader> open(const std::string& path, std::string& error);
  // Whether the file starts with SER's signature.
  static bool claims(const std::string& path);

 private:
  explicit SerReader(std::string path) : RecordedFrames(std::move(path)) {}
  StoredFrame stored_frame(std::size_t index) const override;

  uint64_t frame_bytes_ = 0;
};

// The SER recording at path for reading back, or why not.
Result<std::unique_ptr<RecordingReader>> open_ser_recording(const std::string& path);

}  // namespace noctra
