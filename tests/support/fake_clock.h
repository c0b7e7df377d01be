#pragma once
// A millisecond clock that moves only when a test moves it.

#include <cstdint>

#include "config/platform.h"

namespace noctra::test {

class FakeClock : public Clock {
 public:
  explicit FakeClock(int32_t start = 1000) : now(start) {}
  int32_t now_ms() override { return now; }
  void advance(int32_t ms) { now = wrap_add(now, ms); }

  int32_t now;
};

}  // namespace noctra::test
