#include "app/sequencer.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "camera/exposure_capture.h"

namespace noctra {

Sequencer::Sequencer(Settings& settings, Clock& clock, CameraPort& port, FrameAcquirer& acquirer,
                     FrameWriter& writer, SequencerHost* host, PathFlavour title_flavour)
    : settings_(settings), clock_(clock), port_(port), acquirer_(acquirer), writer_(writer),
      host_(host), title_flavour_(title_flavour) {}

void Sequencer::start_run(RunKind kind, int32_t frames) {
  // Record during a preview starts the recording at once: the preview's
  // exposure in progress is cut short (its light is never read out), the
  // lines go back to idle and the recording's first exposure starts at the
  // next tick, with its full length. Any other run that is not a recording
  // gives way to the new run as Stop would end it; Record during a recording
  // starts it afresh, as it always has.
  const bool from_preview = capture_state_ != CaptureState::Idle && run_kind_ == RunKind::Preview;
  if (from_preview && kind == RunKind::Recording) {
    port_.camera_idle();
    // The preview showed its countdown in the status only: the recording's
    // title shows its first second too.
    last_title_seconds_ = -1;
  } else if (capture_state_ != CaptureState::Idle && run_kind_ != RunKind::Recording) {
    stop_recording();
  }
  run_kind_ = kind;
  run_frames_ = kind == RunKind::Calibration ? frames : 0;
  frames_taken_ = 0;
  ++recording_generation_;
  frames_written_ = 0;
  exposures_begun_ = 0;
  exposure_base_ = clock_.now_ms();
  capture_state_ = CaptureState::Waiting;
  if (settings_.guiding != 0) {
    guide_base_ = clock_.now_ms();
    guide_state_ = GuideState::Pending;
  }
  if (host_ != nullptr) {
    host_->set_ui_state(kind == RunKind::Preview ? UiState::Preview : UiState::Recording, paused_);
  }
  report_status();
}

void Sequencer::stop_recording() {
  ++recording_generation_;
  port_.camera_idle();
  exposure_base_ = clock_.now_ms();
  capture_state_ = CaptureState::Idle;
  guide_base_ = clock_.now_ms();
  guide_state_ = GuideState::Off;
  if (host_ != nullptr) host_->set_ui_state(UiState::Idle, paused_);
  writer_.close_recording();
  show_countdown(0);
  report_status();
  if (host_ != nullptr) host_->layout_if_idle();
}

void Sequencer::toggle_pause() {
  paused_ = !paused_;
  if (host_ != nullptr) host_->set_ui_state(UiState::RefreshPauseMarks, paused_);
  report_status();
}

void Sequencer::sequencer_tick() {
  acquirer_.still_trigger();
  if (timer_busy_) return;
  timer_busy_ = true;
  const int32_t now = clock_.now_ms();
  if (main_cycle(now)) {
    guide_cycle(now);
    if (settings_.amp_off != 0 && capture_state_ != CaptureState::Idle) port_.amplifier_off();
  }
  timer_busy_ = false;
}

bool Sequencer::main_cycle(int32_t now) {
  if (capture_state_ == CaptureState::Idle) return true;
  const int32_t remaining = wrap_sub(settings_.exposure, wrap_sub(now, exposure_base_));
  if (remaining <= settings_.exposure) {
    show_countdown(remaining);
    if (capture_state_ == CaptureState::Waiting) {
      port_.exposure_start_sequence();
      capture_state_ = CaptureState::Exposing;
      ++exposures_begun_;
    }
  }
  if (remaining > 0) return true;
  const bool new_frame = capture_main_frame();
  const uint32_t recording = recording_generation_;
  const bool write = run_kind_ == RunKind::Recording && !paused_;
  if (write) {
    writer_.write_frame(main_frame_ ? &*main_frame_ : nullptr, main_timing_, main_how_);
    // A Stop (or Stop and Record) given while the writer's error box was up
    // has ended this recording: carrying on would count and schedule for it
    // behind the user's back.
    if (recording_generation_ != recording) return false;
    frames_written_ = wrap_add(frames_written_, 1);
    set_frame_title();
  }
  if (new_frame && main_frame_) {
    frames_taken_ = wrap_add(frames_taken_, 1);
    const TakenFrame taken{*main_frame_, main_timing_, main_how_, run_kind_, write};
    for (const FrameListener& listener : listeners_) listener(taken);
    if (recording_generation_ != recording) return false;
  }
  exposure_base_ = wrap_add(clock_.now_ms(), settings_.delay);
  capture_state_ = CaptureState::Waiting;
  if (guide_state_ != GuideState::Off) {
    guide_base_ = clock_.now_ms();
    port_.guide_start_sequence();
    guide_state_ = GuideState::Running;
  }
  const bool done = run_kind_ == RunKind::Recording
                        ? settings_.count != 0 && frames_written_ >= settings_.count
                        : run_frames_ > 0 && frames_taken_ >= run_frames_;
  if (done && host_ != nullptr) host_->post_command(Command::Stop);
  return true;
}

bool Sequencer::guide_waits_for_end(int32_t guide_at) const {
  if (capture_state_ != CaptureState::Exposing) return false;
  const int32_t before_end =
      wrap_sub(wrap_add(exposure_base_, settings_.exposure), std::max(guide_at, clock_.now_ms()));
  return before_end >= 0 && before_end < kGuideYieldMs;
}

void Sequencer::guide_cycle(int32_t now) {
  if (guide_state_ == GuideState::Off) return;
  const int32_t guide_remaining = wrap_sub(settings_.guide_interval, wrap_sub(now, guide_base_));
  if (guide_remaining > 0 || guide_waits_for_end(now)) return;
  capture_guide_frame();
  guide_base_ = clock_.now_ms();
  if (guide_state_ != GuideState::Off) {
    port_.guide_start_sequence();
    guide_state_ = GuideState::Running;
  }
}

bool Sequencer::capture_main_frame() {
  const bool guiding = guide_state_ != GuideState::Off;
  const Capture capture =
      capture_exposure(acquirer_, port_, main_readout(settings_.hi_res != 0, guiding),
                       settings_.amp_off != 0, main_frame_, &first_hi_res_frame_);
  // Otherwise the holder keeps its frame, and that frame its timing.
  if (capture.outcome == CaptureOutcome::NewFrame) {
    main_timing_ = capture.timing;
    main_how_ = capture.metadata;
  }
  // Low Res shows what came, even nothing; guiding and High Res only a frame.
  const bool low_res = !guiding && settings_.hi_res == 0;
  const bool new_frame = capture.outcome == CaptureOutcome::NewFrame;
  if (capture.outcome == CaptureOutcome::FirstFailed || (!low_res && !main_frame_)) {
    return new_frame;
  }
  if (host_ != nullptr) {
    host_->beep();
    host_->repaint_main(main_frame_);
  }
  return new_frame;
}

void Sequencer::capture_guide_frame() {
  const Capture capture =
      capture_exposure(acquirer_, port_, Readout::Guide, settings_.amp_off != 0, guide_frame_);
  if (capture.outcome == CaptureOutcome::NewFrame) guide_how_ = capture.metadata;
  if (settings_.amp_off != 0 && capture_state_ != CaptureState::Idle) port_.amplifier_off();
  if (host_ != nullptr) host_->repaint_guide(guide_frame_);
}

namespace {

std::string format_progress(std::string_view path, int32_t frames, int32_t count) {
  // Appended piece by piece: GCC 12 at -O3 warns falsely about "x" + std::string.
  std::string text = "Noctra (";
  text.append(path).append(" - ").append(std::to_string(frames));
  if (count > 0) text.append("/").append(std::to_string(count));
  text.append(")");
  return text;
}

}  // namespace

void Sequencer::set_frame_title() {
  if (host_ == nullptr) return;
  host_->set_title(format_progress(settings_.image_file_path, frames_written_, settings_.count));
  report_status();
}

void Sequencer::report_status() {
  if (host_ == nullptr) return;
  // Once the base is reached the exposure counts down (its start byte may
  // still be on its way in this tick).
  const int32_t remaining = wrap_sub(settings_.exposure, wrap_sub(clock_.now_ms(), exposure_base_));
  const int32_t exposure_left_ms =
      capture_state_ != CaptureState::Idle && remaining <= settings_.exposure ? remaining : 0;
  RunStatus status;
  if (capture_state_ == CaptureState::Idle) {
    status.state = RunStatus::State::Idle;
  } else if (run_kind_ == RunKind::Preview) {
    status.state = RunStatus::State::Preview;
  } else if (run_kind_ == RunKind::Calibration) {
    status.state = RunStatus::State::Calibration;
  } else {
    status.state = paused_ ? RunStatus::State::Paused : RunStatus::State::Recording;
  }
  const bool preview = run_kind_ == RunKind::Preview;
  const bool calibration = run_kind_ == RunKind::Calibration;
  status.frames = preview || calibration ? frames_taken_ : frames_written_;
  status.count = preview ? 0 : calibration ? run_frames_ : settings_.count;
  status.exposure_left_ms = std::max<int32_t>(0, exposure_left_ms);
  status.exposure_ms = settings_.exposure;
  status.delay_ms = settings_.delay;
  status.file = settings_.image_file_path;
  host_->set_status(status);
}

std::optional<Sequencer::Due> Sequencer::next_due() {
  if (timer_busy_) return std::nullopt;
  const int32_t now = clock_.now_ms();
  std::optional<Due> soonest;
  const auto consider = [&](DueKind kind, int32_t at) {
    const int32_t wait = std::max<int32_t>(0, wrap_sub(at, now));
    if (!soonest || wait < soonest->wait_ms)
      soonest = Due{wait, {kind, at, recording_generation_, exposures_begun_}};
  };
  if (capture_state_ == CaptureState::Waiting) consider(DueKind::Start, exposure_base_);
  if (capture_state_ == CaptureState::Exposing) {
    consider(DueKind::End, wrap_add(exposure_base_, settings_.exposure));
  }
  // A guide interval of 0 or less would make every moment due: the 50 ms
  // tick paces it, as it always has.
  if (guide_state_ != GuideState::Off && settings_.guide_interval > 0) {
    const int32_t guide_at = wrap_add(guide_base_, settings_.guide_interval);
    if (!guide_waits_for_end(guide_at)) consider(DueKind::Guide, guide_at);
  }
  return soonest;
}

void Sequencer::show_countdown(int32_t remaining_ms) {
  const int32_t seconds = remaining_ms / 1000;
  if (seconds == last_title_seconds_ && frames_written_ == last_title_frames_) return;
  last_title_seconds_ = seconds;
  last_title_frames_ = frames_written_;
  report_status();
  // A preview writes no file: the title keeps what it said before.
  if (run_kind_ == RunKind::Preview) return;
  std::string title = format_progress(file_name_part(settings_.image_file_path, title_flavour_),
                                      frames_written_, settings_.count);
  if (seconds > 0) title.append(" ").append(std::to_string(seconds));
  if (host_ != nullptr) host_->set_title(title);
}

bool CommandRouter::route(Command id) {
  if (acquirer_.busy()) return true;
  switch (id) {
    case Command::Record:
      sequencer_.start_recording();
      return true;
    case Command::Stop:
      sequencer_.stop_recording();
      return true;
    case Command::Preview:
      // Preview again ends the preview; during a recording it does nothing.
      if (sequencer_.capture_state() == CaptureState::Idle) {
        sequencer_.start_run(RunKind::Preview);
      } else if (sequencer_.run_kind() == RunKind::Preview) {
        sequencer_.stop_recording();
      }
      return true;
    case Command::Pause:
      sequencer_.toggle_pause();
      return true;
    case Command::SaveImagesIn:
      // A preview writes nothing: the file may still be chosen.
      if (sequencer_.capture_state() != CaptureState::Idle &&
          sequencer_.run_kind() != RunKind::Preview) {
        return true;
      }
      break;
    default:
      break;
  }
  return window_commands_ ? window_commands_(id) : false;
}

}  // namespace noctra
