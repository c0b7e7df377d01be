#pragma once
// The camera's exposure and amplifier lines: the exact byte patterns written
// to the control port. Bit 2 is the amplifier line; bits 6 and 7 belong to no
// sequence and survive every read-modify-write.

#include <cstdint>
#include <optional>

#include "camera/port_device.h"
#include "config/timing.h"

namespace noctra {

// The code the still trigger writes as it presses the capture button: it
// ends the exposure whose light the frame reads out.
enum class TriggerCode : uint8_t {
  Main = 0x37,   // main frames
  Guide = 0x35,  // guide frames and the first hi-res frame
};

class CameraPort {
 public:
  // With a clock, the port notes when each exposure started and each trigger
  // code went out: the instants of the frames' timing record.
  explicit CameraPort(PortDevice& device, InstantClock* clock = nullptr)
      : device_(device), clock_(clock) {}

  uint8_t read_camera_port() { return device_.read(); }
  void write_camera_port(uint8_t byte) { device_.write(byte); }

  // Bits 0..5 end at 1 with bit 4 passing through 0 first: 0x2F then 0x3F.
  void camera_idle();
  // 0x27, 0x37, 0x34, 0x14, 0x34 as whole bytes.
  void exposure_start_sequence();
  // 0x34, 0x14, 0x34 as whole bytes.
  void guide_start_sequence();
  void amplifier_on();
  void amplifier_off();
  // (port & 0xC0) | code: what the still trigger writes as it presses.
  void write_trigger_code(TriggerCode code);

  PortDevice& device() { return device_; }
  InstantClock* clock() const { return clock_; }

  // Right after the first byte (0x27) of the last exposure-start sequence.
  const std::optional<Instant>& exposure_started() const { return exposure_started_; }
  // Right after the first byte (0x34) of the last guide-start sequence.
  const std::optional<Instant>& guide_started() const { return guide_started_; }
  // Right after the last trigger code went out.
  const std::optional<Instant>& last_trigger() const { return last_trigger_; }

 private:
  std::optional<Instant> stamp() const {
    return clock_ != nullptr ? std::optional<Instant>(clock_->now()) : std::nullopt;
  }

  PortDevice& device_;
  InstantClock* clock_;
  std::optional<Instant> exposure_started_;
  std::optional<Instant> guide_started_;
  std::optional<Instant> last_trigger_;
};

}  // namespace noctra
