// Arbitrary bytes as a master file of the calibration library, then, when
// they load, the master used as a dark on a frame of its size. Besides the
// sanitizers' checks, it checks what the loader promises: a refusal says
// why, and a master it returns has the size and samples it claims, all of
// them numbers.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "output/calibration_library.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace noctra;
  const Result<StoredMaster> loaded = decode_master_fits(std::span(data, size));
  if (!loaded) {
    require(!loaded.message().empty());
    return 0;
  }
  const FloatPlanes& image = loaded->master.image;
  require(image.channels == 1 || image.channels == 3);
  require(image.width == loaded->identity.width && image.height == loaded->identity.height);
  require(image.samples.size() == image.plane_size() * static_cast<std::size_t>(image.channels));
  for (float v : image.samples) require(std::isfinite(v));

  std::optional<FrameImage> frame = FrameImage::create(image.width, image.height);
  require(frame.has_value());
  for (std::size_t i = 0; i < frame->rows_size(); ++i)
    frame->rows()[i] = static_cast<uint8_t>(i * 7);
  const auto calibrator = Calibrator::prepare({nullptr, &loaded->master, nullptr},
                                              neighbour_row_step(loaded->identity));
  require(calibrator.has_value());
  FloatPlanes out;
  calibrator->calibrate(*frame, loaded->master.times, {}, out);
  require(out.width == image.width && out.height == image.height);
  return 0;
}
