#pragma once
// What the sequencer asks of the windows around it. The Qt program and the
// headless runner each provide one; tests record the calls.

#include <string>

namespace noctra {

// Command identifiers of the main window.
enum Command : int {
  kCmdAbout = 104,
  kCmdExit = 105,
  kCmdRecord = 32776,
  kCmdVideoSource = 32779,
  kCmdSaveImagesIn = 32781,
  kCmdStop = 32782,
  kCmdAutoincrement = 32783,
  kCmdSetup = 32784,
  kCmdPause = 32790,
};

class SequencerHost {
 public:
  virtual ~SequencerHost() = default;
  virtual void set_title(const std::string& title) = 0;
  // 0 idle, 1 recording, 2 refresh the Pause check marks.
  virtual void set_ui_state(int mode) = 0;
  virtual void repaint_main() = 0;
  virtual void repaint_guide() = 0;
  // Queued: runs through the command router after the current event.
  virtual void post_command(int id) = 0;
  virtual void layout_if_idle() = 0;
  virtual void beep() = 0;
};

}  // namespace noctra
