#pragma once
// The event pump an acquisition waits in. Qt does not fire a timer again
// while its handler still runs, and the main window's 50 ms timer is the one
// whose tick started the acquisition, so the pump runs a 50 ms timer of its
// own that delivers the same tick while it waits.

#include <functional>

#include "config/platform.h"

namespace noctra {

class QtEventPump : public EventPump {
 public:
  void set_tick(std::function<void()> tick) { tick_ = std::move(tick); }
  void run_until(const std::function<bool()>& done) override;
  bool quitting() const override { return quitting_; }
  // Once set, every wait ends at once, with or without its frame.
  void set_quitting() { quitting_ = true; }

 private:
  std::function<void()> tick_;
  bool quitting_ = false;
};

}  // namespace noctra
