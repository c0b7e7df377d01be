#include "indi/exposure_run.h"

#include "imaging/field_selection.h"
#include "imaging/hi_res_merge.h"

namespace noctra::indi {

void ExposureRun::on_port_write(uint8_t byte) {
  switch (awaiting_) {
    case Awaiting::Nothing:
      return;
    case Awaiting::StartByte:
      if (byte != 0x27) return;
      break;
    case Awaiting::Trigger:
      // The trigger keeps bits 6 and 7 of the port: compare the code bits.
      if ((byte & 0x3F) != awaited_code_) return;
      break;
  }
  stamped_ = clock_.now();
  awaiting_ = Awaiting::Nothing;
}

Instant ExposureRun::begin(const ExposureOptions& options) {
  result_ = ExposureResult{};
  result_.options = options;
  stamped_.reset();
  awaiting_ = Awaiting::StartByte;
  port_.exposure_start_sequence();
  // A port that never reported its first byte is stamped here: the sequence
  // went out just now.
  result_.timing.start = stamped_.value_or(clock_.now());
  awaiting_ = Awaiting::Nothing;
  if (options.amp_off) port_.amplifier_off();
  exposing_ = true;
  return *result_.timing.start;
}

void ExposureRun::acquire_with(uint8_t code, FrameHolder& holder) {
  stamped_.reset();
  awaited_code_ = code;
  awaiting_ = Awaiting::Trigger;
  acquirer_.set_pending_trigger_code(code);
  acquirer_.acquire_frame(holder);
  awaiting_ = Awaiting::Nothing;
  // A trigger that was never pressed must not fire at the next acquisition.
  if (acquirer_.pending_trigger_code() == code) acquirer_.set_pending_trigger_code(-1);
}

ExposureResult ExposureRun::finish() {
  if (!exposing_) return {};
  exposing_ = false;
  port_.amplifier_on();
  FrameHolder& main = result_.frame;
  if (result_.options.resolution == Resolution::High) {
    FrameHolder first;
    acquire_with(kTriggerGuide, first);
    result_.first_trigger = stamped_;
    if (first) {
      acquire_with(kTriggerMain, main);
      result_.timing.end = stamped_;
      if (main) {
        result_.timing.delivered = clock_.now();
        merge_hi_res(*main, *first);
      }
    }
  } else {
    acquire_with(kTriggerMain, main);
    result_.timing.end = stamped_;
    if (main) result_.timing.delivered = clock_.now();
    if (main && main->height() > kFieldSelectionMaxUntouchedHeight && has_sample_patch(*main)) {
      const FieldSums sums = measure_fields(*main);
      result_.field = sums.odd > sums.even ? FieldKept::Odd : FieldKept::Even;
    }
    select_field(main);
  }
  if (result_.options.amp_off) port_.amplifier_off();
  port_.camera_idle();
  return std::move(result_);
}

void ExposureRun::abort() {
  exposing_ = false;
  awaiting_ = Awaiting::Nothing;
  port_.camera_idle();
}

}  // namespace noctra::indi
