#pragma once
// The desktop program: start-up, the main loop and shut-down.

#include <atomic>
#include <memory>
#include <string>

#include "app/app.h"

namespace noctra {

class GuideWindow;
class MainWindow;
class GuiCore;

// Everything the desktop program runs on, wired together; needs a
// QApplication. Opening it is start-up; finish() is shut-down.
class DesktopProgram {
 public:
  // Deletes the leftover temporary files, loads the settings, opens the
  // port and the source, creates the windows and idles the port. Nothing
  // (with the reason in *error) when a device named in the settings cannot
  // be opened.
  static std::unique_ptr<DesktopProgram> open(const AppOptions& options, std::string* error);
  virtual ~DesktopProgram() = default;

  virtual MainWindow& main_window() = 0;
  virtual GuideWindow& guide_window() = 0;
  virtual GuiCore& core() = 0;
  virtual App& app() = 0;
  // After the main loop: the port idled if the windows went away during an
  // acquisition, an open recording finished, the settings saved. False when
  // the settings could not be saved.
  virtual bool finish() = 0;
};

// Runs Noctra with its windows; returns the program's exit status. When
// interrupt becomes true (SIGINT, SIGTERM at logout) the main window closes
// as if the user had closed it: the recording is finished, the settings saved.
int run_gui(int& argc, char** argv, const AppOptions& options, const std::atomic<bool>& interrupt);

}  // namespace noctra
