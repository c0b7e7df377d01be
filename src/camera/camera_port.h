#pragma once
// The camera's exposure and amplifier lines: the exact byte patterns written
// to the control port. Bit 2 is the amplifier line; bits 6 and 7 belong to no
// sequence and survive every read-modify-write.

#include <cstdint>

#include "camera/port_device.h"

namespace noctra {

inline constexpr uint8_t kTriggerMain = 0x37;   // main frames
inline constexpr uint8_t kTriggerGuide = 0x35;  // guide frames and the first hi-res frame

class CameraPort {
 public:
  explicit CameraPort(PortDevice& device) : device_(device) {}

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
  void write_trigger_code(uint8_t code);

  PortDevice& device() { return device_; }

 private:
  PortDevice& device_;
};

}  // namespace noctra
