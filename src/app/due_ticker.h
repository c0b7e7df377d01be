#pragma once
// Drives the sequencer's tick for an event pump: the 50 ms tick, and one tick
// at each moment the sequencer says falls due (an exposure's base, its end,
// the next guide frame), so exposures start and end on time rather than on
// the next 50 ms tick. Each moment gets one tick: a moment that is still due
// after its tick (nothing acted on it) is left to the 50 ms tick, so no pump
// spins on it. The headless pump and the desktop program's windows and pump
// all tick through one of these.

#include <cstdint>
#include <functional>
#include <optional>

#include "app/sequencer.h"

namespace noctra {

class DueTicker {
 public:
  using NextDue = std::function<std::optional<Sequencer::Due>()>;
  // next_due may be empty: then only the 50 ms tick runs.
  DueTicker(std::function<void()> tick, NextDue next_due)
      : tick_(std::move(tick)), next_due_(std::move(next_due)) {}
  explicit DueTicker(Sequencer& sequencer)
      : DueTicker([&sequencer] { sequencer.sequencer_tick(); },
                  [&sequencer] { return sequencer.next_due(); }) {}

  // The 50 ms tick, and the tick a wait inside the pump begins with.
  void tick() {
    if (tick_) tick_();
  }
  // Ticks when a moment that has had no tick yet has come; true when it did.
  bool tick_if_due();
  // Milliseconds until the next moment that has had no tick yet (0: it has
  // come); nothing when there is none.
  std::optional<int32_t> wait_ms();

 private:
  std::optional<Sequencer::Due> fresh_due();

  std::function<void()> tick_;
  NextDue next_due_;
  std::optional<Sequencer::Moment> last_ticked_;
};

}  // namespace noctra
