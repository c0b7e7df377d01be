#include "app/live_stack.h"

#include <chrono>
#include <utility>

#include "output/recording.h"
#include "output/recording_naming.h"

namespace noctra {

LiveStack::LiveStack(Settings& settings, const Sequencer& sequencer, const Recording& recording,
                     StackSession::Options options,
                     std::function<StackCalibrationParts()> calibration)
    : settings_(settings), sequencer_(sequencer), recording_(recording),
      session_(std::move(options)), calibration_(std::move(calibration)) {}

void LiveStack::take_calibration() {
  if (!calibration_) return;
  StackCalibrationParts parts = calibration_();
  session_.set_calibration(std::move(parts.calibrate), std::move(parts.dark), std::move(parts.flat),
                           parts.dark_scale);
}

void LiveStack::take_frame(const TakenFrame& taken) {
  // The first new frame of a run: the run before it has ended.
  if (sequencer_.frames_taken() == 1) {
    save_recording_stack();
    ++run_;
  }
  if (!on() || taken.run == RunKind::Calibration) return;
  const bool recording = taken.run == RunKind::Recording;
  // A paused recording writes nothing, and a recording that could not open
  // its file has nowhere to put its stack.
  if (recording ? !taken.written || !recording_.is_open() : sequencer_.paused()) return;
  if (stack_run_ != run_) {
    stack_run_ = run_;
    stack_kind_ = taken.run;
    take_calibration();
    session_.start(recording ? recording_.open_path() : next_recording_path());
  }
  unsaved_recording_ = recording;
  // A recording's frames by their place in the file, a preview's as taken.
  const int32_t number = recording ? sequencer_.frames_written() : sequencer_.frames_taken();
  session_.feed(taken.frame, taken.timing, number - 1);
}

void LiveStack::set_on(bool on) { settings_.stack_on = on ? 1 : 0; }

void LiveStack::settle() {
  if (sequencer_.capture_state() == CaptureState::Idle ||
      sequencer_.run_kind() != RunKind::Recording) {
    save_recording_stack();
  }
}

void LiveStack::save_recording_stack() {
  if (!unsaved_recording_) return;
  unsaved_recording_ = false;
  session_.stop();
  take_calibration();
  saves_.push_back(session_.save());
}

void LiveStack::reset() { session_.reset(); }

void LiveStack::save() {
  take_calibration();
  if (stack_run_ != 0 && stack_kind_ == RunKind::Preview) {
    saves_.push_back(session_.save(stack_paths_for_recording(next_recording_path()).fits));
  } else {
    saves_.push_back(session_.save());
  }
}

std::string LiveStack::next_recording_path() const {
  std::string path = settings_.image_file_path;
  number_recording_path(path, settings_.auto_increment);
  return path;
}

std::vector<StackSaveOutcome> LiveStack::collect(bool wait) {
  std::vector<StackSaveOutcome> outcomes;
  for (auto save = saves_.begin(); save != saves_.end();) {
    if (!wait && save->wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      ++save;
      continue;
    }
    const Result<StackPaths> saved = save->get();
    outcomes.push_back(saved ? StackSaveOutcome{true, "Stack saved to " + saved->fits}
                             : StackSaveOutcome{false, "Can't save the stack: " + saved.message()});
    save = saves_.erase(save);
  }
  return outcomes;
}

std::vector<StackSaveOutcome> LiveStack::take_saved() { return collect(false); }

std::vector<StackSaveOutcome> LiveStack::wait_saved() { return collect(true); }

}  // namespace noctra
