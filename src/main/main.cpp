// Noctra's entry: the desktop program with no arguments, the headless
// recorder, the device listing and the repair of a SER file with options.

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "app/calibration_run.h"
#include "app/command_line.h"
#include "app/headless.h"
#include "app/repair.h"
#include "camera/hardware.h"
#include "camera/port_crash_guard.h"
#include "config/version.h"
#ifdef NOCTRA_HAVE_GUI
#include "ui/gui_main.h"
#endif

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_interrupt(int) { g_interrupted = true; }

}  // namespace

int main(int argc, char** argv) {
  using noctra::CommandLine;
  const noctra::Result<CommandLine> parsed =
      noctra::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed) {
    std::cerr << "noctra: " << parsed.message() << "\n" << noctra::usage_text();
    return 2;
  }
  const CommandLine& cl = *parsed;
  switch (cl.mode) {
    case CommandLine::Mode::Help:
      std::cout << noctra::usage_text();
      return 0;
    case CommandLine::Mode::Version:
      std::cout << noctra::kVersionText << "\n";
      return 0;
    case CommandLine::Mode::ListDevices:
      std::cout << noctra::format_device_listing(noctra::list_devices());
      return 0;
    case CommandLine::Mode::Repair:
      return noctra::run_repair(cl.repair_file, std::cout, std::cerr);
    case CommandLine::Mode::Measure:
      return noctra::run_measure(cl.measure_file, cl.measure_at, std::cout, std::cerr);
    case CommandLine::Mode::Stack:
      return noctra::run_stack(cl.stack, std::cerr);
    case CommandLine::Mode::Headless:
    case CommandLine::Mode::Calibrate:
    case CommandLine::Mode::Gui:
      break;
  }
  // Ctrl-C and SIGTERM finish the recording and save the settings; then the
  // crash guard, which leaves handled signals alone, idles the port on a crash.
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  noctra::port_crash_guard::install_crash_handlers();
  if (cl.mode == CommandLine::Mode::Calibrate) {
    return noctra::run_headless_calibration(cl.options, *cl.calibrate, cl.calibrate_frames,
                                            g_interrupted, std::cerr);
  }
  if (cl.mode == CommandLine::Mode::Headless)
    return noctra::run_headless(cl.options, g_interrupted, std::cerr);
#ifdef NOCTRA_HAVE_GUI
  return noctra::run_gui(argc, argv, cl.options, g_interrupted);
#else
  std::cerr << "noctra: this build has no windows; use --headless\n";
  return 2;
#endif
}
