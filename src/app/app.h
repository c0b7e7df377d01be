#pragma once
// The composition root shared by the headless runner and the Qt program: it
// loads the settings, opens the camera port and the frame source, and wires
// the sequencer to them. The front end supplies the windows (host), the
// event pump and the error reporter.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/sequencer.h"
#include "app/sequencer_host.h"
#include "config/platform.h"
#include "config/settings.h"
#include "config/status.h"

namespace noctra {

class Recording;
class CameraSetup;
class CalibrationSession;
class LiveStack;

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
  // source cannot be opened. The host may be attached later
  // (Sequencer::set_host).
  static Result<std::unique_ptr<App>> create(const AppOptions& options, SequencerHost* host,
                                             EventPump& pump, ErrorReporter& reporter, LogSink log);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  Settings& settings() { return settings_; }
  Sequencer& sequencer() { return *sequencer_; }
  CommandRouter& router() { return *router_; }
  // The port, the source and the still windows; switch_source() for the
  // Video Source dialog.
  CameraSetup& camera() { return *camera_; }
  // The calibration library's masters applied to the view, the guide frames,
  // calibrated recordings and the live stack.
  CalibrationSession& calibration() { return *calibration_; }
  // The live stack of the runs (on or off by the settings' [Stack] On).
  LiveStack& live_stack() { return *live_stack_; }

  // Start of the program: the two leftover temporary files are deleted by
  // create(); this puts the port into its idle pattern.
  void camera_idle();
  // End of the program, after the last tick has unwound: finishes an open
  // recording as Stop does, idles the port (the one place it is idled at the
  // end, for the windows and the headless runner alike), and saves the
  // settings (unless --no-save) without the overrides. The recording's live
  // stack is saved, said in the log (a failure reported). Returns false (and
  // reports) if the settings could not be saved.
  bool shutdown();

 private:
  App(const AppOptions& options, EventPump& pump, ErrorReporter& reporter, LogSink log);
  Status open(SequencerHost* host);

  AppOptions options_;
  EventPump& pump_;
  ErrorReporter& reporter_;
  LogSink log_;

  std::string home_;
  std::filesystem::path settings_file_;
  Settings loaded_;  // as read from the file: what the overrides must not replace
  Settings settings_;
  SteadyClock clock_;
  SystemInstantClock instants_;
  std::unique_ptr<CameraSetup> camera_;
  std::unique_ptr<CalibrationSession> calibration_;
  std::unique_ptr<Recording> writer_;
  std::unique_ptr<FrameWriter> noting_writer_;
  std::unique_ptr<Sequencer> sequencer_;
  std::unique_ptr<CommandRouter> router_;
  std::unique_ptr<LiveStack> live_stack_;
  bool shut_down_ = false;
};

}  // namespace noctra
