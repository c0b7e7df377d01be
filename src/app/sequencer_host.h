#pragma once
// What the sequencer asks of the windows around it. The Qt program and the
// headless runner each provide one; tests record the calls.

#include <string>

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
};

// What set_ui_state asks of the controls.
enum class UiState {
  Idle,               // Record on, Stop off
  Recording,          // Record off, Stop on
  RefreshPauseMarks,  // the Pause marks follow the sequencer's pause flag
};

class SequencerHost {
 public:
  virtual ~SequencerHost() = default;
  virtual void set_title(const std::string& title) = 0;
  virtual void set_ui_state(UiState state) = 0;
  virtual void repaint_main() = 0;
  virtual void repaint_guide() = 0;
  // Queued: runs through the command router after the current event.
  virtual void post_command(Command id) = 0;
  virtual void layout_if_idle() = 0;
  virtual void beep() = 0;
};

}  // namespace noctra
