#pragma once
// The composition root shared by the headless runner and the Qt program: it
// loads the settings, opens the camera port and the frame source, and wires
// the sequencer to them. The front end supplies the windows (host), the
// event pump and the error reporter.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/sequencer.h"
#include "app/sequencer_host.h"
#include "config/platform.h"
#include "config/settings.h"
#include "config/status.h"

namespace noctra {

class CameraSetup;

struct AppOptions {
  std::filesystem::path settings_file;  // empty: the platform's default
  bool save_settings = true;            // --no-save
  bool trace_port = false;              // --trace-port: every port write on stderr
  // Overrides for this run only; never saved.
  std::optional<int32_t> exposure, delay, count;
  std::optional<std::string> output;
};

class App {
 public:
  // Opens everything. Fails, saying why, when an explicitly named port or
  // source cannot be opened.
  static Result<std::unique_ptr<App>> create(const AppOptions& options, SequencerHost& host,
                                             EventPump& pump, ErrorReporter& reporter,
                                             std::function<void(const std::string&)> log);
  virtual ~App() = default;

  virtual Settings& settings() = 0;
  virtual Sequencer& sequencer() = 0;
  virtual CommandRouter& router() = 0;
  virtual CameraPort& camera_port() = 0;
  virtual FrameAcquirer& acquirer() = 0;
  // The port, the source and the still windows; switch_source() for the
  // Video Source dialog.
  virtual CameraSetup& camera() = 0;

  // Start of the program: the two leftover temporary files are deleted by
  // create(); this puts the port into its idle pattern.
  virtual void camera_idle() = 0;
  // End of the program: finishes an open recording as Stop does, idles the
  // port, and saves the settings (unless --no-save) without the overrides.
  // Returns false (and reports) if the settings could not be saved.
  virtual bool shutdown() = 0;
};

}  // namespace noctra
