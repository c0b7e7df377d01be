#pragma once
// One exposure's acquisition, as the recording and the INDI driver both run
// it once the light has built up: the amplifier on, then the grabs the
// readout asks for, each ended by its trigger code, and the frame cleaned up.
//
//   Low Res   trigger 0x37, the brighter field kept and doubled
//   High Res  trigger 0x35 into the first frame, then 0x37 into the frame,
//             the two merged into the frame
//   Guide     trigger 0x35, the brighter field kept and doubled
//
// While guiding, main frames are read out in Low Res whatever the hi-res
// setting says (main_readout).

#include <optional>

#include "camera/camera_port.h"
#include "camera/frame_acquirer.h"
#include "config/frame_metadata.h"
#include "config/timing.h"
#include "imaging/frame_image.h"

namespace noctra {

enum class Readout { LowRes, HighRes, Guide };

// How main frames are read out: in High Res only when it is chosen and no
// guide cycle runs.
constexpr Readout main_readout(bool hi_res, bool guiding) {
  return hi_res && !guiding ? Readout::HighRes : Readout::LowRes;
}

enum class CaptureOutcome {
  NewFrame,     // the frame holder holds a new, cleaned-up frame
  NoFrame,      // an acquisition gave nothing: the frame holder holds none
  FirstFailed,  // High Res: the first grab gave nothing; the frame holder keeps its frame
  NoSource,     // no source available: nothing was grabbed, both holders keep what they had
};

struct Capture {
  CaptureOutcome outcome = CaptureOutcome::NoSource;
  // A new frame's instants: the start from the port (the last exposure-start
  // sequence; left empty for a guide frame, whose exposure began at a guide
  // start), the end, delivery and buffer stamp from its acquisition.
  FrameTiming timing;
  // How a new frame was taken.
  FrameMetadata metadata;
  // High Res, once the first frame came: when its trigger (0x35) went out.
  std::optional<Instant> first_trigger;
};

// Runs the acquisition of one exposure into `frame`; `first` is the holder of
// the first High Res grab (a holder of its own when none is given; the other
// readouts leave it alone). amp_switching
// says whether the amplifier was switched off while the light built up, for
// the frame's metadata. A code whose press never came stays pending.
Capture capture_exposure(FrameAcquirer& acquirer, CameraPort& port, Readout readout,
                         bool amp_switching, FrameHolder& frame, FrameHolder* first = nullptr);

}  // namespace noctra
