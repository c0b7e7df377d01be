#pragma once
// What the capture sequencer needs from acquisition: the availability gate,
// the pending trigger code, one blocking acquisition into a holder, and the
// still trigger that runs at the start of every tick.

#include "config/timing.h"
#include "imaging/frame_image.h"

namespace noctra {

class FrameAcquirer {
 public:
  virtual ~FrameAcquirer() = default;
  virtual bool source_available() = 0;
  // 0x35 or 0x37 before an acquisition; -1 when none is pending.
  virtual void set_pending_trigger_code(int code) = 0;
  virtual int pending_trigger_code() const = 0;
  // Fills the holder with one new frame or with none; the holder keeps what it
  // had when no source is available. Blocks inside the event pump.
  virtual void acquire_frame(FrameHolder& holder) = 0;
  virtual void still_trigger() = 0;
  // True while acquire_frame waits; the command router drops commands then.
  virtual bool busy() const = 0;
  // The end and delivery instants of the last acquisition that delivered a
  // frame (the trigger write, the source's return, the buffer's own stamp);
  // the start is the port's to tell.
  virtual FrameTiming last_timing() const { return {}; }
};

}  // namespace noctra
