#pragma once
// Frames from a V4L2 capture device (a USB video stick or a capture card
// with the modified camera on its input). The device streams all the time;
// a request shows the still-capture window and, when its button is pressed,
// drops every buffer captured before the press and delivers the first one
// captured after it: that is the frame holding the exposure just read out.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camera/frame_source.h"
#include "camera/still_window.h"
#include "camera/video_device.h"
#include "config/platform.h"

namespace noctra {

struct V4l2Options {
  int32_t width = 640;
  int32_t height = 480;
  int buffer_count = 4;
  // How long a request waits for the capture button.
  int32_t press_timeout_ms = 10000;
  // After the press: this many frame periods, but at least the minimum.
  int32_t frame_timeout_periods = 10;
  int32_t frame_timeout_min_ms = 500;
  // The longest one look at the device may hold up the event loop while it
  // waits for a filled buffer.
  int32_t ready_wait_ms = 20;
};

// Top-down rows of 3-byte pixels (bytes_per_line apart) into a packed DIB:
// header, bottom-up rows at a 4-byte stride, four trailing bytes. Nothing
// when the buffer is too short for the rows or the geometry is not sane.
std::optional<std::vector<uint8_t>> top_down_bgr_to_dib(std::span<const uint8_t> bytes,
                                                        int32_t width, int32_t height,
                                                        uint32_t bytes_per_line);

class V4l2Source : public FrameSource {
 public:
  V4l2Source(std::string path, std::unique_ptr<VideoDevice> device, Clock& clock, EventPump& pump,
             StillWindowRegistry& windows, LogSink log, V4l2Options options = {});
  ~V4l2Source() override;

  // Opens, negotiates and starts streaming now; a failure names the device
  // and the reason (for an explicitly named source).
  Status open_now();

  // A configured device is always worth a try: a missing or vanished one
  // shows as a failed acquisition, not as the previous frame kept.
  bool available() override { return true; }
  std::optional<std::vector<uint8_t>> acquire() override;
  std::optional<int64_t> last_buffer_mono_us() const override { return last_buffer_us_; }
  std::string name() const override { return "v4l2:" + path_; }
  // The negotiated size while the device streams.
  std::optional<FrameSize> frame_size() const override;

  const std::optional<VideoFormat>& format() const { return format_; }

 private:
  // The first frame captured after the press, nothing while it has not come
  // (after waiting at most wait_ms for the device), or a failure (logged and,
  // where the stream broke, shut down).
  Result<std::optional<std::vector<uint8_t>>> poll_after_press(int64_t press_us, int32_t wait_ms);
  void drop_ready_buffers();
  void fail(const std::string& reason);  // logs, once per distinct reason
  void shut_down();

  std::string path_;
  std::unique_ptr<VideoDevice> device_;
  Clock& clock_;
  EventPump& pump_;
  StillWindowRegistry& windows_;
  LogSink log_;
  V4l2Options options_;
  std::optional<VideoFormat> format_;  // set while streaming
  std::string last_logged_;
  std::optional<int64_t> last_buffer_us_;
};

}  // namespace noctra
