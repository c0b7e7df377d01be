#pragma once
// Frames from a V4L2 capture device (a USB video stick or a capture card
// with the modified camera on its input). The device streams all the time;
// a request shows the still-capture window and, when its button is pressed,
// drops every buffer captured before the press and delivers the first
// picture captured after it: that is the one holding the exposure just read
// out. Where the device hands over one field per buffer, the first field
// after the press (the camera reads the long exposure into it) is woven
// with the field that follows it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "camera/frame_source.h"
#include "camera/still_window.h"
#include "camera/v4l2_choice.h"
#include "camera/v4l2_pictures.h"
#include "camera/video_device.h"
#include "config/platform.h"

namespace noctra {

struct V4l2Options {
  int buffer_count = 4;
  // How long a request waits for the capture button.
  int32_t press_timeout_ms = 10000;
  // After the press: this many frame periods, but at least the minimum.
  int32_t frame_timeout_periods = 10;
  int32_t frame_timeout_min_ms = 500;
  // The longest one look at the device may hold up the event loop while it
  // waits for a filled buffer.
  int32_t ready_wait_ms = 20;
  // Whether the recording takes mono frames, asked at every request: the
  // device's own luma is then taken where it has one (see v4l2_choice.h).
  std::function<bool()> mono;
};

class V4l2Source : public FrameSource {
 public:
  V4l2Source(V4l2Address address, std::unique_ptr<VideoDevice> device, Clock& clock,
             EventPump& pump, StillWindowRegistry& windows, LogSink log, V4l2Options options = {});
  ~V4l2Source() override;

  // Opens, chooses input, standard and format and starts streaming now; a
  // failure names the device and the reason (for an explicitly named
  // source). Streams already with the format the recording needs: nothing.
  Status open_now();

  // A configured device is always worth a try: a missing or vanished one
  // shows as a failed acquisition, not as the previous frame kept.
  bool available() override { return true; }
  std::optional<std::vector<uint8_t>> acquire() override;
  std::optional<int64_t> last_buffer_mono_us() const override { return last_buffer_us_; }
  std::string name() const override { return "v4l2:" + v4l2_address_text(address_); }
  // The size of the frames while the device streams.
  std::optional<FrameSize> frame_size() const override;

  // The device's answer while it streams.
  std::optional<VideoFormat> format() const;
  const V4l2Address& address() const { return address_; }

 private:
  struct Stream {
    VideoFormat format;  // as the device answered
    PixelLayout layout = PixelLayout::Bgr24;
    FrameSize frame;
    bool mono = false;
  };
  // A field held back until the one after it comes.
  struct HeldField {
    int index = -1;
    bool top = true;
    int64_t timestamp_us = 0;
    std::span<const uint8_t> bytes;
  };
  using Polled = Result<std::optional<std::vector<uint8_t>>>;

  Result<Stream> start(bool mono);
  // The first frame captured after the press, nothing while it has not come
  // (after waiting at most wait_ms for the device), or a failure (logged and,
  // where the stream broke, shut down).
  Polled poll_after_press(int64_t press_us, int32_t wait_ms);
  // One buffer's picture: the frame, nothing while its field waits for the
  // next, or why the buffer is refused. Sets `hold` when the buffer must not
  // go back to the device yet.
  Result<std::optional<std::vector<uint8_t>>> take(const CapturedBuffer& buffer, bool& hold);
  Status give_back(int index);
  void release_held();
  void drop_ready_buffers();
  void fail(const std::string& reason);  // logs, once per distinct reason
  void note(const std::string& text);    // logs, once for this source
  void shut_down();
  std::string prefix() const { return "v4l2:" + address_.path + ": "; }

  V4l2Address address_;
  std::unique_ptr<VideoDevice> device_;
  Clock& clock_;
  EventPump& pump_;
  StillWindowRegistry& windows_;
  LogSink log_;
  V4l2Options options_;
  std::optional<Stream> stream_;  // set while streaming
  std::optional<HeldField> held_;
  std::string last_logged_;
  std::set<std::string> noted_;
  std::optional<int64_t> last_buffer_us_;
};

}  // namespace noctra
