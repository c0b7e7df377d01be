#pragma once
// One exposure for a client that asks for single frames, taken with the same
// bytes and in the same order as a one-frame recording: the exposure-start
// sequence, the amplifier off while the light builds up (when amp-off is on),
// then the capture call (amplifier on, the trigger codes the still trigger
// writes, the field kept or the two High Res frames merged), the amplifier
// off again and the port idle.
//
// The caller times the exposure; this class only writes the bytes and
// collects the instants the camera layer stamped on the way: the start from
// the port (right after the first start byte, 0x27), the end, the delivery
// and the capture device's own buffer stamp from the acquisition of the main
// frame (trigger 0x37). The port stamps only when it was made with an
// InstantClock; without one the instants stay empty.
//
// While the guide field exposes too, the port must not go to rest at the
// main exposure's end or abort (PortAfter::Exposing), and a guided exposure
// is read out in Low Res: the first grab of High Res would read the guide
// field.

#include <cstdint>
#include <optional>

#include "camera/camera_port.h"
#include "camera/frame_acquirer.h"
#include "config/frame_metadata.h"
#include "config/timing.h"
#include "imaging/frame_image.h"

namespace noctra::indi {

// What the port does once the main exposure has been read out or aborted.
enum class PortAfter {
  Idle,      // the idle pattern: the camera at rest
  Exposing,  // nothing more: the guide field goes on exposing
};

struct ExposureOptions {
  CaptureMode mode = CaptureMode::LowRes;
  bool amp_off = false;
};

struct ExposureResult {
  FrameHolder frame;  // none when an acquisition gave nothing
  FrameTiming timing;
  // High Res: when the first frame's trigger (0x35) went out.
  std::optional<Instant> first_trigger;
  // The mode, the field kept and the amplifier switching, as the FITS keys
  // of a recorded frame tell them.
  FrameMetadata metadata;
};

class ExposureRun {
 public:
  ExposureRun(CameraPort& port, FrameAcquirer& acquirer) : port_(port), acquirer_(acquirer) {}

  // Writes the exposure-start sequence (and switches the amplifier off when
  // asked to). Returns the port's stamp of the first byte.
  std::optional<Instant> begin(const ExposureOptions& options);
  // Ends the running exposure: the capture call (in Low Res when guided),
  // then the port as `after` says. Without a running exposure it gives an
  // empty result and writes nothing.
  ExposureResult finish(bool guided = false, PortAfter after = PortAfter::Idle);
  // Ends the running exposure without a frame, the port as `after` says. The
  // port is idled also when no exposure runs, so Abort always leaves it at
  // rest.
  void abort(PortAfter after = PortAfter::Idle);

  bool exposing() const { return exposing_; }
  const ExposureOptions& options() const { return options_; }
  const std::optional<Instant>& started() const { return result_.timing.start; }

 private:
  CameraPort& port_;
  FrameAcquirer& acquirer_;
  bool exposing_ = false;
  ExposureOptions options_;
  ExposureResult result_;
};

}  // namespace noctra::indi
