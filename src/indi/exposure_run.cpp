#include "indi/exposure_run.h"

#include "camera/exposure_capture.h"

namespace noctra::indi {

std::optional<Instant> ExposureRun::begin(const ExposureOptions& options) {
  result_ = ExposureResult{};
  options_ = options;
  result_.metadata.mode = options.mode;
  result_.metadata.amp_switching = options.amp_off;
  port_.exposure_start_sequence();
  result_.timing.start = port_.exposure_started();
  if (options.amp_off) port_.amplifier_off();
  exposing_ = true;
  return result_.timing.start;
}

ExposureResult ExposureRun::finish(bool guided, PortAfter after) {
  if (!exposing_) return {};
  exposing_ = false;
  const Readout readout = main_readout(options_.mode == CaptureMode::HighRes, guided);
  const Capture capture =
      capture_exposure(acquirer_, port_, readout, options_.amp_off, result_.frame);
  // Without a new frame only the start is known: no instants of an earlier frame.
  if (capture.outcome == CaptureOutcome::NewFrame) {
    result_.timing = capture.timing;
    result_.metadata = capture.metadata;
  }
  result_.first_trigger = capture.first_trigger;
  if (options_.amp_off) port_.amplifier_off();
  if (after == PortAfter::Idle) port_.camera_idle();
  return std::move(result_);
}

void ExposureRun::abort(PortAfter after) {
  exposing_ = false;
  if (after == PortAfter::Idle) port_.camera_idle();
}

}  // namespace noctra::indi
