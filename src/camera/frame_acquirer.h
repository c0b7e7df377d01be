#pragma once
// What the capture call needs from acquisition: the availability gate, one
// blocking acquisition into a holder with the trigger code that ends it, and
// the still trigger that runs at the start of every tick.

#include "camera/camera_port.h"
#include "config/timing.h"
#include "imaging/frame_image.h"

namespace noctra {

class FrameAcquirer {
 public:
  virtual ~FrameAcquirer() = default;
  virtual bool source_available() = 0;
  // Fills the holder with one new frame or with none; the holder keeps what it
  // had when no source is available. Blocks inside the event pump. The code
  // is pending from the call on: the still trigger writes it as it presses.
  // An acquisition that ends without a press leaves it pending, and the next
  // press the still trigger finds writes it.
  virtual void acquire_frame(FrameHolder& holder, TriggerCode code) = 0;
  virtual void still_trigger() = 0;
  // True while acquire_frame waits; the command router drops commands then.
  virtual bool busy() const = 0;
  // The end and delivery instants of the last acquisition that delivered a
  // frame (the trigger write, the source's return, the buffer's own stamp);
  // the start is the port's to tell.
  virtual FrameTiming last_timing() const { return {}; }
};

}  // namespace noctra
