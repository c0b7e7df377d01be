#pragma once
// The desktop program: start-up, the main loop and shut-down.

#include <atomic>
#include <memory>
#include <string>

#include "app/app.h"
#include "app/due_ticker.h"
#include "ui/error_box.h"
#include "ui/qt_event_pump.h"
#include "ui/save_file_chooser.h"

namespace noctra {

class CalibrationRun;
class CalibrationMenu;
class GuideWindow;
class MainWindow;

// Everything the desktop program runs on, wired together; needs a
// QApplication. Opening it is start-up; finish() is shut-down.
class DesktopProgram {
 public:
  // Deletes the leftover temporary files, loads the settings, opens the
  // port and the source, creates the windows and idles the port. Fails, with
  // the reason, when a device named in the settings cannot
  // be opened.
  static Result<std::unique_ptr<DesktopProgram>> open(const AppOptions& options);
  ~DesktopProgram();
  DesktopProgram(const DesktopProgram&) = delete;
  DesktopProgram& operator=(const DesktopProgram&) = delete;

  MainWindow& main_window() { return *window_; }
  GuideWindow& guide_window() { return *guide_; }
  App& app() { return *app_; }
  // The capture of master frames (Capture > "Dark frames..." and the others).
  CalibrationRun& calibration() { return *calibration_; }
  CalibrationMenu& calibration_menu() { return *calibration_menu_; }
  // After the main loop, once a tick that waited for a frame has unwound: an
  // open recording finished, the port idled, the settings saved. False when
  // the settings could not be saved.
  bool finish();

 private:
  DesktopProgram() = default;
  Status start(const AppOptions& options);

  QtEventPump pump_;
  MessageBoxErrorReporter reporter_;
  FileDialogChooser chooser_;
  std::unique_ptr<App> app_;
  std::unique_ptr<DueTicker> ticker_;
  std::unique_ptr<GuideWindow> guide_;
  std::unique_ptr<MainWindow> window_;
  SteadyClock clock_;
  // Goes first, while the sequencer is still there.
  std::unique_ptr<CalibrationRun> calibration_;
  std::unique_ptr<CalibrationMenu> calibration_menu_;  // goes before the window
};

// Whether Qt can show windows: an X display, a Wayland display, or a Qt
// platform named outright (offscreen, vnc, ...); each value may be null.
bool display_reachable(const char* display, const char* wayland_display, const char* platform);

// Runs Noctra with its windows; without a display it says so in one line
// and returns 2; returns the program's exit status. When
// interrupt becomes true (SIGINT, SIGTERM at logout) the main window closes
// as if the user had closed it: the recording is finished, the settings saved.
int run_gui(int& argc, char** argv, const AppOptions& options, const std::atomic<bool>& interrupt);

}  // namespace noctra
