#pragma once
// Fake time and a fake event loop for the camera tests: every event the pump
// delivers is one 50 ms tick of the fake clock, followed by whatever the test
// wires to the tick (normally the still trigger).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/platform.h"

namespace noctra::test {

class FakeClock : public Clock {
 public:
  explicit FakeClock(int32_t start = 1000) : now_(start) {}
  int32_t now_ms() override { return now_; }
  void advance(int32_t ms) { now_ = wrap_add(now_, ms); }

 private:
  int32_t now_;
};

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

}  // namespace noctra::test
