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
    ticker_.tick();
    deliver_posted();
  }
  while (!quitting() && !done()) {
    if (due_ticks_ && ticker_.tick_if_due()) {
      deliver_posted();
      continue;
    }
    const int32_t now = clock_.now_ms();
    int32_t wait = wrap_sub(next_tick_, now);
    const std::optional<int32_t> due = due_ticks_ ? ticker_.wait_ms() : std::nullopt;
    if (due && *due < wait) wait = *due;
    if (wait > 0) {
      sleep_(wait);
      continue;  // re-check: the sleep may end early on a signal
    }
    // A late tick is not repeated to catch up, as a window timer is not.
    next_tick_ = wrap_add(now, kTickMs);
    ticker_.tick();
    deliver_posted();
  }
}

void HeadlessHost::set_title(const std::string& title) {
  if (!titles_ || title == last_title_) return;
  last_title_ = title;
  out_ << title << std::endl;
}

}  // namespace noctra
