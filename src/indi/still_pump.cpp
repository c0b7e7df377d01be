#include "indi/still_pump.h"

#include <time.h>

#include <cerrno>

namespace noctra::indi {

namespace {

int64_t mono_now_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000;
}

}  // namespace

void sleep_until_mono(int64_t mono_us) {
  // Awake a little early and on the processor at the instant: on a busy
  // machine a thread woken at the instant itself may wait milliseconds for
  // its turn.
  const int64_t wake_us = mono_us - kSpinUs;
  timespec until{};
  until.tv_sec = static_cast<time_t>(wake_us / 1'000'000);
  until.tv_nsec = static_cast<long>((wake_us % 1'000'000) * 1000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
  while (mono_now_us() < mono_us) {
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
        if (!held_from_us_) held_from_us_ = mono_now_us();
        sleep_until_mono(*hold_until_us_);
      }
      acquirer_->still_trigger();
    }
    if (done()) return;
    sleep_();
  }
}

}  // namespace noctra::indi
