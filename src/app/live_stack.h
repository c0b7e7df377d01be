#pragma once
// The live stack of the runs the camera makes: fed from the sequencer's frame
// listener with each written frame of a recording and each frame of a
// preview, on the StackSession's worker.
//
// Record starts a new stack for the file actually written (the numbered
// name), which replaces a preview's stack; a preview's stack belongs to the
// file the next recording would have. A paused recording's frames are not
// stacked (they are not written), nor are calibration frames. When a
// recording whose frames were stacked ends (Stop, the count reached, a new
// Record, the end of the program), its stack is saved beside it. Saving
// runs on the worker: the saves' outcomes are collected here, for the
// window's status line or the headless log.

#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "app/calibration_session.h"
#include "app/sequencer.h"
#include "app/stack_session.h"
#include "config/settings.h"

namespace noctra {

class Recording;

// A save's outcome, said in a line: where the files went, or why not.
struct StackSaveOutcome {
  bool ok = false;
  std::string text;
};

class LiveStack {
 public:
  // settings' stack_on says whether frames are stacked; set_on() changes it.
  // calibration, when given, is asked as each stack starts and before it is
  // saved: the frames are stacked calibrated with the library's masters.
  LiveStack(Settings& settings, const Sequencer& sequencer, const Recording& recording,
            StackSession::Options options = {},
            std::function<StackCalibrationParts()> calibration = {});

  // The sequencer's frame listener.
  void take_frame(const TakenFrame& taken);

  void set_on(bool on);
  bool on() const { return settings_.stack_on != 0; }

  // After each tick and command: a recording that ended since has its stack
  // saved (the save is queued on the worker).
  void settle();
  // The Reset button: a new stack for the same run.
  void reset();
  // The Save button: the stack's files now, beside the recording (during a
  // preview, beside the file the next recording would have).
  void save();
  // The outcomes of the saves finished since the last call; never waits.
  std::vector<StackSaveOutcome> take_saved();
  // Waits for every save queued (the end of the program).
  std::vector<StackSaveOutcome> wait_saved();

  StackSession& session() { return session_; }
  const StackSession& session() const { return session_; }

 private:
  // The name the next recording would be written to.
  std::string next_recording_path() const;
  void save_recording_stack();
  std::vector<StackSaveOutcome> collect(bool wait);
  void take_calibration();

  Settings& settings_;
  const Sequencer& sequencer_;
  const Recording& recording_;
  StackSession session_;
  std::function<StackCalibrationParts()> calibration_;
  // Runs seen (a run's first frame counts one), and the run the stack holds.
  uint64_t run_ = 0;
  uint64_t stack_run_ = 0;
  RunKind stack_kind_ = RunKind::Preview;
  bool unsaved_recording_ = false;  // the stack is a recording's, to be saved at its end
  std::vector<std::future<Result<StackPaths>>> saves_;
};

}  // namespace noctra
