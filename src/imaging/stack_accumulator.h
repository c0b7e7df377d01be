#pragma once
// The live stack's picture: each frame resampled onto the reference frame's
// grid and added to a running mean with per-pixel sigma rejection.
//
// Per pixel and channel the mean and the sum of squared deviations grow by
// Welford's update. From the fifth value of a pixel on, a value farther than
// 3 sigma from the mean is left out (a satellite, an aircraft, a hot pixel
// that moved with the drift). The first four values of each pixel are kept
// as well, so the fifth judges all five against their median: a trail in one
// of the first frames goes too. Sigma is never taken below the frames' own
// sky noise, so a pixel whose first values happen to agree does not reject
// the next honest one.
//
// Memory is fixed when the stack starts: per channel the mean, the squared
// deviations, the count and the four first values, nothing that grows with
// the number of frames.

#include <cstdint>
#include <vector>

#include "imaging/plane_frame.h"
#include "imaging/star_align.h"

namespace noctra {

enum class Resampling : uint8_t {
  Bilinear,  // the stack's: smooth, cheap, widens a star a little
  Bicubic,   // Catmull-Rom: sharper, four times the work
};

// The frame's plane resampled at each pixel of a width x height grid, where
// grid_to_frame carries the grid's points into the frame. Pixels whose
// neighbourhood falls off the frame come out NaN.
void resample_plane(const FloatPlane& frame, const RigidTransform& grid_to_frame, Resampling kernel,
                    float* out, int32_t width, int32_t height);

class StackAccumulator {
 public:
  static constexpr int kClipFromValue = 5;
  static constexpr float kClipSigmas = 3.0F;

  // An empty stack of that size; allocates (the only place that does).
  void start(int32_t width, int32_t height, int channels);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int channels() const { return channels_; }
  int64_t frames() const { return frames_; }
  // Values left out by the rejection so far, over all pixels and channels.
  int64_t rejected_values() const { return rejected_; }

  // Adds a frame of the stack's channel count, resampled by the transform
  // (grid to frame); sky_noise is the frame's own, sigma's floor.
  void add(const PlaneFrame& frame, const RigidTransform& grid_to_frame, float sky_noise,
           Resampling kernel = Resampling::Bilinear);

  // The mean of each pixel (0 where no frame reached).
  const float* mean(int channel) const { return planes(channel).mean.data(); }
  const uint32_t* counts(int channel) const { return planes(channel).count.data(); }

 private:
  struct Channel {
    std::vector<float> mean;
    std::vector<float> squares;  // sum of squared deviations from the mean
    std::vector<uint32_t> count;
    std::vector<float> first;  // the first kClipFromValue - 1 values, one plane each
  };
  const Channel& planes(int channel) const {
    return channels_data_[static_cast<std::size_t>(channel)];
  }
  void accumulate(Channel& channel, const float* values, float floor);

  int32_t width_ = 0;
  int32_t height_ = 0;
  int channels_ = 0;
  int64_t frames_ = 0;
  int64_t rejected_ = 0;
  std::vector<Channel> channels_data_;
  std::vector<float> resampled_;
};

}  // namespace noctra
