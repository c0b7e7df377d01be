#pragma once
// A source of packed 24-bit DIBs, one per request: the simulated sky camera
// or a V4L2 capture device. Sources get what they need to wait (event pump,
// clock, still-window registry) and a log through their constructors.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace noctra {

// One line of diagnostics for the user (stderr headless, a status log in the
// GUI). Never a message box: failed acquisitions are not reported that way.
using LogSink = std::function<void(const std::string&)>;

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Whether an acquisition can be attempted at all (the gate before every
  // acquisition). A configured device that fails later says so in acquire().
  virtual bool available() = 0;
  // The two set-up calls made before each acquisition: (4) then (24).
  virtual void configure(int call, int value) = 0;
  // Blocks (inside the event pump) until a frame is delivered or the wait
  // fails; returns the packed DIB (header followed by rows, normally four
  // trailing bytes too) or nothing. A source logs its own failures.
  virtual std::optional<std::vector<uint8_t>> acquire() = 0;
  // Lets the user choose the video source; the result is not used.
  virtual void select_source() {}
  virtual std::string name() const = 0;
};

}  // namespace noctra
