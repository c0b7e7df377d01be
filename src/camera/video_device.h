#pragma once
// One video capture device as the V4L2 source sees it: open, negotiate a
// format, stream into a few mapped buffers, wait a bounded time for one to
// be filled, take filled buffers without blocking and give them back. The
// system calls live in one small file (v4l2_video_device.cpp); tests use a
// fake.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/status.h"

namespace noctra {

// "BGR3": 24-bit blue, green, red, rows top-down.
inline constexpr uint32_t kPixelFormatBgr24 = 0x33524742;

struct VideoFormat {
  int32_t width = 0;
  int32_t height = 0;
  uint32_t pixel_format = 0;
  uint32_t bytes_per_line = 0;
  int32_t frame_period_ms = 40;
};

struct CapturedBuffer {
  int index = -1;
  int64_t timestamp_us = 0;  // on the clock of VideoDevice::now_us()
  // The stamp marks the end of the frame (most drivers), not the start of
  // its exposure: the picture began one frame period earlier.
  bool stamped_at_frame_end = false;
  std::span<const uint8_t> bytes;
};

class VideoDevice {
 public:
  virtual ~VideoDevice() = default;
  // A failure's message is the system's error text; the caller adds the
  // device's name.
  virtual Status open(const std::string& path) = 0;
  virtual void close() = 0;
  // Asks for the pixel format and size; the device may answer with another
  // size (the nearest it has) or another format, written back into format.
  virtual Status set_format(VideoFormat& format) = 0;
  virtual Status start_streaming(int buffer_count) = 0;
  // Waits at most timeout_ms (0: only looks) until a filled buffer can be
  // taken; true also when the device reports an error or has gone, so that
  // dequeue() says which. Asking for a buffer that is not there yet makes
  // libv4l2 print an error line, so the source asks only after this.
  virtual bool wait_until_ready(int timeout_ms) = 0;
  // A filled buffer, or nothing while none is ready. A failure says whether
  // the device has gone away or the capture failed: "the device has gone
  // away (No such device)", "capture failed: ...".
  virtual Result<std::optional<CapturedBuffer>> dequeue() = 0;
  virtual Status requeue(int index) = 0;
  // The monotonic clock the buffer timestamps are taken on.
  virtual int64_t now_us() = 0;
};

// A device found on the system, for listings and the automatic choice.
struct CaptureDeviceInfo {
  std::string path;  // /dev/video0
  std::string card;  // what the driver calls it
  bool can_capture = false;
};

std::unique_ptr<VideoDevice> make_system_video_device();
std::vector<CaptureDeviceInfo> list_capture_devices();
bool v4l2_support_built();

}  // namespace noctra
