// Random frames through the live stack: the star list of a float plane (its
// samples from the bytes as levels, or as raw floats with infinities and
// NaNs), the nearest-star search on it, and two raw frames stacked. Checks
// what the list promises: at most its capacity, brightest first, every star
// whole inside the frame with finite numbers.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imaging/plane_frame.h"
#include "imaging/stack_engine.h"
#include "imaging/star_list.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void check(const noctra::StarList& list, int capacity, int32_t width, int32_t height) {
  require(list.count >= 0 && list.count <= capacity);
  require((list.count == 0) == (list.miss != noctra::StarMiss::None));
  for (int i = 0; i < list.count; ++i) {
    const noctra::ListedStar& s = list.stars[static_cast<std::size_t>(i)];
    require(std::isfinite(s.x) && std::isfinite(s.row) && std::isfinite(s.fwhm));
    require(s.x >= 0 && s.x <= width - 1 && s.row >= 0 && s.row <= height - 1);
    require(i == 0 || list.stars[static_cast<std::size_t>(i - 1)].flux >= s.flux);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int32_t width = in.ConsumeIntegralInRange<int32_t>(1, 96);
  const int32_t height = in.ConsumeIntegralInRange<int32_t>(1, 64);
  const bool raw_floats = in.ConsumeBool();
  const int capacity = in.ConsumeIntegralInRange<int>(1, noctra::kStarListCapacity);
  noctra::PlaneBuffer planes;
  planes.shape(width, height, 1);
  float* samples = planes.plane(0);
  for (std::size_t i = 0; i < planes.plane_size(); ++i) {
    if (raw_floats) {
      const uint32_t bits = in.ConsumeIntegral<uint32_t>();
      std::memcpy(&samples[i], &bits, sizeof bits);
    } else {
      samples[i] = in.ConsumeIntegral<uint8_t>();
    }
  }
  noctra::StarFinder finder;
  noctra::StarList list;
  const noctra::FloatPlane plane = planes.view().planes[0];
  finder.find(plane, list, capacity);
  check(list, capacity, width, height);
  const auto near = noctra::find_star_near(plane, in.ConsumeFloatingPointInRange<double>(-50, 250),
                                           in.ConsumeFloatingPointInRange<double>(-50, 200));
  require(near.star.has_value() == (near.miss == noctra::StarMiss::None));

  // The same bytes as two grey frames, stacked (the second shifted by a
  // pixel), and a frame of another size after them.
  auto first = noctra::FrameImage::create(width, height);
  auto second = noctra::FrameImage::create(width, height);
  require(first && second);
  for (int32_t q = 0; q < height; ++q) {
    for (int32_t k = 0; k < width; ++k) {
      const float v = samples[static_cast<std::size_t>(q) * width + k];
      const auto byte =
          static_cast<uint8_t>(std::isfinite(v) ? std::fmod(std::fabs(v), 256.0F) : 0);
      std::memset(first->row(q) + 3 * k, byte, 3);
      std::memset(second->row(q) + 3 * ((k + 1) % width), byte, 3);
    }
  }
  noctra::StackEngine engine;
  engine.add(*first, 0);
  engine.add(*second, 1);
  auto other = noctra::FrameImage::create(width + 1, height);
  require(other.has_value());
  const noctra::StackFrameReport report = engine.add(*other, 2);
  require(!engine.started() || report.verdict == noctra::FrameVerdict::Size);
  require(engine.stacked_frames() + engine.rejected_frames() == 3);
  return 0;
}
