#include "config/platform.h"

#include <chrono>

namespace noctra {

int32_t SteadyClock::now_ms() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ms)));
}

}  // namespace noctra
