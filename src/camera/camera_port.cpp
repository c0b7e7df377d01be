#include "camera/camera_port.h"

#include <cstdio>

namespace noctra {

std::string port_byte_text(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

void SimPortDevice::write(uint8_t byte) {
  value_ = byte;
  log_.push_back(byte);
  for (auto& listener : listeners_) listener(byte);
}

void CameraPort::camera_idle() {
  write_camera_port(idle_first_byte(read_camera_port()));
  write_camera_port(idle_second_byte(read_camera_port()));
}

void CameraPort::exposure_start_sequence() {
  write_camera_port(0x27);
  // The exposure begins with the first byte: that is the instant on record.
  exposure_started_ = stamp();
  for (uint8_t byte : {0x37, 0x34, 0x14, 0x34}) write_camera_port(byte);
}

void CameraPort::guide_start_sequence() {
  write_camera_port(0x34);
  guide_started_ = stamp();
  for (uint8_t byte : {0x14, 0x34}) write_camera_port(byte);
}

void CameraPort::amplifier_on() {
  write_camera_port(static_cast<uint8_t>(read_camera_port() | 0x04));
}

void CameraPort::amplifier_off() {
  write_camera_port(static_cast<uint8_t>(read_camera_port() & 0xFB));
}

void CameraPort::write_trigger_code(TriggerCode code) {
  write_camera_port(static_cast<uint8_t>((read_camera_port() & 0xC0) | static_cast<uint8_t>(code)));
  last_trigger_ = stamp();
}

}  // namespace noctra
