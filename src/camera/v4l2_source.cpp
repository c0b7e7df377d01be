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
  std::vector<uint8_t> dib(
      kBitmapHeaderSize + stride * static_cast<std::size_t>(height) + kFrameTrailingBytes, 0);
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

Status V4l2Source::open_now() {
  if (format_) return {};
  const std::string prefix = name() + ": ";
  if (Status opened = device_->open(path_); !opened) return failure(prefix + opened.message());
  VideoFormat wanted{options_.width, options_.height, kPixelFormatBgr24, 0, 40};
  // Negotiates the format and starts the stream; the device stays open.
  auto start = [&]() -> Status {
    if (Status set = device_->set_format(wanted); !set) return set;
    if (wanted.pixel_format != kPixelFormatBgr24) {
      return failure("the device cannot deliver 24-bit BGR pictures");
    }
    if (wanted.width <= 0 || wanted.height <= 0 || wanted.width > kMaxFrameDimension ||
        wanted.height > kMaxFrameDimension) {
      return failure("the device offers an unusable picture size " + std::to_string(wanted.width) +
                     "x" + std::to_string(wanted.height));
    }
    const uint32_t row_bytes = 3U * static_cast<uint32_t>(wanted.width);
    if (wanted.bytes_per_line == 0) wanted.bytes_per_line = row_bytes;
    if (wanted.bytes_per_line < row_bytes) {
      return failure("the device reports rows shorter than its width");
    }
    return device_->start_streaming(options_.buffer_count);
  };
  if (Status started = start(); !started) {
    device_->close();
    return failure(prefix + started.message());
  }
  wanted.frame_period_ms = std::clamp(wanted.frame_period_ms, 1, 10000);
  format_ = wanted;
  return {};
}

Result<std::optional<std::vector<uint8_t>>> V4l2Source::poll_after_press(int64_t press_us,
                                                                         int32_t wait_ms) {
  for (;;) {
    if (!device_->wait_until_ready(wait_ms)) return std::optional<std::vector<uint8_t>>();
    wait_ms = 0;  // an old buffer was dropped: the next one is looked at only
    Result<std::optional<CapturedBuffer>> dequeued = device_->dequeue();
    if (!dequeued) {
      fail(name() + ": " + dequeued.message());
      shut_down();
      return failure(dequeued.message());
    }
    if (!*dequeued) return std::optional<std::vector<uint8_t>>();
    const CapturedBuffer& buffer = **dequeued;
    // Buffers begun before the press hold video from before the read-out. A
    // stamp taken at the end of the frame is a frame period after its start.
    const int64_t begun_us = buffer.stamped_at_frame_end
                                 ? buffer.timestamp_us - int64_t{format_->frame_period_ms} * 1000
                                 : buffer.timestamp_us;
    const bool stale = begun_us <= press_us;
    std::optional<std::vector<uint8_t>> frame;
    if (!stale) {
      frame = top_down_bgr_to_dib(buffer.bytes, format_->width, format_->height,
                                  format_->bytes_per_line);
    }
    if (Status requeued = device_->requeue(buffer.index); !requeued) {
      fail(name() + ": capture failed: " + requeued.message());
      shut_down();
      return failure(requeued.message());
    }
    if (stale) continue;
    if (!frame) {
      fail(name() + ": the device delivered a picture shorter than its format");
      return failure("short picture");
    }
    last_buffer_us_ = buffer.timestamp_us;
    return frame;
  }
}

void V4l2Source::drop_ready_buffers() {
  for (int i = 0; i < 64 && format_ && device_->wait_until_ready(0); ++i) {
    Result<std::optional<CapturedBuffer>> dequeued = device_->dequeue();
    if (!dequeued || !*dequeued) return;
    if (!device_->requeue((*dequeued)->index)) return;  // the wait will report it
  }
}

std::optional<FrameSize> V4l2Source::frame_size() const {
  if (!format_) return std::nullopt;
  return FrameSize{format_->width, format_->height};
}

std::optional<std::vector<uint8_t>> V4l2Source::acquire() {
  if (Status opened = open_now(); !opened) {
    fail(opened.message());
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
  // Nothing while waiting; then the frame, or a failure already logged.
  Result<std::optional<std::vector<uint8_t>>> polled = std::optional<std::vector<uint8_t>>();
  auto waiting = [&] { return polled.ok() && !*polled; };
  pump_.run_until([&] {
    if (waiting() && format_) {
      const int32_t left = timeout_ms - wrap_sub(clock_.now_ms(), pressed_at);
      polled = poll_after_press(press_us, std::clamp(left, 0, options_.ready_wait_ms));
    }
    return !waiting() || wrap_sub(clock_.now_ms(), pressed_at) >= timeout_ms;
  });
  if (!waiting()) {
    if (!polled) return std::nullopt;
    last_logged_.clear();
    return std::move(*polled);
  }
  if (!pump_.quitting()) {
    fail(name() + ": no frame within " + std::to_string(timeout_ms) +
         " ms of the still press (is the device still delivering video?)");
    shut_down();
  }
  return std::nullopt;
}

}  // namespace noctra
