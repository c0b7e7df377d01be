#include "camera/port_backends.h"

#include <cstdio>
#include <sstream>

#include "camera/port_crash_guard.h"

namespace noctra {

namespace {

std::optional<int> parse_bit(const std::string& text) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '7') return std::nullopt;
  return text[0] - '0';
}

}  // namespace

ShadowPortDevice::ShadowPortDevice(std::string name, std::unique_ptr<PortLines> lines,
                                   uint8_t initial, LogSink log)
    : name_(std::move(name)), lines_(std::move(lines)), shadow_(initial), log_(std::move(log)) {
  crash_slot_ = lines_->register_for_crash(shadow_);
}

ShadowPortDevice::~ShadowPortDevice() {
  write(idle_first_byte(shadow_));
  write(idle_second_byte(shadow_));
  port_crash_guard::unregister_port(crash_slot_);
}

void ShadowPortDevice::report_once(const std::string& text, bool& reported) {
  if (reported) return;
  reported = true;
  if (log_) log_(text);
}

void ShadowPortDevice::write(uint8_t byte) {
  shadow_ = byte;
  port_crash_guard::note_write(crash_slot_, byte);
  if (const Status put = lines_->put(byte); !put) {
    report_once(name_ + ": cannot set the camera lines: " + put.message(), write_failure_reported_);
    return;
  }
  const std::optional<uint8_t> sensed = lines_->sense();
  if (sensed && *sensed != byte) {
    report_once(name_ + ": the lines read back " + port_byte_text(*sensed) + " after writing " +
                    port_byte_text(byte) + " (is a line held by the wiring?)",
                mismatch_reported_);
  }
}

Result<SerialPortAddress> parse_serial_port_address(const std::string& text) {
  SerialPortAddress address;
  std::stringstream items(text);
  std::string item;
  bool first = true;
  while (std::getline(items, item, ',')) {
    if (first) {
      address.path = item;
      first = false;
      continue;
    }
    const auto eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (key == "invert" && eq == std::string::npos) {
      address.lines.invert = true;
    } else if (key == "dtr" || key == "rts") {
      const auto bit = parse_bit(value);
      if (!bit) return failure("serial port option " + item + ": the bit must be 0 to 7");
      (key == "dtr" ? address.lines.dtr_bit : address.lines.rts_bit) = *bit;
    } else {
      return failure("unknown serial port option \"" + item + "\" (use dtr=BIT, rts=BIT, invert)");
    }
  }
  if (address.path.empty()) {
    return failure("serial port without a device (use serial:/dev/ttyUSB0,dtr=2,rts=0)");
  }
  return address;
}

ModemLines modem_lines_for(uint8_t byte, const SerialLineMap& map) {
  const bool dtr = ((byte >> map.dtr_bit) & 1) != 0;
  const bool rts = ((byte >> map.rts_bit) & 1) != 0;
  return {dtr != map.invert, rts != map.invert};
}

uint32_t pack_serial_line_map(const SerialLineMap& map) {
  return static_cast<uint32_t>(map.dtr_bit & 7) | (static_cast<uint32_t>(map.rts_bit & 7) << 3) |
         (map.invert ? 0x40U : 0U);
}

SerialLineMap unpack_serial_line_map(uint32_t packed) {
  return {static_cast<int>(packed & 7), static_cast<int>((packed >> 3) & 7), (packed & 0x40U) != 0};
}

}  // namespace noctra
