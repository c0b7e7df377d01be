#pragma once
// Fake time and a fake event loop for the camera tests: every event the pump
// delivers is one 50 ms tick of the fake clock, followed by whatever the test
// wires to the tick (normally the still trigger).

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/acquisition.h"
#include "camera/sim_sky_camera.h"
#include "config/platform.h"
#include "support/fake_clock.h"

namespace noctra::test {

class FakePump : public EventPump {
 public:
  explicit FakePump(FakeClock& clock) : clock_(clock) {}
  void run_until(const std::function<bool()>& done) override {
    ++runs;
    for (int i = 0; i < max_ticks && !quitting_; ++i) {
      if (done()) return;
      clock_.advance(tick_ms);
      if (on_tick) on_tick();
    }
    done();
  }
  bool quitting() const override { return quitting_; }

  std::function<void()> on_tick;
  int tick_ms = 50;
  int max_ticks = 100000;
  int runs = 0;
  bool quitting_ = false;

 private:
  FakeClock& clock_;
};

struct LogLines {
  std::vector<std::string> lines;
  auto sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

// The simulated camera wired to a port and an acquisition the way the program
// does it: every tick of the pump runs the still trigger.
struct SkyRig {
  FakeClock clock;
  FakePump pump{clock};
  SimPortDevice device{0xC0};
  CameraPort port{device};
  StillWindowRegistry windows;
  LogLines log;
  Acquisition acquisition{port, windows, log.sink()};
  SimSkyCamera* camera = nullptr;

  explicit SkyRig(SimSkyOptions options = {}) {
    auto sim = std::make_unique<SimSkyCamera>(clock, pump, windows, log.sink(), options);
    camera = sim.get();
    device.add_listener([this](uint8_t b) { camera->on_port_write(b); });
    acquisition.set_source(std::move(sim));
    pump.on_tick = [this] { acquisition.still_trigger(); };
    port.camera_idle();
  }

  FrameHolder grab_holder(TriggerCode code) {
    port.amplifier_on();
    FrameHolder holder;
    acquisition.acquire_frame(holder, code);
    return holder;
  }

  FrameImage grab(TriggerCode code) {
    FrameHolder holder = grab_holder(code);
    EXPECT_TRUE(holder.has_value());
    return holder ? std::move(*holder) : *FrameImage::create(1, 1);
  }

  FrameImage expose(int32_t ms) {
    port.exposure_start_sequence();
    clock.advance(ms);
    return grab(TriggerCode::Main);
  }
};

}  // namespace noctra::test
