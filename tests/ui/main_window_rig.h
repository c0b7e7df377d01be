#pragma once
// The main window over the real sequencer and command router, with a fake
// clock, acquirer and writer: the window tests' rig.

#include <algorithm>
#include <string>
#include <vector>

#include "app/due_ticker.h"
#include "app/sequencer.h"
#include "camera/camera_port.h"
#include "support/fake_acquirer.h"
#include "support/fake_clock.h"
#include "support/fake_writer.h"
#include "ui/guide_window.h"
#include "ui/main_window.h"
#include "window_helpers.h"

namespace noctra::testing {

// Offers the simulated camera and one capture device that cannot be opened.
DeviceCatalog test_devices(std::vector<std::string>& switched) {
  DeviceCatalog devices;
  devices.sources = [] {
    return std::vector<DeviceChoice>{{"sim", "Simulated sky camera"},
                                     {"v4l2:/dev/video0", "USB capture (video0)"}};
  };
  devices.ports = [] { return std::vector<DeviceChoice>{{"sim", "Simulated port"}}; };
  devices.use_source = [&switched](const std::string& name) -> Status {
    if (name != "sim") return failure("cannot open " + name);
    switched.push_back(name);
    return {};
  };
  return devices;
}

// The clock stands still unless a test moves it, so a recording waits for
// its exposure and no frame is taken behind a test's back.
struct Rig {
  Settings settings;
  test::FakeClock clock;
  SimPortDevice port_device;
  CameraPort port{port_device};
  test::FakeAcquirer acquirer;
  test::FakeWriter writer;
  Sequencer sequencer{settings, clock, port, acquirer, writer, nullptr};
  CommandRouter router{sequencer, acquirer, nullptr};
  DueTicker ticker{sequencer};
  ScriptedChooser chooser;
  std::vector<std::string> switched_sources;
  int closes = 0;
  GuideWindow guide{sequencer.guide_frame(), [this] { window.close(); }};
  MainWindow window{settings,
                    router,
                    ticker,
                    guide,
                    chooser,
                    test_devices(switched_sources),
                    [this] { ++closes; }};

  explicit Rig(const Settings& initial = Settings{}) {
    settings = initial;
    sequencer.set_host(&window);
    window.start();
  }
  ~Rig() { sequencer.set_host(nullptr); }

  // True when the port was put into its idle pattern (0x2F then 0x3F; no
  // other write of the sequencer makes 0x2F).
  bool port_idled() const {
    const std::vector<uint8_t>& log = port_device.log();
    return std::find(log.begin(), log.end(), 0x2F) != log.end();
  }
};

}  // namespace noctra::testing
