#pragma once
// What the capture sequencer needs from the output: append one frame (opening
// the recording on the first) with its timing and how it was taken, and close
// the recording on Stop.

#include "config/timing.h"
#include "imaging/frame_image.h"
#include "output/frame_metadata.h"

namespace noctra {

class FrameWriter {
 public:
  virtual ~FrameWriter() = default;
  // Does nothing for a missing frame. May show an error (a nested event loop).
  virtual void write_frame(const FrameImage* frame, const FrameTiming& timing,
                           const FrameMetadata& how) = 0;
  virtual void close_recording() = 0;
};

}  // namespace noctra
