#include <chrono>
#include <cstdio>
#include <thread>

#include "app/calibration_run.h"
#include "app/headless.h"
#include "camera/camera_setup.h"
#include "config/paths.h"

namespace noctra {

namespace {

std::string result_text(const CalibrationResult& result) {
  char figures[160];
  std::snprintf(figures, sizeof figures, "%d frames of %.3f s, noise %.3f ADU", result.frames,
                result.exposure_s, result.noise);
  std::string text = std::string("Master ") + master_kind_word(result.kind) +
                     " saved: " + result.file.string() + "\n" + figures;
  if (result.hot_pixels) text += ", " + std::to_string(*result.hot_pixels) + " hot pixels";
  return text;
}

}  // namespace

int run_headless_calibration(const AppOptions& options, MasterKind kind, int32_t frames,
                             const std::atomic<bool>& interrupt, std::ostream& log) {
  // The recording's titles (file name, frames written) say nothing of a
  // calibration run: the progress lines below take their place.
  HeadlessProgram program(interrupt, log, false);
  if (!program.open(options)) return 2;
  App& app = program.app();

  CalibrationProgress progress;
  {
    CalibrationRun run({app.sequencer(), app.settings(), app.camera().acquisition(),
                        program.clock(), [&app] { return capture_device(app.camera()); },
                        default_calibration_folder(home_folder())});
    if (const Status started = run.start(kind, frames); !started) {
      log << "noctra: " << started.message() << std::endl;
      app.shutdown();
      return 2;
    }
    const std::string what = std::string(master_kind_word(kind)) + " frames: ";
    int32_t shown = -1;
    program.pump().run_until([&] {
      progress = run.poll();
      if (progress.frames_in != shown) {
        shown = progress.frames_in;
        log << what << shown << "/" << frames << std::endl;
      }
      return progress.over();
    });
    // Ctrl-C: frames still coming are dropped; frames being combined are
    // saved, and said to be.
    run.cancel();
    while (!(progress = run.poll()).over()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (progress.state == CalibrationProgress::State::Saved) {
    log << result_text(*progress.result) << std::endl;
  } else {
    log << "noctra: " << progress.error << std::endl;
  }
  const bool saved_settings = app.shutdown();
  return progress.state == CalibrationProgress::State::Saved && saved_settings ? 0 : 1;
}

}  // namespace noctra
