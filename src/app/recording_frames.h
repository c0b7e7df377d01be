#pragma once
// The frames of a recording for the commands that read one back (--measure,
// --stack), through the reader of the format the file claims to be. Each
// frame comes with its exposure's instants when the recording has them:
// from the timing record beside it, else from what the file itself says
// (a FITS frame's DATE-OBS, DATE-END and EXPTIME).

#include <cstddef>
#include <memory>
#include <string>

#include "config/status.h"
#include "config/timing.h"
#include "imaging/frame_image.h"
#include "imaging/plane_frame.h"
#include "output/formats.h"
#include "output/recording_reader.h"

namespace noctra {

class RecordingFrames {
 public:
  // Opens the recording; a failure says why, naming the format the path
  // claims ("... is not a SER file").
  static Result<RecordingFrames> open(const std::string& path);

  RecordingFrames(RecordingFrames&&) noexcept;
  RecordingFrames& operator=(RecordingFrames&&) noexcept;
  ~RecordingFrames();

  const RecordingFormat& format() const;
  std::size_t count() const;
  // Frame `index` into out (its buffers are reused from call to call).
  Status read(std::size_t index, RecordedFrame& out);

  struct Source;

 private:
  explicit RecordingFrames(std::unique_ptr<Source> source);
  std::unique_ptr<Source> source_;
};

// A frame of either kind as an 8-bit frame image (FITS samples rounded and
// held to 0..255), for the measurement.
FrameHolder frame_image_of(RecordedFrame& frame);

}  // namespace noctra
