#pragma once
// A simulated sky camera behind the simulated control port, so Noctra can be
// used and tested without a telescope. It listens to the port's writes like
// the modified camera listens to its control lines:
//   - the exposure-start sequence (0x27 then 0x37, ...) starts the main
//     exposure and a guide exposure;
//   - a guide-start sequence (0x34, 0x14, 0x34 not right after 0x27, 0x37)
//     starts a guide exposure;
//   - the trigger code 0x37 reads the main exposure out, 0x35 the guide
//     exposure (0x35 does not end the main exposure);
//   - bit 2 is the amplifier line: while it is on during an exposure, glow
//     builds up in the top-right corner of the picture.
// The read-out light goes into the even stored rows (the long field) of the
// next frame delivered; the odd rows hold one video field's worth of light.
// Stars drift slowly over the sky, which wraps around at the frame's edges.
// Like the real sensor, it makes signal of its own: dark current that grows
// with the exposure (a little different in every pixel, with a few dozen hot
// pixels) and the glow, which grows with the amplifier's on-time. The cover
// blocks the sky and the stars but none of that, so dark frames can be
// taken; the flat light puts an even light through the optics instead of the
// sky (vignetting towards the corners, a few dust shadows) for flat frames.
// Stars drift slowly over the sky, which wraps around at the frame's edges,
// and may turn about the guide star as an alt-azimuth mount's field does. A
// small faint galaxy lies near the frame's centre, below one frame's noise,
// for a stack to bring out.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/frame_source.h"
#include "camera/still_window.h"
#include "config/platform.h"

namespace noctra {

struct SimSkyOptions {
  int32_t width = 640;
  int32_t height = 480;
  uint64_t seed = 1;
  int32_t star_count = 300;
  // How long a request waits for the capture button before it gives up.
  int32_t press_timeout_ms = 10000;
  // The telescope capped ([Simulation] Covered=1).
  bool covered = false;
  // The even light instead of the sky ([Simulation] FlatLight=1); the cover
  // wins over it.
  bool flat_light = false;
  // false: a perfect sensor without dark current, glow or hot pixels, to
  // compare a calibrated picture with.
  bool dark_signal = true;
  // Field rotation about the guide star, degrees per minute ([Simulation]
  // Rotation=), counter-clockwise as the picture is shown.
  double rotation_deg_per_min = 0;
};

// Where one exposure's light came from, as read out by a trigger code.
struct SimExposure {
  int32_t start_ms = 0;  // camera time (ms since the camera was made)
  int32_t end_ms = 0;
  int32_t amplifier_ms = 0;  // how long the amplifier line was on meanwhile
};

class SimSkyCamera : public FrameSource {
 public:
  SimSkyCamera(Clock& clock, EventPump& pump, StillWindowRegistry& windows, LogSink log,
               SimSkyOptions options = {});

  // Connect to every write on the camera port.
  void on_port_write(uint8_t byte);

  bool available() override { return true; }
  std::optional<std::vector<uint8_t>> acquire() override;
  std::string name() const override { return "sim"; }
  std::optional<FrameSize> frame_size() const override {
    return FrameSize{options_.width, options_.height};
  }

  // The picture for a read-out exposure, as a packed DIB with four trailing
  // bytes. acquire() delivers this for the last read-out.
  std::vector<uint8_t> render(const SimExposure& exposure);

  // The bright guide star's centre at a camera time, in pixels: x from the
  // left, y as a stored row (0 = bottom line).
  struct Position {
    double x;
    double y;
  };
  Position guide_star_position(int32_t camera_ms) const;
  // Where a point of the sky as it was at camera time 0 is at a camera time
  // (drift and rotation; not wrapped into the frame).
  Position sky_position(Position at_start, double seconds) const;
  // The galaxy's centre on the sky at camera time 0.
  Position galaxy_centre() const;

  // The cover and the flat light, switched at any time (the Options menu);
  // they change the light of exposures read out from then on.
  void set_covered(bool covered) { options_.covered = covered; }
  bool covered() const { return options_.covered; }
  void set_flat_light(bool on) { options_.flat_light = on; }
  bool flat_light() const { return options_.flat_light; }

  // The hot pixels' places: x from the left, y as a stored row.
  struct Pixel {
    int32_t x;
    int32_t y;
  };
  std::vector<Pixel> hot_pixel_positions() const;

  bool main_exposing() const { return main_.active; }
  bool guide_exposing() const { return guide_.active; }
  const std::optional<SimExposure>& last_readout() const { return readout_; }

 private:
  struct Star {
    double x;
    double y;
    float flux;  // ADU per second, whole star
  };
  struct HotPixel {
    int32_t x;
    int32_t y;
    float rate;
  };
  struct RunningExposure {
    bool active = false;
    int32_t start_ms = 0;
    int32_t amplifier_ms = 0;
  };

  int32_t camera_now() { return wrap_sub(clock_.now_ms(), epoch_ms_); }
  void accumulate_amplifier(int32_t now);
  void start(RunningExposure& exposure, int32_t now);
  void read_out(RunningExposure& exposure, int32_t now);
  Position drift(double seconds) const;
  void render_rates(double seconds);  // fills rate_ (ADU/s) at that time

  Clock& clock_;
  EventPump& pump_;
  StillWindowRegistry& windows_;
  LogSink log_;
  SimSkyOptions options_;
  int32_t epoch_ms_;

  std::vector<Star> stars_;  // stars_[0] is the guide star
  std::vector<HotPixel> hot_pixels_;
  std::vector<float> dark_;         // ADU per second of exposure, per pixel, hot pixels included
  std::vector<float> flat_;         // the flat light's share at each pixel (1 at the centre)
  std::vector<float> glow_;         // ADU per second of amplifier, per pixel
  std::vector<float> kernels_;      // sub-pixel-shifted 1-D PSF taps
  std::vector<float> gauss_table_;  // standard normal samples
  std::vector<float> rate_;         // scratch: light per second, per pixel
  uint64_t frames_rendered_ = 0;

  // Port decoding.
  uint8_t history_[4] = {0, 0, 0, 0};  // previous writes, newest first, low 6 bits
  bool amplifier_on_ = false;
  int32_t last_write_ms_ = 0;
  RunningExposure main_;
  RunningExposure guide_;
  std::optional<SimExposure> readout_;
};

}  // namespace noctra
