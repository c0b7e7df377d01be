#include <chrono>
#include <memory>
#include <thread>

#include "app/headless.h"
#include "output/formats.h"

namespace noctra {

int run_headless(const AppOptions& options, const std::atomic<bool>& interrupt, std::ostream& log) {
  SteadyClock clock;
  HeadlessEventPump pump(
      clock,
      [](int32_t ms) {
        // Short naps so that Ctrl-C is seen within a few milliseconds.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms < 5 ? ms : 5));
      },
      &interrupt);
  HeadlessHost host(log, pump);
  StreamErrorReporter reporter(log);
  Result<std::unique_ptr<App>> created =
      App::create(options, &host, pump, reporter,
                  [&log](const std::string& line) { log << line << std::endl; });
  if (!created) {
    log << "noctra: " << created.message() << std::endl;
    return 2;
  }
  std::unique_ptr<App> app = std::move(*created);
  Sequencer& seq = app->sequencer();
  pump.set_handlers([&] { seq.sequencer_tick(); }, [&](Command id) { app->router().route(id); },
                    [&] { return seq.next_due(); });

  app->camera_idle();
  // Without numbering the recording takes the file's place: said once, so a
  // script's log shows where an older recording went.
  const std::string& path = app->settings().image_file_path;
  if (app->settings().auto_increment == 0 && format_of_path(path).recording_exists(path)) {
    log << "noctra: replacing " << path << std::endl;
  }
  app->router().route(Command::Record);
  pump.run_until([&] { return seq.capture_state() == CaptureState::Idle; });
  return app->shutdown() ? 0 : 1;
}

}  // namespace noctra
