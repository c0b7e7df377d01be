#pragma once
// The event pump an acquisition waits in inside the driver. A frame source
// blocks in the pump until its capture button is pressed and the frame has
// come; this pump runs the still trigger on every turn, so the button is
// pressed the moment the source shows it, and sleeps a millisecond between
// turns. It dispatches none of INDI's own events: INDI's loop is not
// re-entrant, and the wait is short (a simulated frame at once, a capture
// device within its frame timeout).

#include <cstdint>
#include <functional>

#include "camera/frame_acquirer.h"
#include "config/platform.h"

namespace noctra::indi {

class StillTriggerPump : public EventPump {
 public:
  using Sleep = std::function<void()>;
  explicit StillTriggerPump(Sleep sleep = {});

  // The acquisition whose still trigger runs on every turn; set once the
  // camera is open (it is made after the pump).
  void set_acquirer(FrameAcquirer* acquirer) { acquirer_ = acquirer; }

  void run_until(const std::function<bool()>& done) override;
  bool quitting() const override { return false; }

 private:
  Sleep sleep_;
  FrameAcquirer* acquirer_ = nullptr;
};

}  // namespace noctra::indi
