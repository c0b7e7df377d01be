#pragma once
// What the capture sequencer needs from the output file: append one frame
// (opening the file on the first), and close on Stop.

#include "imaging/frame_image.h"

namespace noctra {

class FrameWriter {
 public:
  virtual ~FrameWriter() = default;
  // Does nothing for a missing frame. May show an error (a nested event loop).
  virtual void avi_write_frame(const FrameImage* frame) = 0;
  virtual void avi_close() = 0;
};

}  // namespace noctra
