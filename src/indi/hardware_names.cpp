#include "indi/hardware_names.h"

#include "camera/port_backends.h"

namespace noctra::indi {

namespace {

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::string port_name_problem(const std::string& name) {
  if (name.empty() || name == "auto" || name == "sim" || name == "ftdi") return {};
  if (starts_with(name, "ftdi:")) return {};
  if (starts_with(name, "ppdev:")) {
    return name.size() > 6 ? std::string() : "ppdev: needs a device path (ppdev:/dev/parport0)";
  }
  if (starts_with(name, "serial:")) {
    Result<SerialPortAddress> address = parse_serial_port_address(name.substr(7));
    if (address) return {};
    return name + ": " + address.message();
  }
  return "unknown camera port \"" + name +
         "\" (use auto, sim, ppdev:/dev/parport0, serial:/dev/ttyUSB0,dtr=2,rts=0 or ftdi)";
}

std::string source_name_problem(const std::string& name) {
  if (name.empty() || name == "auto" || name == "sim") return {};
  if (starts_with(name, "v4l2:")) {
    return name.size() > 5 ? std::string() : "v4l2: needs a device path (v4l2:/dev/video0)";
  }
  return "unknown video source \"" + name + "\" (use auto, sim or v4l2:/dev/video0)";
}

}  // namespace noctra::indi
