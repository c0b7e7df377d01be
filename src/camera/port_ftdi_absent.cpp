// Built when libftdi1 was not found: the ftdi port names an unavailable back end.
#include "camera/port_backends.h"

namespace noctra {

bool ftdi_support_built() { return false; }

Result<std::unique_ptr<PortDevice>> open_ftdi_port(const std::string& usb_serial, LogSink) {
  return failure((usb_serial.empty() ? std::string("ftdi") : "ftdi:" + usb_serial) +
                 ": this Noctra was built without libftdi1");
}

std::vector<std::string> list_ftdi_ports() { return {}; }

}  // namespace noctra
