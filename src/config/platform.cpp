#include "config/platform.h"

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <chrono>

namespace noctra {

int32_t SteadyClock::now_ms() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ms)));
}

void give_way_to_exposure_timing() {
#ifdef __linux__
  constexpr int kBackgroundNice = 10;
  setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kBackgroundNice);
#endif
}

}  // namespace noctra
