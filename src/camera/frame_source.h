#pragma once
// A source of packed 24-bit DIBs, one per request: the simulated sky camera
// or a V4L2 capture device. Stands where the TWAIN library stood.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace noctra {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual bool available() = 0;
  // The two set-up calls made before each acquisition: (4) then (24).
  virtual void configure(int call, int value) = 0;
  // Blocks (inside the event pump) until a frame is delivered or the wait
  // fails; returns the packed DIB (header followed by rows) or nothing.
  virtual std::optional<std::vector<uint8_t>> acquire() = 0;
  // Lets the user choose the video source; the result is not used.
  virtual void select_source() {}
  virtual std::string name() const = 0;
};

}  // namespace noctra
