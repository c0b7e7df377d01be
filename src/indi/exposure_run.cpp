#include "indi/exposure_run.h"

#include "imaging/field_selection.h"
#include "imaging/hi_res_merge.h"

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

void ExposureRun::acquire_with(uint8_t code, FrameHolder& holder) {
  acquirer_.set_pending_trigger_code(code);
  acquirer_.acquire_frame(holder);
  // A trigger that was never pressed must not fire at the next acquisition.
  if (acquirer_.pending_trigger_code() == code) acquirer_.set_pending_trigger_code(-1);
}

void ExposureRun::take_main_timing() {
  // Only called after a delivery: an acquisition that gave nothing leaves
  // the instants of an earlier frame behind.
  const FrameTiming delivered = acquirer_.last_timing();
  result_.timing.end = delivered.end;
  result_.timing.delivered = delivered.delivered;
  result_.timing.source_mono_us = delivered.source_mono_us;
}

ExposureResult ExposureRun::finish() {
  if (!exposing_) return {};
  exposing_ = false;
  port_.amplifier_on();
  FrameHolder& main = result_.frame;
  if (options_.mode == CaptureMode::HighRes) {
    FrameHolder first;
    acquire_with(kTriggerGuide, first);
    if (first) {
      result_.first_trigger = acquirer_.last_timing().end;
      acquire_with(kTriggerMain, main);
      if (main) {
        take_main_timing();
        merge_hi_res(*main, *first);
      }
    }
  } else {
    acquire_with(kTriggerMain, main);
    if (main) {
      take_main_timing();
      if (const std::optional<FieldParity> kept = field_to_keep(*main)) {
        result_.metadata.field = *kept == FieldParity::Odd ? KeptField::Odd : KeptField::Even;
      }
    }
    select_field(main);
  }
  if (options_.amp_off) port_.amplifier_off();
  port_.camera_idle();
  return std::move(result_);
}

void ExposureRun::abort() {
  exposing_ = false;
  port_.camera_idle();
}

}  // namespace noctra::indi
