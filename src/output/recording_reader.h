#pragma once
// A recording read back frame by frame, whatever format holds it: the
// commands that measure or stack a recording read through this, and each
// format's row (formats.h) opens its own.
//
// Every file is untrusted: sizes are checked before anything is allocated.

#include <cstddef>
#include <memory>

#include "config/status.h"
#include "config/timing.h"
#include "imaging/frame_image.h"
#include "imaging/plane_frame.h"

namespace noctra {

class RecordedFrames;

struct RecordedFrame {
  FrameHolder image;   // AVI and SER: the frame as recorded
  PlaneBuffer planes;  // FITS: the samples, one plane per channel
  FrameTiming timing;  // start and end, when the file itself tells them
};

class RecordingReader {
 public:
  virtual ~RecordingReader() = default;
  virtual std::size_t count() const = 0;
  // Frame `index` into out (its buffers are reused from call to call).
  virtual Status read_frame(std::size_t index, RecordedFrame& out) = 0;
};

// An AVI or SER reader behind that interface.
std::unique_ptr<RecordingReader> recording_reader_of(std::unique_ptr<RecordedFrames> frames);

}  // namespace noctra
