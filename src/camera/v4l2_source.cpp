#include "camera/v4l2_source.h"

#include <algorithm>
#include <cstring>

#include "imaging/frame_image.h"

namespace noctra {

std::optional<std::vector<uint8_t>> top_down_bgr_to_dib(std::span<const uint8_t> bytes,
                                                        int32_t width, int32_t height,
                                                        uint32_t bytes_per_line) {
  if (width <= 0 || height <= 0 || width > kMaxFrameDimension || height > kMaxFrameDimension) {
    return std::nullopt;
  }
  const std::size_t row_bytes = std::size_t{3} * static_cast<std::size_t>(width);
  if (bytes_per_line < row_bytes) return std::nullopt;
  const std::size_t needed =
      std::size_t{bytes_per_line} * static_cast<std::size_t>(height - 1) + row_bytes;
  if (bytes.size() < needed) return std::nullopt;

  const std::size_t stride = *row_stride_for(width, 24);
  std::vector<uint8_t> dib(kBitmapHeaderSize + stride * static_cast<std::size_t>(height) +
                               kFrameTrailingBytes,
                           0);
  BitmapInfoHeader header;
  header.width = width;
  header.height = height;
  header.size_image = static_cast<uint32_t>(stride * static_cast<std::size_t>(height));
  write_bitmap_header(header, dib.data());
  for (int32_t stored = 0; stored < height; ++stored) {
    const std::size_t source_row = static_cast<std::size_t>(height - 1 - stored);
    std::memcpy(dib.data() + kBitmapHeaderSize + static_cast<std::size_t>(stored) * stride,
                bytes.data() + source_row * bytes_per_line, row_bytes);
  }
  return dib;
}

V4l2Source::V4l2Source(std::string path, std::unique_ptr<VideoDevice> device, Clock& clock,
                       EventPump& pump, StillWindowRegistry& windows, LogSink log,
                       V4l2Options options)
    : path_(std::move(path)), device_(std::move(device)), clock_(clock), pump_(pump),
      windows_(windows), log_(std::move(log)), options_(options) {}

V4l2Source::~V4l2Source() { shut_down(); }

void V4l2Source::shut_down() {
  if (format_) device_->close();
  format_.reset();
}

void V4l2Source::fail(const std::string& reason) {
  // A device that stays missing would otherwise say so at every exposure.
  if (reason == last_logged_) return;
  last_logged_ = reason;
  if (log_) log_(reason);
}

std::string V4l2Source::open_now() {
  if (format_) return {};
  const std::string prefix = name() + ": ";
  std::string error = device_->open(path_);
  if (!error.empty()) return prefix + error;
  VideoFormat wanted{options_.width, options_.height, kPixelFormatBgr24, 0, 40};
  error = device_->set_format(wanted);
  if (error.empty() && wanted.pixel_format != kPixelFormatBgr24) {
    error = "the device cannot deliver 24-bit BGR pictures";
  }
  if (error.empty() && (wanted.width <= 0 || wanted.height <= 0 ||
                        wanted.width > kMaxFrameDimension || wanted.height > kMaxFrameDimension)) {
    error = "the device offers an unusable picture size " + std::to_string(wanted.width) + "x" +
            std::to_string(wanted.height);
  }
  if (error.empty()) {
    const uint32_t row_bytes = 3U * static_cast<uint32_t>(wanted.width);
    if (wanted.bytes_per_line == 0) wanted.bytes_per_line = row_bytes;
    if (wanted.bytes_per_line < row_bytes) error = "the device reports rows shorter than its width";
  }
  if (error.empty()) error = device_->start_streaming(options_.buffer_count);
  if (!error.empty()) {
    device_->close();
    return prefix + error;
  }
  wanted.frame_period_ms = std::clamp(wanted.frame_period_ms, 1, 10000);
  format_ = wanted;
  return {};
}

V4l2Source::Poll V4l2Source::poll_after_press(int64_t press_us,
                                              std::optional<std::vector<uint8_t>>& frame) {
  for (;;) {
    CapturedBuffer buffer;
    std::string error;
    switch (device_->dequeue(buffer, error)) {
      case DequeueResult::NotReady:
        return Poll::Waiting;
      case DequeueResult::Gone:
        fail(name() + ": the device has gone away (" + error + ")");
        shut_down();
        return Poll::Failed;
      case DequeueResult::Failed:
        fail(name() + ": capture failed: " + error);
        shut_down();
        return Poll::Failed;
      case DequeueResult::Frame:
        break;
    }
    // Buffers filled before the press hold video from before the read-out.
    const bool stale = buffer.timestamp_us <= press_us;
    if (!stale) {
      frame = top_down_bgr_to_dib(buffer.bytes, format_->width, format_->height,
                                  format_->bytes_per_line);
    }
    const std::string requeue_error = device_->requeue(buffer.index);
    if (!requeue_error.empty()) {
      fail(name() + ": capture failed: " + requeue_error);
      shut_down();
      return Poll::Failed;
    }
    if (stale) continue;
    if (!frame) {
      fail(name() + ": the device delivered a picture shorter than its format");
      return Poll::Failed;
    }
    return Poll::Delivered;
  }
}

void V4l2Source::drop_ready_buffers() {
  for (int i = 0; i < 64 && format_; ++i) {
    CapturedBuffer buffer;
    std::string error;
    if (device_->dequeue(buffer, error) != DequeueResult::Frame) return;
    if (!device_->requeue(buffer.index).empty()) return;  // the wait will report it
  }
}

std::optional<std::vector<uint8_t>> V4l2Source::acquire() {
  const std::string error = open_now();
  if (!error.empty()) {
    fail(error);
    return std::nullopt;
  }

  int64_t press_us = 0;
  const StillPress press =
      wait_for_still_press(windows_, clock_, pump_, options_.press_timeout_ms, [&] {
        press_us = device_->now_us();
        // Whatever is ready now was captured before the press, whatever its
        // stamp says (some drivers do not stamp on the monotonic clock).
        drop_ready_buffers();
      });
  if (press != StillPress::Pressed) {
    if (press == StillPress::TimedOut) {
      fail(still_press_missed_text(name(), options_.press_timeout_ms));
    }
    return std::nullopt;
  }

  const int32_t timeout_ms = std::max(options_.frame_timeout_periods * format_->frame_period_ms,
                                      options_.frame_timeout_min_ms);
  const int32_t pressed_at = clock_.now_ms();
  std::optional<std::vector<uint8_t>> frame;
  Poll state = Poll::Waiting;
  pump_.run_until([&] {
    if (state == Poll::Waiting && format_) state = poll_after_press(press_us, frame);
    return state != Poll::Waiting || wrap_sub(clock_.now_ms(), pressed_at) >= timeout_ms;
  });
  if (state == Poll::Delivered) {
    last_logged_.clear();
    return frame;
  }
  if (state == Poll::Waiting && !pump_.quitting()) {
    fail(name() + ": no frame within " + std::to_string(timeout_ms) +
         " ms of the still press (is the device still delivering video?)");
    shut_down();
  }
  return std::nullopt;
}

}  // namespace noctra
