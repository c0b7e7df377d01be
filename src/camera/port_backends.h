#pragma once
// Real camera ports. Each back end drives some output lines; the common part
// keeps the shadow of the last byte written (what read() returns, since only
// the parallel port's data register can be read back, and even there Noctra
// relies on the byte it wrote), puts the idle pattern on the lines when the
// port is closed and registers the port for the last-resort idle on a crash.
//
// Port names, as in [Hardware] Port= and on the command line:
//   sim                         in memory, nothing leaves the computer
//   ppdev:/dev/parport0         all eight data lines of a parallel port
//   serial:/dev/ttyUSB0,dtr=2,rts=0[,invert]
//                               two modem-control lines of a serial port:
//                               DTR follows bit dtr= of the control byte, RTS
//                               follows bit rts= (bits 0..7, defaults 2 and 0);
//                               with "invert" a line is asserted when its bit
//                               is 0. TXD, RXD and the other lines are unused.
//   ftdi  or  ftdi:SERIAL       all eight lines of an FT232R-class USB chip in
//                               asynchronous bit-bang mode (the first such chip,
//                               or the one with that USB serial number)
//   auto                        the first parallel port that opens, else sim

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/port_device.h"
#include "config/platform.h"
#include "config/status.h"

namespace noctra {

// The output lines of one device, reached by plain system or library calls.
class PortLines {
 public:
  virtual ~PortLines() = default;
  // Drives the lines; a failure with the system's reason when the device refused.
  virtual Status put(uint8_t byte) = 0;
  // What the lines carry now, where the hardware can tell.
  virtual std::optional<uint8_t> sense() { return std::nullopt; }
  // Registers the device for the last-resort idle; the slot, or -1.
  virtual int register_for_crash(uint8_t /*current*/) { return -1; }
};

class ShadowPortDevice : public PortDevice {
 public:
  ShadowPortDevice(std::string name, std::unique_ptr<PortLines> lines, uint8_t initial,
                   LogSink log);
  ~ShadowPortDevice() override;
  ShadowPortDevice(const ShadowPortDevice&) = delete;
  ShadowPortDevice& operator=(const ShadowPortDevice&) = delete;

  uint8_t read() override { return shadow_; }
  void write(uint8_t byte) override;
  std::string name() const override { return name_; }

 private:
  void report_once(const std::string& text, bool& reported);

  std::string name_;
  std::unique_ptr<PortLines> lines_;
  uint8_t shadow_;
  LogSink log_;
  int crash_slot_ = -1;
  bool write_failure_reported_ = false;
  bool mismatch_reported_ = false;
};

// Serial ports: which control-byte bits the DTR and RTS lines follow.
struct SerialLineMap {
  int dtr_bit = 2;
  int rts_bit = 0;
  bool invert = false;
};

struct SerialPortAddress {
  std::string path;
  SerialLineMap lines;
};

// Parses what follows "serial:": "/dev/ttyUSB0,dtr=2,rts=0,invert". Fails
// for a missing path, an unknown option or a bit outside 0..7.
Result<SerialPortAddress> parse_serial_port_address(const std::string& text);

struct ModemLines {
  bool dtr = false;
  bool rts = false;
  bool operator==(const ModemLines&) const = default;
};
ModemLines modem_lines_for(uint8_t byte, const SerialLineMap& map);
// The map squeezed into the crash table's parameter, and back.
uint32_t pack_serial_line_map(const SerialLineMap& map);
SerialLineMap unpack_serial_line_map(uint32_t packed);

// Openers. Each returns the device, or a failure whose message names the
// device and the system's error.
Result<std::unique_ptr<PortDevice>> open_ppdev_port(const std::string& path, LogSink log);
Result<std::unique_ptr<PortDevice>> open_serial_port(const SerialPortAddress& address, LogSink log);
// usb_serial empty: the first chip found.
Result<std::unique_ptr<PortDevice>> open_ftdi_port(const std::string& usb_serial, LogSink log);
bool ftdi_support_built();

// Claims and releases a parallel port without writing to it.
Status probe_ppdev_port(const std::string& path);
// FTDI chips on the USB bus, as "ftdi:SERIAL (description)".
std::vector<std::string> list_ftdi_ports();

}  // namespace noctra
