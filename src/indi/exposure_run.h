#pragma once
// One exposure for a client that asks for single frames, taken with the same
// bytes and in the same order as a one-frame recording: the exposure-start
// sequence, the amplifier off while the light builds up (when amp-off is on),
// the amplifier on before the acquisition, the trigger code written by the
// still trigger (High Res: 0x35 into the first frame, then 0x37), the field
// kept or the two frames merged, the amplifier off again and the port idle.
//
// The caller times the exposure; this class only writes the bytes and keeps
// the instants: the start is the write of the first start byte (0x27), the
// end the write of the main trigger code (0x37), both stamped as the bytes go
// out (every port write must reach on_port_write).

#include <cstdint>
#include <optional>

#include "camera/camera_port.h"
#include "camera/frame_acquirer.h"
#include "config/timing.h"
#include "imaging/frame_image.h"

namespace noctra::indi {

enum class Resolution { Low, High };

struct ExposureOptions {
  Resolution resolution = Resolution::Low;
  bool amp_off = false;
};

// Which interlaced field a Low Res frame kept.
enum class FieldKept { None, Even, Odd };

struct ExposureResult {
  FrameHolder frame;  // none when an acquisition gave nothing
  FrameTiming timing;
  // High Res: when the first frame's trigger (0x35) went out.
  std::optional<Instant> first_trigger;
  ExposureOptions options;
  FieldKept field = FieldKept::None;
};

class ExposureRun {
 public:
  ExposureRun(CameraPort& port, FrameAcquirer& acquirer, InstantClock& clock)
      : port_(port), acquirer_(acquirer), clock_(clock) {}

  // Every byte written to the camera port, right after it went out.
  void on_port_write(uint8_t byte);

  // Writes the exposure-start sequence (and switches the amplifier off when
  // asked to). Returns the instant of the first byte.
  Instant begin(const ExposureOptions& options);
  // Ends the running exposure: acquisitions, clean-up, port idle. Without a
  // running exposure it gives an empty result and writes nothing.
  ExposureResult finish();
  // Ends the running exposure without a frame: the port goes idle. The port
  // is idled also when no exposure runs, so Abort always leaves it at rest.
  void abort();

  bool exposing() const { return exposing_; }
  const std::optional<Instant>& started() const { return result_.timing.start; }

 private:
  enum class Awaiting { Nothing, StartByte, Trigger };
  void acquire_with(uint8_t code, FrameHolder& holder);

  CameraPort& port_;
  FrameAcquirer& acquirer_;
  InstantClock& clock_;
  bool exposing_ = false;
  Awaiting awaiting_ = Awaiting::Nothing;
  uint8_t awaited_code_ = 0;
  std::optional<Instant> stamped_;
  ExposureResult result_;
};

}  // namespace noctra::indi
