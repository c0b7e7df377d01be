#include "imaging/stack_stretch.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace noctra {

namespace {

constexpr std::size_t kMostSamples = 1 << 16;
constexpr float kMadToSigma = 1.4826F;

float median_of(std::vector<float>& values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// The midtones balance that shows level x (0..1) as `shown`:
// mtf(m, x) = (m - 1) x / ((2m - 1) x - m) solved for m.
float midtone_for(float x, float shown) {
  if (!(x > 0 && x < 1)) return 0.5F;
  return std::clamp(x * (shown - 1) / (2 * shown * x - shown - x), 1e-4F, 1 - 1e-4F);
}

// The rows of stored row q of each channel in B, G, R order (the one plane
// three times for a grey stack).
std::array<const float*, 3> channel_rows(const PlaneFrame& stack, int32_t q) {
  std::array<const float*, 3> rows{};
  for (std::size_t b = 0; b < 3; ++b) rows[b] = stack.planes[stack.channels == 1 ? 0 : b].row(q);
  return rows;
}

}  // namespace

float StackStretch::apply(float value) const {
  const float x = std::clamp((value - black) / (white - black), 0.0F, 1.0F);
  if (!(x == x)) return 0;  // NaN
  const float m = midtone;
  return (m - 1) * x / ((2 * m - 1) * x - m);
}

StackStretch auto_stack_stretch(const PlaneFrame& stack, std::vector<float>& scratch) {
  StackStretch stretch;
  const std::size_t pixels =
      static_cast<std::size_t>(stack.width) * static_cast<std::size_t>(stack.height);
  if (pixels == 0 || stack.channels <= 0) return stretch;
  const std::size_t step = std::max<std::size_t>(1, pixels / kMostSamples);
  scratch.clear();
  float brightest = -INFINITY;
  const std::size_t width = static_cast<std::size_t>(stack.width);
  for (int c = 0; c < stack.channels; ++c) {
    const FloatPlane& plane = stack.planes[static_cast<std::size_t>(c)];
    for (int32_t q = 0; q < stack.height; ++q) {
      const float* row = plane.row(q);
      for (std::size_t k = 0; k < width; ++k) {
        if (std::isfinite(row[k])) brightest = std::max(brightest, row[k]);
      }
    }
    for (std::size_t i = 0; i < pixels; i += step) {
      const float v = plane.row(static_cast<int32_t>(i / width))[i % width];
      if (std::isfinite(v)) scratch.push_back(v);
    }
  }
  if (scratch.empty()) return stretch;
  const float median = median_of(scratch);
  for (float& v : scratch) v = std::abs(v - median);
  const float sigma = kMadToSigma * median_of(scratch);
  stretch.black = median - kStretchShadowSigmas * sigma;
  stretch.white = std::max(brightest, stretch.black + 1e-3F);
  stretch.midtone =
      midtone_for((median - stretch.black) / (stretch.white - stretch.black), kStretchSkyLevel);
  return stretch;
}

void render_stretched(const PlaneFrame& stack, const StackStretch& stretch, FrameImage& out) {
  const int32_t width = std::min(stack.width, out.width());
  const int32_t height = std::min(stack.height, out.height());
  for (int32_t q = 0; q < height; ++q) {
    const std::array<const float*, 3> rows = channel_rows(stack, q);
    uint8_t* row = out.row(q);
    for (int32_t k = 0; k < width; ++k) {
      for (std::size_t b = 0; b < 3; ++b) {
        *row++ = static_cast<uint8_t>(std::lround(255 * stretch.apply(rows[b][k])));
      }
    }
  }
}

void stretched_rows16(const PlaneFrame& stack, const StackStretch& stretch,
                      std::vector<uint16_t>& out) {
  const std::size_t samples = stack.channels == 1 ? 1 : 3;
  out.resize(static_cast<std::size_t>(stack.width) * static_cast<std::size_t>(stack.height) *
             samples);
  uint16_t* at = out.data();
  for (int32_t q = stack.height - 1; q >= 0; --q) {
    const std::array<const float*, 3> rows = channel_rows(stack, q);
    for (int32_t k = 0; k < stack.width; ++k) {
      // R, G, B: the planes' channels 2, 1, 0.
      for (std::size_t s = samples; s-- > 0;) {
        *at++ = static_cast<uint16_t>(std::lround(65535 * stretch.apply(rows[s][k])));
      }
    }
  }
}

}  // namespace noctra
