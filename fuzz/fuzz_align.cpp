// Random star lists through the alignment: any positions, brightnesses and
// counts (up to the list's capacity), any prediction, and lists that are one
// another moved by a transform (so the searches find something to match).
// Checks that a found transform is finite and matches no more stars than
// either list holds.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "imaging/star_align.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

noctra::StarList random_list(FuzzedDataProvider& in) {
  noctra::StarList list;
  list.count = in.ConsumeIntegralInRange<int>(0, noctra::kStarListCapacity);
  for (int i = 0; i < list.count; ++i) {
    noctra::ListedStar& s = list.stars[static_cast<std::size_t>(i)];
    s.x = in.ConsumeFloatingPointInRange<float>(-100, 900);
    s.row = in.ConsumeFloatingPointInRange<float>(-100, 700);
    s.flux = in.ConsumeFloatingPointInRange<float>(0, 1e5F);
    s.snr = in.ConsumeFloatingPointInRange<float>(0, 1000);
    s.fwhm = in.ConsumeFloatingPointInRange<float>(0.5F, 10);
    s.saturated = in.ConsumeBool();
  }
  list.miss = list.count > 0 ? noctra::StarMiss::None : noctra::StarMiss::NoCandidate;
  return list;
}

noctra::RigidTransform random_transform(FuzzedDataProvider& in) {
  noctra::RigidTransform t;
  t.cx = 359.5;
  t.cy = 287.5;
  t.dx = in.ConsumeFloatingPointInRange<double>(-100, 100);
  t.dy = in.ConsumeFloatingPointInRange<double>(-100, 100);
  t.rotation = in.ConsumeFloatingPointInRange<double>(-0.1, 0.1);
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const noctra::StarList reference = random_list(in);
  const bool moved_copy = in.ConsumeBool();
  const noctra::RigidTransform truth = random_transform(in);
  noctra::StarList frame = moved_copy ? reference : random_list(in);
  if (moved_copy) {
    for (int i = 0; i < frame.count; ++i) {
      noctra::ListedStar& s = frame.stars[static_cast<std::size_t>(i)];
      double x = 0, y = 0;
      truth.to_frame(s.x, s.row, x, y);
      s.x = static_cast<float>(x);
      s.row = static_cast<float>(y);
    }
  }
  const noctra::RigidTransform prediction = random_transform(in);
  const noctra::Alignment a = noctra::align_stars(reference, frame, prediction);
  require(a.matched >= 0 && a.matched <= std::min(reference.count, frame.count));
  if (a.found) {
    require(std::isfinite(a.transform.dx) && std::isfinite(a.transform.dy) &&
            std::isfinite(a.transform.rotation) && std::isfinite(a.residual_rms));
  }
  return 0;
}
