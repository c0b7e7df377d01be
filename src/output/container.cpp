#include "output/container.h"

#include <cstring>
#include <system_error>

namespace noctra {

std::string ContainerStatus::reason() const {
  return error != 0 ? std::generic_category().message(error) : detail;
}

ContainerStatus ContainerStatus::open_failed(int error, std::string file) {
  return {ContainerFailure::Open, error, {}, std::move(file)};
}

ContainerStatus ContainerStatus::stream_not_created(int error) {
  return {ContainerFailure::Stream, error, {}, {}};
}

ContainerStatus ContainerStatus::format_refused() { return {ContainerFailure::Format, 0, {}, {}}; }

ContainerStatus ContainerStatus::write_failed(int error, std::string file, std::string detail) {
  return {ContainerFailure::Write, error, std::move(detail), std::move(file)};
}

ContainerStatus ContainerStatus::refused(std::string detail) {
  return {ContainerFailure::Refused, 0, std::move(detail), {}};
}

void take_luma(const FrameImage& frame, uint8_t* into, std::size_t stride, bool top_down) {
  const int32_t height = frame.height();
  const auto width = static_cast<std::size_t>(frame.width());
  for (int32_t r = 0; r < height; ++r) {
    const uint8_t* from = frame.row(r);
    uint8_t* to = into + static_cast<std::size_t>(top_down ? height - 1 - r : r) * stride;
    for (std::size_t x = 0; x < width; ++x) to[x] = from[3 * x];
    std::memset(to + width, 0, stride - width);
  }
}

ContainerStatus refuse_other_size(const FrameImage& frame, int32_t width, int32_t height) {
  if (frame.width() == width && frame.height() == height) return ContainerStatus::success();
  return ContainerStatus::refused(
      "its size " + std::to_string(frame.width()) + "x" + std::to_string(frame.height()) +
      " differs from the recording's " + std::to_string(width) + "x" + std::to_string(height));
}

}  // namespace noctra
