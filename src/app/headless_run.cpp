#include <chrono>
#include <memory>
#include <thread>

#include "app/headless.h"

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
  app->router().route(Command::Record);
  pump.run_until([&] { return seq.capture_state() == CaptureState::Idle; });
  return app->shutdown() ? 0 : 1;
}

}  // namespace noctra
