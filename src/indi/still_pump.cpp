#include "indi/still_pump.h"

#include <time.h>

namespace noctra::indi {

StillTriggerPump::StillTriggerPump(Sleep sleep) : sleep_(std::move(sleep)) {
  if (!sleep_) {
    sleep_ = [] {
      const timespec one_ms{0, 1'000'000};
      nanosleep(&one_ms, nullptr);
    };
  }
}

void StillTriggerPump::run_until(const std::function<bool()>& done) {
  while (!done()) {
    if (acquirer_ != nullptr) acquirer_->still_trigger();
    if (done()) return;
    sleep_();
  }
}

}  // namespace noctra::indi
