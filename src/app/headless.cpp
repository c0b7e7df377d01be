#include "app/headless.h"

namespace noctra {

void HeadlessEventPump::deliver_posted() {
  while (!posted_.empty() && !quitting()) {
    const Command id = posted_.front();
    posted_.pop_front();
    if (route_) route_(id);
  }
}

void HeadlessEventPump::run_until(const std::function<bool()>& done) {
  if (!have_deadline_) {
    next_tick_ = wrap_add(clock_.now_ms(), kTickMs);
    have_deadline_ = true;
  }
  // A wait that begins inside a tick (an acquisition waiting for its still
  // press) gets a tick at once, so the trigger goes out now and not on the
  // next 50 ms tick.
  const Nesting nesting(depth_);
  if (due_ticks_ && depth_ > 1 && !quitting() && !done()) {
    if (tick_) tick_();
    deliver_posted();
  }
  while (!quitting() && !done()) {
    const int32_t now = clock_.now_ms();
    int32_t wait = wrap_sub(next_tick_, now);
    const std::optional<Sequencer::Due> due = due_ticks_ && due_ ? due_() : std::nullopt;
    // One tick for each due moment: a moment that stays due after its tick
    // does not make the pump spin.
    const bool fresh = due && last_due_moment_ != due->moment;
    const bool due_now = fresh && due->wait_ms <= 0;
    if (fresh && due->wait_ms > 0 && due->wait_ms < wait) wait = due->wait_ms;
    if (wait > 0 && !due_now) {
      sleep_(wait);
      continue;  // re-check: the sleep may end early on a signal
    }
    if (due_now) {
      last_due_moment_ = due->moment;
    } else {
      // A late tick is not repeated to catch up, as a window timer is not.
      next_tick_ = wrap_add(now, kTickMs);
    }
    if (tick_) tick_();
    deliver_posted();
  }
}

void HeadlessHost::set_title(const std::string& title) {
  if (title == last_title_) return;
  last_title_ = title;
  out_ << title << std::endl;
}

}  // namespace noctra
