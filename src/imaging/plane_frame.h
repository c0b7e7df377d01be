#pragma once
// A frame as float samples, one plane per colour channel: what calibration
// gives (a raw frame less its dark, over its flat) and what the live stack
// takes and keeps. Rows in the frame's stored order (row 0 = bottom line of
// the picture); a monochrome frame (B = G = R) has one channel, a colour
// frame three, in the frame's order blue, green, red.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/frame_image.h"
#include "imaging/star_measure.h"

namespace noctra {

inline constexpr int kMaxChannels = 3;

// A view of some planes that someone else owns.
struct PlaneFrame {
  int32_t width = 0;
  int32_t height = 0;
  int channels = 0;  // 1 or 3
  std::array<FloatPlane, kMaxChannels> planes{};
};

// Planes owned in one block, reused from frame to frame: the block only
// grows, so frames of one size never touch the heap after the first.
class PlaneBuffer {
 public:
  // Makes room for width x height x channels samples (1 to kMaxChannels
  // channels); false, leaving the buffer empty, for a size that is not a
  // frame's.
  bool shape(int32_t width, int32_t height, int channels);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int channels() const { return channels_; }
  float* plane(int channel) {
    return samples_.data() + static_cast<std::size_t>(channel) * plane_size();
  }
  const float* plane(int channel) const {
    return samples_.data() + static_cast<std::size_t>(channel) * plane_size();
  }
  std::size_t plane_size() const {
    return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
  }
  PlaneFrame view(float saturation = 255) const;

 private:
  int32_t width_ = 0;
  int32_t height_ = 0;
  int channels_ = 0;
  std::vector<float> samples_;
};

// Whether every pixel of the frame has B = G = R.
bool is_grey_frame(const FrameImage& frame);

// The frame's pixels as planes: one (the blue byte) for a grey frame, three
// otherwise; channels 0 lets the frame decide, 1 or 3 forces that many.
void planes_from_frame(const FrameImage& frame, PlaneBuffer& out, int channels = 0);

}  // namespace noctra
