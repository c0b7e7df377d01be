#include "app/app.h"

#include <filesystem>

#include "app/calibration_session.h"
#include "app/live_stack.h"
#include "camera/camera_setup.h"
#include "config/paths.h"
#include "output/recording.h"

namespace noctra {

namespace {

// Tells the calibration how each frame was taken before the recording gets
// it: a calibrated recording's writer thread works with what it was told.
class NotingWriter final : public FrameWriter {
 public:
  NotingWriter(FrameWriter& writer, CalibrationSession& calibration, CameraSetup& camera)
      : writer_(writer), calibration_(calibration), camera_(camera) {}
  void write_frame(const FrameImage* frame, const FrameTiming& timing,
                   const FrameMetadata& how) override {
    if (frame != nullptr) calibration_.note_frame(how, camera_.source_identity());
    writer_.write_frame(frame, timing, how);
  }
  void close_recording() override { writer_.close_recording(); }

 private:
  FrameWriter& writer_;
  CalibrationSession& calibration_;
  CameraSetup& camera_;
};

}  // namespace

App::App(const AppOptions& options, EventPump& pump, ErrorReporter& reporter, LogSink log)
    : options_(options), pump_(pump), reporter_(reporter), log_(std::move(log)) {}

App::~App() = default;

void App::camera_idle() { camera_->port().camera_idle(); }

Status App::open(SequencerHost* host) {
  home_ = home_folder();
  settings_file_ =
      options_.settings_file.empty() ? default_settings_file(home_) : options_.settings_file;

  // Two temporary files earlier versions could leave at home; a missing one is not an error.
  for (const char* leftover : {"C:\\_NOCTRA1.AVI", "C:\\_NOCTRA2.AVI"}) {
    std::error_code ignored;
    std::filesystem::remove(map_drive_c(leftover, home_), ignored);
  }

  loaded_ = load_settings(settings_file_, home_);
  settings_ = loaded_;
  if (options_.exposure) settings_.exposure = *options_.exposure;
  if (options_.delay) settings_.delay = *options_.delay;
  if (options_.count) settings_.count = *options_.count;
  if (options_.output) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(*options_.output, ec);
    settings_.image_file_path = cut_to_max_path(ec ? *options_.output : absolute.string());
  }

  const bool trace = options_.trace_port;
  auto log = log_;
  CameraSetupOptions camera_options;
  camera_options.port = settings_.port;
  camera_options.source = settings_.source;
  camera_options.mono = [this] { return mono_recording(settings_); };
  camera_options.instants = &instants_;
  camera_options.sim_covered = settings_.sim_covered != 0;
  camera_options.sim_flat_light = settings_.sim_flat_light != 0;
  camera_options.sim_rotation = settings_.sim_rotation;
  // The monotonic time after each byte, so that a user can check the timing
  // of the exposures with any text tool.
  if (trace) {
    camera_options.trace = [log, this](uint8_t byte) {
      log("port " + port_byte_text(byte) + " at " + format_mono_ms(instants_.now().mono_us) +
          " ms");
    };
  }
  Result<std::unique_ptr<CameraSetup>> camera =
      CameraSetup::open(camera_options, clock_, pump_, log_);
  if (!camera) return camera.status();
  camera_ = std::move(*camera);

  calibration_ = std::make_unique<CalibrationSession>(default_calibration_folder(home_));
  calibration_->set_fit_scale(settings_.calib_fit_scale != 0);
  writer_ = std::make_unique<Recording>(settings_, reporter_);
  writer_->set_calibration([this] { return settings_.calib_recordings != 0; },
                           calibration_->recording_calibration());
  noting_writer_ = std::make_unique<NotingWriter>(*writer_, *calibration_, *camera_);
  sequencer_ = std::make_unique<Sequencer>(settings_, clock_, camera_->port(),
                                           camera_->acquisition(), *noting_writer_, host);
  router_ = std::make_unique<CommandRouter>(*sequencer_, camera_->acquisition(), nullptr);
  live_stack_ = std::make_unique<LiveStack>(
      settings_, *sequencer_, *writer_, StackSession::Options{},
      [calibration = calibration_.get()] { return calibration->stack_calibration(); });
  // Frames written nowhere (a preview's, a paused recording's): the
  // calibration of their stack is told how they were taken here.
  sequencer_->add_frame_listener([this](const TakenFrame& taken) {
    if (!taken.written) calibration_->note_frame(taken.how, camera_->source_identity());
  });
  sequencer_->add_frame_listener(
      [stack = live_stack_.get()](const TakenFrame& taken) { stack->take_frame(taken); });
  return {};
}

bool App::shutdown() {
  if (shut_down_) return true;
  shut_down_ = true;
  // Finish the file as Stop does, so an exit during a recording loses nothing.
  if (sequencer_->capture_state() != CaptureState::Idle) sequencer_->stop_recording();
  camera_->port().camera_idle();
  live_stack_->settle();
  for (const StackSaveOutcome& saved : live_stack_->wait_saved()) {
    if (saved.ok) {
      log_(saved.text);
    } else {
      reporter_.show_error(saved.text);
    }
  }
  if (!options_.save_settings) return true;
  Settings to_save = settings_;
  if (options_.exposure) to_save.exposure = loaded_.exposure;
  if (options_.delay) to_save.delay = loaded_.delay;
  if (options_.count) to_save.count = loaded_.count;
  if (options_.output) to_save.image_file_path = loaded_.image_file_path;
  if (const Status saved = save_settings(to_save, settings_file_); !saved) {
    log_("Can't save the settings to " + settings_file_.string() + ": " + saved.message());
    return false;
  }
  return true;
}

Result<std::unique_ptr<App>> App::create(const AppOptions& options, SequencerHost* host,
                                         EventPump& pump, ErrorReporter& reporter, LogSink log) {
  std::unique_ptr<App> app(new App(options, pump, reporter, std::move(log)));
  if (Status opened = app->open(host); !opened) return failure(opened.message());
  return app;
}

}  // namespace noctra
