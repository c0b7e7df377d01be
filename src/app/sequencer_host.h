#pragma once
// What the sequencer asks of the windows around it. The Qt program and the
// headless runner each provide one; tests record the calls.

#include <cstdint>
#include <string>

#include "imaging/frame_image.h"

namespace noctra {

// Command identifiers of the main window's menu, toolbar and accelerators,
// and of posted commands. Other values may arrive from the window system;
// they go to the default handling.
enum class Command : int {
  About = 104,
  Exit = 105,
  Record = 32776,
  VideoSource = 32779,
  SaveImagesIn = 32781,
  Stop = 32782,
  Autoincrement = 32783,
  Setup = 32784,
  Pause = 32790,
  Preview = 32800,  // exposures shown, none written, until Stop or Record
};

// What set_ui_state asks of the controls.
enum class UiState {
  Idle,               // Record on, Stop off
  Recording,          // Record off, Stop on
  RefreshPauseMarks,  // the Pause marks follow the sequencer's pause flag
  Preview,            // Record and Stop on, Preview marked
};

// Where a run stands, for the status bar: sent with every change of the
// title, and at Record, Stop and Pause.
struct RunStatus {
  // Calibration: master frames being taken (nothing is written).
  enum class State : uint8_t { Idle, Preview, Recording, Paused, Calibration };
  State state = State::Idle;
  int32_t frames = 0;            // taken in a preview or a calibration, written in a recording
  int32_t count = 0;             // the run's number of frames; 0 = no limit
  int32_t exposure_left_ms = 0;  // of the exposure in progress; 0 between exposures
  int32_t exposure_ms = 0;       // the settings of the run
  int32_t delay_ms = 0;
  std::string file;  // the recording's path (numbered once it is open)
  friend bool operator==(const RunStatus&, const RunStatus&) = default;
};

// Everything the windows show comes through these calls: the windows never
// look into the sequencer.
class SequencerHost {
 public:
  virtual ~SequencerHost() = default;
  virtual void set_title(const std::string& title) = 0;
  // paused is the sequencer's pause flag, which the Pause marks follow.
  virtual void set_ui_state(UiState state, bool paused) = 0;
  // Paint now, before the capture returns. The holder is the sequencer's and
  // stays valid while the sequencer lives; a window may keep it to paint from.
  virtual void repaint_main(const FrameHolder& frame) = 0;
  virtual void repaint_guide(const FrameHolder& frame) = 0;
  // Queued: runs through the command router after the current event.
  virtual void post_command(Command id) = 0;
  virtual void layout_if_idle() = 0;
  virtual void beep() = 0;
  // Hosts without a status line ignore it.
  virtual void set_status(const RunStatus&) {}
};

}  // namespace noctra
