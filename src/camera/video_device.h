#pragma once
// One video capture device as the V4L2 source sees it: open, say what it
// offers (pixel formats, sizes, inputs, TV standards), choose an input and a
// standard, negotiate a format, stream into a few mapped buffers, wait a
// bounded time for one to be filled, take filled buffers without blocking and
// give them back. The system calls live in one small file
// (v4l2_video_device.cpp); tests use a fake.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camera/frame_source.h"
#include "config/status.h"

namespace noctra {

constexpr uint32_t four_cc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

// 24-bit blue, green, red; 24-bit red, green, blue; 8-bit luma; 4:2:2 with
// the luma first (Y U Y V) or second (U Y V Y) in each pair of bytes.
inline constexpr uint32_t kPixelFormatBgr24 = four_cc('B', 'G', 'R', '3');
inline constexpr uint32_t kPixelFormatRgb24 = four_cc('R', 'G', 'B', '3');
inline constexpr uint32_t kPixelFormatGrey = four_cc('G', 'R', 'E', 'Y');
inline constexpr uint32_t kPixelFormatYuyv = four_cc('Y', 'U', 'Y', 'V');
inline constexpr uint32_t kPixelFormatUyvy = four_cc('U', 'Y', 'V', 'Y');

// How the lines of the two fields of an interlaced picture reach the
// buffers, by V4L2's numbers (enum v4l2_field). The top field holds the
// picture's first line.
enum class FieldOrder : uint32_t {
  Any = 0,          // asked: whatever the device likes; never an answer
  None = 1,         // progressive pictures
  Top = 2,          // the top field only, one per buffer
  Bottom = 3,       // the bottom field only
  Interlaced = 4,   // both fields woven line by line
  SeqTopFirst = 5,  // the top field's lines, then the bottom field's
  SeqBottomFirst = 6,
  Alternate = 7,  // one field per buffer, flagged top or bottom
  InterlacedTopFirst = 8,
  InterlacedBottomFirst = 9,
};

struct VideoFormat {
  int32_t width = 0;
  // The lines of one buffer's picture: a field's for Top, Bottom and
  // Alternate, the frame's otherwise.
  int32_t height = 0;
  uint32_t pixel_format = 0;
  uint32_t bytes_per_line = 0;
  uint32_t size_image = 0;  // the bytes of one picture; 0 when not known
  FieldOrder field = FieldOrder::Any;
  int32_t frame_period_ms = 40;
  // Set when the device's pictures are converted (by libv4lconvert) into
  // pixel_format: the format the device captures in.
  uint32_t captured_format = 0;
};

// What set_format does with the device's pictures.
enum class Conversion {
  None,     // handed over as the device captures them
  ToBgr24,  // converted to 24-bit BGR from the format asked for (0: the
            // converter's own choice among the device's formats)
};

struct CapturedBuffer {
  int index = -1;
  int64_t timestamp_us = 0;  // on the clock of VideoDevice::now_us()
  // The stamp marks the end of the frame (most drivers), not the start of
  // its exposure: the picture began one frame period earlier.
  bool stamped_at_frame_end = false;
  std::span<const uint8_t> bytes;
  // For Alternate: which field this buffer holds (Top or Bottom).
  FieldOrder field = FieldOrder::Any;
  uint32_t sequence = 0;
  // Why the picture cannot be used although the buffer came (a conversion
  // that failed); empty when it can.
  std::string problem;
};

// What a device offers, as far as it says (VIDIOC_ENUM_FMT,
// VIDIOC_ENUM_FRAMESIZES, VIDIOC_ENUMINPUT, VIDIOC_ENUMSTD).
struct PixelFormatOffer {
  uint32_t pixel_format = 0;
  std::string description;
  // The sizes on offer at the current input: a list, or a range from
  // smallest to largest; neither when the device does not say.
  std::vector<FrameSize> sizes = {};
  std::optional<FrameSize> smallest = {}, largest = {};
};

struct StandardOffer {
  uint64_t id = 0;  // V4L2_STD_* bits
  std::string name;
};

struct InputOffer {
  uint32_t index = 0;
  std::string name;
  uint64_t standards = 0;  // the standards it takes; 0: not a TV input
};

struct DeviceOffer {
  std::vector<PixelFormatOffer> formats = {};
  std::vector<StandardOffer> standards = {};
  std::vector<InputOffer> inputs = {};
  std::optional<uint32_t> input = {};  // the current one
  uint64_t standard = 0;               // the current one; 0 when none
  FrameSize size = {};                 // the current format's picture size
};

class VideoDevice {
 public:
  virtual ~VideoDevice() = default;
  // A failure's message is the system's error text; the caller adds the
  // device's name.
  virtual Status open(const std::string& path) = 0;
  virtual void close() = 0;
  virtual Result<DeviceOffer> describe() = 0;
  virtual Status set_input(uint32_t index) = 0;
  virtual Status set_standard(uint64_t id) = 0;
  // Asks for the pixel format, size and field order; the device may answer
  // with another size (the nearest it has), format or field order, written
  // back into format.
  virtual Status set_format(VideoFormat& format, Conversion conversion) = 0;
  virtual Status start_streaming(int buffer_count) = 0;
  // Waits at most timeout_ms (0: only looks) until a filled buffer can be
  // taken; true also when the device reports an error or has gone, so that
  // dequeue() says which. The source asks for a buffer only after this.
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
  DeviceOffer offer = {};  // for a capture device
};

std::unique_ptr<VideoDevice> make_system_video_device();
std::vector<CaptureDeviceInfo> list_capture_devices();
bool v4l2_support_built();

}  // namespace noctra
