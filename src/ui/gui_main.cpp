#include "ui/gui_main.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

#include "camera/camera_setup.h"
#include "camera/hardware.h"
#include "ui/error_box.h"
#include "ui/guide_window.h"
#include "ui/host_relay.h"
#include "ui/main_window.h"
#include "ui/pictures.h"
#include "ui/qt_event_pump.h"
#include "ui/save_file_chooser.h"
#include "ui/sequencer_core.h"

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
  catalog.use_source = [&app](const std::string& name, std::string* error) {
    const Status switched = app.camera().switch_source(name);
    if (!switched && error) *error = switched.message();
    return switched.ok();
  };
  catalog.note = "A new camera port is used from the next start of Noctra.";
  return catalog;
}

class QtDesktopProgram : public DesktopProgram {
 public:
  bool start(const AppOptions& options, std::string* error) {
    Result<std::unique_ptr<App>> created = App::create(
        options, host_, pump_, reporter_,
        [](const std::string& line) { std::fprintf(stderr, "noctra: %s\n", line.c_str()); });
    if (!created) {
      if (error) *error = created.message();
      return false;
    }
    app_ = std::move(*created);
    core_ = std::make_unique<SequencerCore>(
        app_->settings(), app_->sequencer(), app_->router(), [this] { app_->camera_idle(); },
        device_catalog(*app_));
    pump_.set_tick([this] { core_->sequencer_tick(); });
    guide_ = std::make_unique<GuideWindow>(*core_, [this] {
      if (window_) window_->close();
    });
    window_ = std::make_unique<MainWindow>(*core_, *guide_, chooser_, [this] {
      // The wait of an acquisition ends at once; the main loop ends once
      // the tick has unwound.
      pump_.set_quitting();
      QCoreApplication::exit(0);
    });
    host_.attach(window_.get());
    window_->start();
    app_->camera_idle();
    return true;
  }

  ~QtDesktopProgram() override {
    host_.attach(nullptr);
    window_.reset();
    guide_.reset();
  }

  MainWindow& main_window() override { return *window_; }
  GuideWindow& guide_window() override { return *guide_; }
  GuiCore& core() override { return *core_; }
  App& app() override { return *app_; }

  bool finish() override {
    host_.attach(nullptr);
    if (window_->camera_idle_deferred()) core_->camera_idle();
    return app_->shutdown();
  }

 private:
  HostRelay host_;
  QtEventPump pump_;
  MessageBoxErrorReporter reporter_;
  FileDialogChooser chooser_;
  std::unique_ptr<App> app_;
  std::unique_ptr<SequencerCore> core_;
  std::unique_ptr<GuideWindow> guide_;
  std::unique_ptr<MainWindow> window_;
};

}  // namespace

std::unique_ptr<DesktopProgram> DesktopProgram::open(const AppOptions& options,
                                                     std::string* error) {
  auto program = std::make_unique<QtDesktopProgram>();
  if (!program->start(options, error)) return nullptr;
  return program;
}

int run_gui(int& argc, char** argv, const AppOptions& options, const std::atomic<bool>& interrupt) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Noctra"));
  QApplication::setDesktopFileName(QStringLiteral("noctra"));
  QApplication::setWindowIcon(program_icon());
  // Closing either window ends the program, and only after the recording has
  // been finished: that is handled by the windows, not by Qt.
  QApplication::setQuitOnLastWindowClosed(false);

  std::string error;
  std::unique_ptr<DesktopProgram> program = DesktopProgram::open(options, &error);
  if (!program) {
    std::fprintf(stderr, "noctra: %s\n", error.c_str());
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"), QString::fromStdString(error),
                    QMessageBox::Ok);
    box.exec();
    return 2;
  }
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
