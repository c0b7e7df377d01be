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
  while (!quitting() && !done()) {
    const int32_t wait = wrap_sub(next_tick_, clock_.now_ms());
    if (wait > 0) {
      sleep_(wait);
      continue;  // re-check: the sleep may end early on a signal
    }
    // A late tick is not repeated to catch up, as a window timer is not.
    next_tick_ = wrap_add(clock_.now_ms(), kTickMs);
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
