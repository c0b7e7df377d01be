#include "ui/gui_main.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

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

// The devices are opened once, at start-up; a new choice is stored in the
// settings and opened at the next start.
DeviceCatalog device_catalog() {
  DeviceCatalog catalog;
  catalog.sources = [] {
    const DeviceListing listing = list_devices();
    return usable_entries(listing.sources, listing.auto_source);
  };
  catalog.ports = [] {
    const DeviceListing listing = list_devices();
    return usable_entries(listing.ports, listing.auto_port);
  };
  catalog.note = "A new choice is used from the next start of Noctra.";
  return catalog;
}

}  // namespace

int run_gui(int& argc, char** argv, const AppOptions& options) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Noctra"));
  QApplication::setDesktopFileName(QStringLiteral("noctra"));
  QApplication::setWindowIcon(program_icon());
  // Closing either window ends the program, and only after the recording has
  // been finished: that is handled below, not by Qt.
  QApplication::setQuitOnLastWindowClosed(false);

  HostRelay host;
  QtEventPump pump;
  MessageBoxErrorReporter reporter;
  std::string error;
  // Deletes the two leftover temporary files, loads the settings and opens
  // the camera port and the frame source.
  std::unique_ptr<App> app = App::create(
      options, host, pump, reporter,
      [](const std::string& line) { std::fprintf(stderr, "noctra: %s\n", line.c_str()); }, &error);
  if (!app) {
    std::fprintf(stderr, "noctra: %s\n", error.c_str());
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"), QString::fromStdString(error),
                    QMessageBox::Ok);
    box.exec();
    return 2;
  }

  SequencerCore core(app->settings(), app->sequencer(), app->acquirer(),
                     [&app] { app->camera_idle(); }, device_catalog());
  pump.set_tick([&core] { core.sequencer_tick(); });

  MainWindow* main_window = nullptr;
  const auto end_program = [&pump] {
    pump.set_quitting();
    QCoreApplication::exit(0);
  };
  GuideWindow guide(core, [&main_window] {
    if (main_window) main_window->close();
  });
  FileDialogChooser chooser;
  MainWindow window(core, guide, chooser, end_program);
  main_window = &window;
  host.attach(&window);
  window.start();
  app->camera_idle();

  const int status = QApplication::exec();

  host.attach(nullptr);
  main_window = nullptr;
  if (window.camera_idle_deferred()) core.camera_idle();
  // Finishes an open recording, idles the port and saves the settings.
  app->shutdown();
  return status;
}

}  // namespace noctra
