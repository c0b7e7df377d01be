#pragma once
// A source of packed 24-bit DIBs, one per request: the simulated sky camera
// or a V4L2 capture device. Sources get what they need to wait (event pump,
// clock, still-window registry) and a log through their constructors.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/platform.h"

namespace noctra {

// The width and height of the frames a source delivers, in pixels.
struct FrameSize {
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Whether an acquisition can be attempted at all (the gate before every
  // acquisition). A configured device that fails later says so in acquire().
  virtual bool available() = 0;
  // Blocks (inside the event pump) until a frame is delivered or the wait
  // fails; returns the packed DIB (header followed by rows, normally four
  // trailing bytes too) or nothing. A source logs its own failures.
  virtual std::optional<std::vector<uint8_t>> acquire() = 0;
  // The capture device's own timestamp of the buffer the last delivered frame
  // came from, in microseconds on the monotonic clock; nothing for a source
  // that has none.
  virtual std::optional<int64_t> last_buffer_mono_us() const { return std::nullopt; }
  // The size of the frames it delivers, as far as it is known before the
  // first one comes (a capture device once its format is agreed).
  virtual std::optional<FrameSize> frame_size() const { return std::nullopt; }
  virtual std::string name() const = 0;
};

}  // namespace noctra
