#include "ui/gui_main.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/calibration_run.h"
#include "camera/camera_setup.h"
#include "camera/hardware.h"
#include "config/paths.h"
#include "ui/calibration_dialog.h"
#include "ui/calibration_menu.h"
#include "ui/guide_window.h"
#include "ui/main_window.h"
#include "ui/pictures.h"

namespace noctra {

namespace {

std::vector<DeviceChoice> usable_entries(const std::vector<DeviceListing::Entry>& entries,
                                         const std::string& auto_takes) {
  std::vector<DeviceChoice> choices{{"auto", "auto (now: " + auto_takes + ")"}};
  for (const auto& entry : entries) {
    if (entry.usable) choices.push_back({entry.name, entry.name + "  " + entry.description});
  }
  return choices;
}

// A new video source is opened at once; a new camera port is stored in the
// settings and opened at the next start (the lines must not change under a
// running exposure).
DeviceCatalog device_catalog(App& app) {
  DeviceCatalog catalog;
  catalog.sources = [] {
    const DeviceListing listing = list_devices();
    return usable_entries(listing.sources, listing.auto_source);
  };
  catalog.ports = [] {
    const DeviceListing listing = list_devices();
    return usable_entries(listing.ports, listing.auto_port);
  };
  catalog.use_source = [&app](const std::string& name) { return app.camera().switch_source(name); };
  catalog.describe = [](const std::string& path) -> std::optional<DeviceOffer> {
    for (const CaptureDeviceInfo& device : list_capture_devices()) {
      if (device.path == path && device.can_capture) return device.offer;
    }
    return std::nullopt;
  };
  catalog.note = "A new camera port is used from the next start of Noctra.";
  return catalog;
}

}  // namespace

Status DesktopProgram::start(const AppOptions& options) {
  Result<std::unique_ptr<App>> created = App::create(
      options, nullptr, pump_, reporter_,
      [](const std::string& line) { std::fprintf(stderr, "noctra: %s\n", line.c_str()); });
  if (!created) return created.status();
  app_ = std::move(*created);
  Sequencer& sequencer = app_->sequencer();
  ticker_ = std::make_unique<DueTicker>(sequencer);
  pump_.set_tick([this] { ticker_->tick(); });
  guide_ = std::make_unique<GuideWindow>(sequencer.guide_frame(), [this] {
    if (window_) window_->close();
  });
  auto on_close = [this] {
    // The wait of an acquisition ends at once; the main loop ends once the
    // tick has unwound.
    pump_.set_quitting();
    QCoreApplication::exit(0);
  };
  window_ = std::make_unique<MainWindow>(app_->settings(), app_->router(), *ticker_, *guide_,
                                         chooser_, device_catalog(*app_), on_close);
  window_->add_live_stack(app_->live_stack(), reporter_);
  sequencer.set_host(window_.get());
  calibration_ = std::make_unique<CalibrationRun>(
      CalibrationRun::Context{sequencer, app_->settings(), app_->camera().acquisition(), clock_,
                              [this] { return capture_device(app_->camera()); },
                              default_calibration_folder(home_folder())});
  add_calibration_items(*window_, *calibration_, app_->settings());
  // A master just saved is in the library for the next frame calibrated.
  calibration_->add_saved_listener(
      [this](const CalibrationResult&) { app_->calibration().rescan(); });
  calibration_menu_ = std::make_unique<CalibrationMenu>(
      *window_, app_->settings(), app_->calibration(), app_->camera(), sequencer);
  window_->set_simulated_probe([this] {
    return app_->camera().port_name() == "sim" || app_->camera().source_name() == "sim";
  });
  window_->start();
  // The port at rest once the windows are up, and once more as start-up ends.
  app_->camera_idle();
  app_->camera_idle();
  return {};
}

DesktopProgram::~DesktopProgram() {
  if (app_) app_->sequencer().set_host(nullptr);
  calibration_menu_.reset();
  window_.reset();
  guide_.reset();
}

bool DesktopProgram::finish() {
  app_->sequencer().set_host(nullptr);
  // A capture of master frames still going ends without a master, and a
  // bias's exposure is put back before the settings are saved.
  calibration_->shut_down();
  return app_->shutdown();
}

Result<std::unique_ptr<DesktopProgram>> DesktopProgram::open(const AppOptions& options) {
  std::unique_ptr<DesktopProgram> program(new DesktopProgram);
  if (Status started = program->start(options); !started) return failure(started.message());
  return program;
}

bool display_reachable(const char* display, const char* wayland_display, const char* platform) {
  const auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
  return set(display) || set(wayland_display) || set(platform);
}

int run_gui(int& argc, char** argv, const AppOptions& options, const std::atomic<bool>& interrupt) {
  // Without a display Qt would abort; a box beside the telescope reached by
  // ssh still records without windows.
  if (!display_reachable(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                         std::getenv("QT_QPA_PLATFORM"))) {
    std::fprintf(stderr,
                 "noctra: no display (neither X nor Wayland): record with noctra --headless, "
                 "or serve the camera to INDI clients with indi_noctra_ccd\n");
    return 2;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Noctra"));
  QApplication::setDesktopFileName(QStringLiteral("noctra"));
  QApplication::setWindowIcon(program_icon());
  // Closing either window ends the program, and only after the recording has
  // been finished: that is handled by the windows, not by Qt.
  QApplication::setQuitOnLastWindowClosed(false);

  Result<std::unique_ptr<DesktopProgram>> opened = DesktopProgram::open(options);
  if (!opened) {
    std::fprintf(stderr, "noctra: %s\n", opened.message().c_str());
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"),
                    QString::fromStdString(opened.message()), QMessageBox::Ok);
    box.exec();
    return 2;
  }
  std::unique_ptr<DesktopProgram> program = std::move(*opened);
  // A signal handler may only set a flag; it is looked at here, on the GUI thread.
  QTimer interrupt_watch;
  QObject::connect(&interrupt_watch, &QTimer::timeout, [&] {
    if (interrupt) program->main_window().close();
  });
  interrupt_watch.start(100);
  const int status = QApplication::exec();
  const bool saved = program->finish();
  return status != 0 ? status : (saved ? 0 : 1);
}

}  // namespace noctra
