#include "app/due_ticker.h"

namespace noctra {

std::optional<Sequencer::Due> DueTicker::fresh_due() {
  if (!next_due_) return std::nullopt;
  const std::optional<Sequencer::Due> due = next_due_();
  if (!due || due->moment == last_ticked_) return std::nullopt;
  return due;
}

bool DueTicker::tick_if_due() {
  const std::optional<Sequencer::Due> due = fresh_due();
  if (!due || due->wait_ms > 0) return false;
  last_ticked_ = due->moment;
  tick();
  return true;
}

std::optional<int32_t> DueTicker::wait_ms() {
  const std::optional<Sequencer::Due> due = fresh_due();
  if (!due) return std::nullopt;
  return due->wait_ms;
}

}  // namespace noctra
