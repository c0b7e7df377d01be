#include <chrono>
#include <memory>
#include <thread>

#include "app/headless.h"
#include "output/formats.h"

namespace noctra {

HeadlessProgram::HeadlessProgram(const std::atomic<bool>& interrupt, std::ostream& log, bool titles)
    : log_(log), pump_(
                     clock_,
                     [](int32_t ms) {
                       std::this_thread::sleep_for(std::chrono::milliseconds(ms < 5 ? ms : 5));
                     },
                     &interrupt),
      host_(log, pump_, titles), reporter_(log) {}

bool HeadlessProgram::open(const AppOptions& options) {
  Result<std::unique_ptr<App>> created =
      App::create(options, &host_, pump_, reporter_,
                  [this](const std::string& line) { log_ << line << std::endl; });
  if (!created) {
    log_ << "noctra: " << created.message() << std::endl;
    return false;
  }
  app_ = std::move(*created);
  Sequencer& seq = app_->sequencer();
  pump_.set_handlers([&seq] { seq.sequencer_tick(); },
                     [this](Command id) { app_->router().route(id); },
                     [&seq] { return seq.next_due(); });
  app_->camera_idle();
  return true;
}

int run_headless(const AppOptions& options, const std::atomic<bool>& interrupt, std::ostream& log) {
  HeadlessProgram program(interrupt, log);
  if (!program.open(options)) return 2;
  App& app = program.app();
  Sequencer& seq = app.sequencer();
  // Without numbering the recording takes the file's place: said once, so a
  // script's log shows where an older recording went.
  const std::string& path = app.settings().image_file_path;
  if (app.settings().auto_increment == 0 && format_of_path(path).recording_exists(path)) {
    log << "noctra: replacing " << path << std::endl;
  }
  app.router().route(Command::Record);
  program.pump().run_until([&] { return seq.capture_state() == CaptureState::Idle; });
  return app.shutdown() ? 0 : 1;
}

}  // namespace noctra
