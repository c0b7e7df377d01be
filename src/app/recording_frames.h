#pragma once
// The frames of a recording for the commands that read one back (--measure,
// --stack): an AVI or SER file through the output layer's readers, or a
// FITS recording (one file per frame, or a single FITS image) read here with
// CFITSIO. Each frame comes with its exposure's instants when the recording
// has them: from the timing record beside it, else from a FITS frame's
// DATE-OBS, DATE-END and EXPTIME.
//
// Every file is untrusted: sizes are checked before anything is allocated,
// and a failure says which format the file claims to be.

#include <cstddef>
#include <memory>
#include <string>

#include "config/status.h"
#include "config/timing.h"
#include "imaging/frame_image.h"
#include "imaging/plane_frame.h"
#include "output/formats.h"

namespace noctra {

// What the file claims to be: SER by its signature, else the format its
// extension names (format_of_path).
const RecordingFormat& claimed_format(const std::string& path);

struct RecordedFrame {
  FrameHolder image;   // AVI and SER: the frame as recorded
  PlaneBuffer planes;  // FITS: the samples, one plane per channel
  FrameTiming timing;  // start and end when the recording tells them
};

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

  class Source;

 private:
  explicit RecordingFrames(std::unique_ptr<Source> source);
  std::unique_ptr<Source> source_;
};

// A frame of either kind as an 8-bit frame image (FITS samples rounded and
// held to 0..255), for the measurement.
FrameHolder frame_image_of(RecordedFrame& frame);

}  // namespace noctra
