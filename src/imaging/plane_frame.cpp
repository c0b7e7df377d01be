#include "imaging/plane_frame.h"

namespace noctra {

bool PlaneBuffer::shape(int32_t width, int32_t height, int channels) {
  if (width <= 0 || height <= 0 || width > kMaxFrameDimension || height > kMaxFrameDimension ||
      channels < 1 || channels > kMaxChannels) {
    width_ = height_ = channels_ = 0;
    return false;
  }
  width_ = width;
  height_ = height;
  channels_ = channels;
  const std::size_t wanted = plane_size() * static_cast<std::size_t>(channels);
  if (samples_.size() < wanted) samples_.resize(wanted);
  return true;
}

PlaneFrame PlaneBuffer::view(float saturation) const {
  PlaneFrame frame;
  frame.width = width_;
  frame.height = height_;
  frame.channels = channels_;
  for (int c = 0; c < channels_; ++c) {
    frame.planes[static_cast<std::size_t>(c)] = {plane(c), width_, height_, width_, saturation};
  }
  return frame;
}

bool is_grey_frame(const FrameImage& frame) {
  const std::size_t bytes = static_cast<std::size_t>(frame.width()) * kBytesPerPixel;
  for (int32_t q = 0; q < frame.height(); ++q) {
    const uint8_t* p = frame.row(q);
    for (std::size_t i = 0; i < bytes; i += kBytesPerPixel) {
      if (p[i] != p[i + 1] || p[i] != p[i + 2]) return false;
    }
  }
  return true;
}

void planes_from_frame(const FrameImage& frame, PlaneBuffer& out, int channels) {
  if (channels != 1 && channels != kMaxChannels) channels = is_grey_frame(frame) ? 1 : kMaxChannels;
  out.shape(frame.width(), frame.height(), channels);
  const auto width = static_cast<std::size_t>(frame.width());
  for (int c = 0; c < channels; ++c) {
    for (int32_t q = 0; q < frame.height(); ++q) {
      const uint8_t* p = frame.row(q) + c;
      float* row = out.plane(c) + static_cast<std::size_t>(q) * width;
      for (std::size_t k = 0; k < width; ++k) row[k] = p[k * kBytesPerPixel];
    }
  }
}

}  // namespace noctra
