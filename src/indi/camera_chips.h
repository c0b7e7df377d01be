#pragma once
// The camera's two chips as INDI sees them, on one port: the main exposure
// (the long field) and guide exposures (the other field), each with its own
// start, end and frame.
//
// A guide exposure writes the guide-start sequence (0x34, 0x14, 0x34; the
// amplifier off after it with amp-off) and is read out with trigger 0x35 and
// field selection. While a main exposure runs, the guide exposures go as the
// desktop guide cycle goes:
//   - the exposure-start sequence restarts the guide field as well, so a
//     guide exposure running when the main one starts is counted from there;
//   - after a guide read-out the guide-start sequence follows at once (and
//     the amplifier off with amp-off), which leaves the lines as the main
//     exposure had them: its end writes the same bytes as without guiding;
//   - a guide read-out due less than the guard time before the main read-out
//     waits until after it, so it never delays the main exposure's end;
//   - at the main read-out a guide exposure due within the guard time after
//     it is read out next; one due later starts again (the guide-start
//     sequence after the main frame, as the guide cycle writes it);
//   - a guided main exposure is read out in Low Res.
// The port goes to rest only when neither chip exposes; aborting one chip
// leaves the other exposing.
//
// High Res ends with two grabs, 0x35 and then 0x37, and the exposure is
// timed to the 0x37. Its read-out therefore begins early by about what one
// grab takes, and the caller holds the 0x37 back until the main exposure's
// end (main_deadline_us): the grab before it then no longer makes the
// exposure long.
//
// Times are CLOCK_MONOTONIC microseconds, taken from the port's stamps where
// the port has them and from `clock` otherwise.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "camera/camera_port.h"
#include "camera/frame_acquirer.h"
#include "config/timing.h"
#include "indi/exposure_run.h"

namespace noctra::indi {

enum class Chip { Main, Guide };

// A guide read-out waits for the main read-out when it is due less than this
// before it; a slower source lengthens it to what a grab takes (grab_us).
inline constexpr int64_t kGuideGuardUs = 50'000;
// What a grab is taken to last until the source has delivered a frame.
inline constexpr int64_t kFirstGrabGuessUs = 30'000;

class CameraChips {
 public:
  CameraChips(CameraPort& port, FrameAcquirer& acquirer, InstantClock& clock)
      : port_(port), acquirer_(acquirer), clock_(clock), main_(port, acquirer) {}

  // Starts the main exposure; the start instant.
  Instant begin_main(const ExposureOptions& options, int64_t duration_us);
  // Starts a guide exposure (again, when one runs); the start instant.
  // amp_off applies while no main exposure runs; during one, the main
  // exposure's setting does.
  Instant begin_guide(bool amp_off, int64_t duration_us);

  struct Due {
    Chip chip;
    int64_t mono_us;  // when its read-out begins
  };
  // The read-out to run next, and when; nothing while neither chip exposes.
  std::optional<Due> next_readout() const;

  ExposureResult read_out_main();
  ExposureResult read_out_guide();
  void abort(Chip chip);
  // Both chips, and the port to rest.
  void abort_all();

  bool exposing(Chip chip) const;
  const ExposureOptions& main_options() const { return main_.options(); }
  // When each exposure ends (its trigger is due), while it runs.
  std::optional<int64_t> main_deadline_us() const;
  std::optional<int64_t> guide_deadline_us() const;
  // Whether the running main exposure will be read out in Low Res because
  // the guide field has been used during it.
  bool main_guided() const { return main_.exposing() && (guided_ || guide_.exposing); }
  // The longest of the last grabs (from the trigger to the frame), the base
  // of the High Res lead and of the guard time.
  int64_t grab_us() const;
  int64_t guard_us() const;
  // A grab measured by the caller: High Res's first, from its 0x35 until
  // the 0x37 was ready to go.
  void note_grab_us(int64_t us);

 private:
  int64_t high_res_lead_us() const;
  Instant stamp_or_now(const std::optional<Instant>& stamp);
  void note_grab(const FrameTiming& timing);
  void start_guide_field();

  struct GuideExposure {
    bool exposing = false;
    bool amp_off = false;  // the setting in force: the main exposure's while it runs
    int64_t duration_us = 0;
    Instant start;
    int64_t deadline_us = 0;
  };

  CameraPort& port_;
  FrameAcquirer& acquirer_;
  InstantClock& clock_;
  ExposureRun main_;
  int64_t main_deadline_us_ = 0;
  bool guided_ = false;  // a guide-start sequence went out during the main exposure
  GuideExposure guide_;
  // The last grabs' durations, oldest overwritten first.
  std::array<int64_t, 8> grabs_us_{kFirstGrabGuessUs};
  std::size_t next_grab_ = 0;
};

}  // namespace noctra::indi
