#pragma once
// An acquirer for sequencer and window tests: delivers a small frame per
// acquisition (or none when told to fail) and records the trigger code each
// acquisition started with. Given an event pump, an acquisition waits in
// it as a real source does, until a still trigger finds the pending code (and
// hold is off); the wait ends with no frame when the program quits.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "camera/frame_acquirer.h"
#include "config/platform.h"
#include "imaging/frame_image.h"

namespace noctra::test {

class FakeAcquirer : public FrameAcquirer {
 public:
  bool available = true;
  std::optional<TriggerCode> pending;
  bool busy_flag = false;
  EventPump* pump = nullptr;
  bool hold = false;
  std::deque<bool> failures;                            // front: does the next acquisition fail?
  std::function<void()> during_acquire;                 // e.g. nested ticks
  std::function<void(FrameImage&, TriggerCode)> paint;  // the delivered frame's pixels
  int32_t width = 8;
  int32_t height = 4;
  uint8_t next_value = 1;  // first byte of the next frame, counting up

  std::vector<int> codes;
  int still_trigger_calls = 0;
  int presses = 0;  // still triggers that found a pending code while busy
  int acquisitions = 0;

  bool source_available() override { return available; }
  bool busy() const override { return busy_flag; }
  void still_trigger() override {
    ++still_trigger_calls;
    if (!busy_flag || !pending) return;
    ++presses;
    pending.reset();
    pressed_ = true;
  }
  void acquire_frame(FrameHolder& holder, TriggerCode code) override {
    pending = code;
    if (!available) return;
    codes.push_back(static_cast<int>(code));
    busy_flag = true;
    pressed_ = false;
    if (pump != nullptr) pump->run_until([this] { return pressed_ && !hold; });
    if (during_acquire) during_acquire();
    busy_flag = false;
    holder.reset();
    if (pump != nullptr && pump->quitting()) return;
    const bool fail = !failures.empty() && failures.front();
    if (!failures.empty()) failures.pop_front();
    if (fail) return;
    ++acquisitions;
    holder = FrameImage::create(width, height);
    holder->row(0)[0] = next_value++;
    if (paint) paint(*holder, code);
  }

 private:
  bool pressed_ = false;
};

}  // namespace noctra::test
