#include "indi/camera_chips.h"

#include <algorithm>

#include "camera/exposure_capture.h"

namespace noctra::indi {

Instant CameraChips::stamp_or_now(const std::optional<Instant>& stamp) {
  return stamp ? *stamp : clock_.now();
}

Instant CameraChips::begin_main(const ExposureOptions& options, int64_t duration_us) {
  const Instant start = stamp_or_now(main_.begin(options));
  main_deadline_us_ = start.mono_us + duration_us;
  // The start sequence has restarted the guide field too.
  guided_ = guide_.exposing;
  if (guide_.exposing) {
    guide_.amp_off = options.amp_off;
    guide_.start = start;
    guide_.deadline_us = start.mono_us + guide_.duration_us;
  }
  return start;
}

void CameraChips::start_guide_field() {
  port_.guide_start_sequence();
  if (guide_.amp_off) port_.amplifier_off();
  guide_.start = stamp_or_now(port_.guide_started());
  guide_.deadline_us = guide_.start.mono_us + guide_.duration_us;
}

Instant CameraChips::begin_guide(bool amp_off, int64_t duration_us) {
  guide_.exposing = true;
  guide_.amp_off = main_.exposing() ? main_.options().amp_off : amp_off;
  guide_.duration_us = duration_us;
  start_guide_field();
  guided_ = guided_ || main_.exposing();
  return guide_.start;
}

int64_t CameraChips::grab_us() const {
  return *std::max_element(grabs_us_.begin(), grabs_us_.end());
}

int64_t CameraChips::high_res_lead_us() const {
  // Half as much again as the longest recent grab, and a millisecond: the
  // 0x37 is held back to its instant, so starting early only costs the
  // first field that much light.
  const int64_t grab = grab_us();
  return grab + grab / 2 + 1000;
}

int64_t CameraChips::guard_us() const { return std::max(kGuideGuardUs, high_res_lead_us()); }

std::optional<CameraChips::Due> CameraChips::next_readout() const {
  std::optional<Due> main;
  if (main_.exposing()) {
    const bool high_res = main_.options().mode == CaptureMode::HighRes && !main_guided();
    main = Due{Chip::Main, main_deadline_us_ - (high_res ? high_res_lead_us() : 0)};
  }
  if (!guide_.exposing) return main;
  const Due guide{Chip::Guide, guide_.deadline_us};
  if (!main || guide.mono_us < main->mono_us - guard_us()) return guide;
  return main;
}

void CameraChips::note_grab(const FrameTiming& timing) {
  if (timing.end && timing.delivered) note_grab_us(timing.delivered->mono_us - timing.end->mono_us);
}

void CameraChips::note_grab_us(int64_t us) {
  grabs_us_[next_grab_] = std::max<int64_t>(0, us);
  next_grab_ = (next_grab_ + 1) % grabs_us_.size();
}

ExposureResult CameraChips::read_out_main() {
  const bool guide_running = guide_.exposing;
  const bool guide_next = guide_running && guide_.deadline_us <= main_deadline_us_ + guard_us();
  ExposureResult result =
      main_.finish(main_guided(), guide_running ? PortAfter::Exposing : PortAfter::Idle);
  note_grab(result.timing);
  guided_ = false;
  // A guide exposure that is not due soon starts again, as after every main
  // frame of the guide cycle.
  if (guide_running && !guide_next) start_guide_field();
  return result;
}

ExposureResult CameraChips::read_out_guide() {
  ExposureResult result;
  if (!guide_.exposing) return result;
  guide_.exposing = false;
  const bool amp_off = guide_.amp_off;
  const Capture capture = capture_exposure(acquirer_, port_, Readout::Guide, amp_off, result.frame);
  if (capture.outcome == CaptureOutcome::NewFrame) {
    result.timing = capture.timing;
    result.metadata = capture.metadata;
    note_grab(result.timing);
  }
  result.timing.start = guide_.start;
  result.metadata.amp_switching = amp_off;
  if (amp_off) port_.amplifier_off();
  if (main_.exposing()) {
    // Back to the lines the main exposure had, as the guide cycle leaves them.
    port_.guide_start_sequence();
    if (amp_off) port_.amplifier_off();
    guided_ = true;
  } else {
    port_.camera_idle();
  }
  return result;
}

void CameraChips::abort(Chip chip) {
  if (chip == Chip::Main) {
    main_.abort(guide_.exposing ? PortAfter::Exposing : PortAfter::Idle);
    guided_ = false;
    return;
  }
  guide_.exposing = false;
  if (!main_.exposing()) port_.camera_idle();
}

void CameraChips::abort_all() {
  guide_.exposing = false;
  guided_ = false;
  main_.abort(PortAfter::Idle);
}

bool CameraChips::exposing(Chip chip) const {
  return chip == Chip::Main ? main_.exposing() : guide_.exposing;
}

std::optional<int64_t> CameraChips::main_deadline_us() const {
  if (!main_.exposing()) return std::nullopt;
  return main_deadline_us_;
}

std::optional<int64_t> CameraChips::guide_deadline_us() const {
  if (!guide_.exposing) return std::nullopt;
  return guide_.deadline_us;
}

}  // namespace noctra::indi
