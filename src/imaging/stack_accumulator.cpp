#include "imaging/stack_accumulator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace noctra {

namespace {

constexpr int kFirstValues = StackAccumulator::kClipFromValue - 1;
constexpr float kMadToSigma = 1.4826F;

// Catmull-Rom weights of the four samples around a point t (0..1) past the
// second of them.
std::array<float, 4> cubic_weights(float t) {
  const float t2 = t * t, t3 = t2 * t;
  return {0.5F * (-t3 + 2 * t2 - t), 0.5F * (3 * t3 - 5 * t2 + 2), 0.5F * (-3 * t3 + 4 * t2 + t),
          0.5F * (t3 - t2)};
}

float bicubic_at(const FloatPlane& frame, int32_t k, int32_t q, float tx, float ty) {
  const std::array<float, 4> wx = cubic_weights(tx), wy = cubic_weights(ty);
  float sum = 0;
  for (int j = 0; j < 4; ++j) {
    const float* row = frame.row(std::clamp(q - 1 + j, 0, frame.height - 1));
    float across = 0;
    for (int i = 0; i < 4; ++i)
      across += wx[static_cast<std::size_t>(i)] * row[std::clamp(k - 1 + i, 0, frame.width - 1)];
    sum += wy[static_cast<std::size_t>(j)] * across;
  }
  return sum;
}

void welford_add(uint32_t& n, float& mean, float& squares, float value) {
  ++n;
  const float delta = value - mean;
  mean += delta / static_cast<float>(n);
  squares += delta * (value - mean);
}

}  // namespace

void resample_plane(const FloatPlane& frame, const RigidTransform& grid_to_frame, Resampling kernel,
                    float* out, int32_t width, int32_t height) {
  const double c = std::cos(grid_to_frame.rotation), s = std::sin(grid_to_frame.rotation);
  const double right = frame.width - 1, top = frame.height - 1;
  for (int32_t y = 0; y < height; ++y) {
    double fx = 0, fy = 0;
    grid_to_frame.to_frame(0, y, fx, fy);
    float* row = out + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int32_t x = 0; x < width; ++x, fx += c, fy += s) {
      if (!(fx >= 0 && fx <= right && fy >= 0 && fy <= top)) {
        row[x] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      const auto k = static_cast<int32_t>(fx), q = static_cast<int32_t>(fy);
      const auto tx = static_cast<float>(fx - k), ty = static_cast<float>(fy - q);
      if (kernel == Resampling::Bicubic) {
        row[x] = bicubic_at(frame, k, q, tx, ty);
        continue;
      }
      const int32_t k1 = std::min(k + 1, frame.width - 1), q1 = std::min(q + 1, frame.height - 1);
      const float* low = frame.row(q);
      const float* high = frame.row(q1);
      const float bottom = low[k] + tx * (low[k1] - low[k]);
      const float upper = high[k] + tx * (high[k1] - high[k]);
      row[x] = bottom + ty * (upper - bottom);
    }
  }
}

void StackAccumulator::start(int32_t width, int32_t height, int channels) {
  width_ = width;
  height_ = height;
  channels_ = channels;
  const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  channels_data_.resize(static_cast<std::size_t>(channels));
  for (Channel& channel : channels_data_) {
    channel.mean.assign(size, 0.0F);
    channel.squares.assign(size, 0.0F);
    channel.count.assign(size, 0);
    channel.first.assign(size * kFirstValues, 0.0F);
  }
  resampled_.assign(size, 0.0F);
  frames_ = 0;
  rejected_ = 0;
}

void StackAccumulator::add(const PlaneFrame& frame, const RigidTransform& grid_to_frame,
                           float sky_noise, Resampling kernel) {
  if (frame.channels != channels_ || channels_ == 0) return;
  const float floor = std::isfinite(sky_noise) ? std::max(sky_noise, 0.0F) : 0.0F;
  for (int c = 0; c < channels_; ++c) {
    resample_plane(frame.planes[static_cast<std::size_t>(c)], grid_to_frame, kernel,
                   resampled_.data(), width_, height_);
    accumulate(channels_data_[static_cast<std::size_t>(c)], resampled_.data(), floor);
  }
  ++frames_;
}

void StackAccumulator::accumulate(Channel& channel, const float* values, float floor) {
  const std::size_t size = channel.mean.size();
  const float floor2 = floor * floor;
  for (std::size_t i = 0; i < size; ++i) {
    const float value = values[i];
    if (std::isnan(value)) continue;
    uint32_t& n = channel.count[i];
    float& mean = channel.mean[i];
    float& squares = channel.squares[i];
    if (n < kFirstValues) {
      channel.first[static_cast<std::size_t>(n) * size + i] = value;
      welford_add(n, mean, squares, value);
      continue;
    }
    if (n == kFirstValues) {
      // The fifth value: all five judged against their median, and the
      // running values made again from those kept.
      std::array<float, kFirstValues + 1> five{};
      for (std::size_t v = 0; v < kFirstValues; ++v) five[v] = channel.first[v * size + i];
      five[kFirstValues] = value;
      std::array<float, kFirstValues + 1> sorted = five;
      std::sort(sorted.begin(), sorted.end());
      const float median = sorted[kFirstValues / 2];
      for (float& v : sorted) v = std::abs(v - median);
      std::sort(sorted.begin(), sorted.end());
      const float spread = std::max(kMadToSigma * sorted[kFirstValues / 2], floor);
      n = 0;
      mean = squares = 0;
      for (const float v : five) {
        if (std::abs(v - median) > kClipSigmas * spread) {
          ++rejected_;
        } else {
          if (n < kFirstValues) channel.first[static_cast<std::size_t>(n) * size + i] = v;
          welford_add(n, mean, squares, v);
        }
      }
      continue;
    }
    const float variance = std::max(squares / static_cast<float>(n - 1), floor2);
    const float deviation = value - mean;
    if (deviation * deviation > kClipSigmas * kClipSigmas * variance) {
      ++rejected_;
      continue;
    }
    welford_add(n, mean, squares, value);
  }
}

}  // namespace noctra
