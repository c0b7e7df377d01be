#pragma once
// The few platform services the core needs, injected by the composition root
// (the headless runner or the Qt program) and faked in tests.

#include <cstdint>
#include <functional>
#include <string>

namespace noctra {

// Millisecond tick count; wraps around like any 32-bit counter. Differences
// are taken with wrapping helpers (see wrap_sub) so nothing relies on signed
// overflow.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int32_t now_ms() = 0;
};

// std::chrono::steady_clock in milliseconds, truncated to 32 bits.
class SteadyClock : public Clock {
 public:
  int32_t now_ms() override;
};

// a - b and a + b in wrap-around 32-bit arithmetic, without signed overflow.
constexpr int32_t wrap_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The period of the tick that drives the capture sequencer (timer 0), in
// every event pump and in the main window's timer.
inline constexpr int32_t kTickMs = 50;

// Runs the event loop until a condition holds or the program is quitting.
// While it runs, the 50 ms tick (timer 0) keeps arriving, so the still trigger
// can press the capture button while an acquisition waits inside the pump.
class EventPump {
 public:
  virtual ~EventPump() = default;
  // Returns when done() is true (checked after every event it delivers) or
  // when the program is quitting. done() is also checked once before waiting.
  virtual void run_until(const std::function<bool()>& done) = 0;
  virtual bool quitting() const = 0;
};

// For a thread doing background work (combining masters, stacking): on a
// busy machine the thread that starts and ends the exposures comes first.
// Where the system refuses, the thread stays as it was.
void give_way_to_exposure_timing();

// One line of diagnostics for the user (stderr headless, a status log in the
// GUI). Never a message box: failed acquisitions are not reported that way.
using LogSink = std::function<void(const std::string&)>;

// Shows an error to the user: a message box captioned "Error" in the GUI,
// a line on stderr headless. May run a nested event loop before returning.
class ErrorReporter {
 public:
  virtual ~ErrorReporter() = default;
  virtual void show_error(const std::string& text) = 0;
};

}  // namespace noctra
