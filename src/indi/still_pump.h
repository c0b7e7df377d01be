#pragma once
// The event pump an acquisition waits in inside the driver. A frame source
// blocks in the pump until its capture button is pressed and the frame has
// come; this pump runs the still trigger on every turn, so the button is
// pressed the moment the source shows it, and sleeps a millisecond between
// turns. It dispatches none of INDI's own events: INDI's loop is not
// re-entrant, and the wait is short (a simulated frame at once, a capture
// device within its frame timeout).
//
// A press that would write the main trigger (0x37) can be held back until an
// instant: High Res begins its read-out early, so that the grab of the first
// frame is over when the exposure ends, and its 0x37 then goes out on time.

#include <cstdint>
#include <functional>
#include <optional>

#include "camera/acquisition.h"
#include "config/platform.h"

namespace noctra::indi {

// Waits until the CLOCK_MONOTONIC instant (microseconds), also when signals
// interrupt the sleep: asleep until kSpinUs before it, then awake.
inline constexpr int64_t kSpinUs = 1000;
void sleep_until_mono(int64_t mono_us);

class StillTriggerPump : public EventPump {
 public:
  using Sleep = std::function<void()>;
  explicit StillTriggerPump(Sleep sleep = {});

  // The acquisition whose still trigger runs on every turn; set once the
  // camera is open (it is made after the pump).
  void set_acquirer(Acquisition* acquirer) { acquirer_ = acquirer; }
  // No press of the main trigger before this CLOCK_MONOTONIC instant
  // (microseconds); nothing lifts the hold.
  void hold_main_trigger_until(std::optional<int64_t> mono_us) {
    hold_until_us_ = mono_us;
    held_from_us_.reset();
  }
  // When, under the last hold, the main trigger was first waiting to go.
  const std::optional<int64_t>& held_from_us() const { return held_from_us_; }

  void run_until(const std::function<bool()>& done) override;
  bool quitting() const override { return false; }

 private:
  Sleep sleep_;
  Acquisition* acquirer_ = nullptr;
  std::optional<int64_t> hold_until_us_;
  std::optional<int64_t> held_from_us_;
};

}  // namespace noctra::indi
