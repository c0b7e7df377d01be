#include "camera/exposure_capture.h"

#include "imaging/field_selection.h"
#include "imaging/hi_res_merge.h"

namespace noctra {

namespace {

KeptField kept_field(const FrameImage& frame) {
  const std::optional<FieldParity> kept = field_to_keep(frame);
  if (!kept) return KeptField::Both;
  return *kept == FieldParity::Odd ? KeptField::Odd : KeptField::Even;
}

}  // namespace

Capture capture_exposure(FrameAcquirer& acquirer, CameraPort& port, Readout readout,
                         bool amp_switching, FrameHolder& frame, FrameHolder* first_holder) {
  FrameHolder own_first;
  FrameHolder& first = first_holder != nullptr ? *first_holder : own_first;
  Capture capture;
  port.amplifier_on();
  if (!acquirer.source_available()) return capture;

  capture.metadata.amp_switching = amp_switching;
  if (readout == Readout::HighRes) {
    acquirer.acquire_frame(first, TriggerCode::Guide);
    if (!first) {
      capture.outcome = CaptureOutcome::FirstFailed;
      return capture;
    }
    capture.first_trigger = acquirer.last_timing().end;
    capture.metadata.mode = CaptureMode::HighRes;
  }
  acquirer.acquire_frame(frame, readout == Readout::Guide ? TriggerCode::Guide : TriggerCode::Main);
  if (!frame) {
    capture.outcome = CaptureOutcome::NoFrame;
    return capture;
  }
  capture.outcome = CaptureOutcome::NewFrame;
  capture.timing = acquirer.last_timing();
  capture.timing.start = readout == Readout::Guide ? std::nullopt : port.exposure_started();
  if (readout == Readout::HighRes) {
    merge_hi_res(*frame, *first);
  } else {
    capture.metadata.field = kept_field(*frame);
    select_field(frame);
  }
  return capture;
}

}  // namespace noctra
