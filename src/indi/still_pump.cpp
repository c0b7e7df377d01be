#include "indi/still_pump.h"

#include <time.h>

#include <cerrno>

namespace noctra::indi {

void sleep_until_mono(int64_t mono_us) {
  timespec until{};
  until.tv_sec = static_cast<time_t>(mono_us / 1'000'000);
  until.tv_nsec = static_cast<long>((mono_us % 1'000'000) * 1000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

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
    if (acquirer_ != nullptr) {
      if (hold_until_us_ && acquirer_->pending_trigger() == TriggerCode::Main) {
        sleep_until_mono(*hold_until_us_);
      }
      acquirer_->still_trigger();
    }
    if (done()) return;
    sleep_();
  }
}

}  // namespace noctra::indi
