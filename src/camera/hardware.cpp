#include "camera/hardware.h"

#include "camera/device_nodes.h"
#include "camera/port_backends.h"
#include "camera/sim_sky_camera.h"
#include "camera/v4l2_source.h"

namespace noctra {

namespace {

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::unique_ptr<FrameSource> make_sim(const SourceContext& context,
                                      std::function<void(uint8_t)>& listener) {
  SimSkyOptions options;
  options.seed = context.sim_seed;
  auto sim = std::make_unique<SimSkyCamera>(context.clock, context.pump, context.windows,
                                            context.log, options);
  SimSkyCamera* camera = sim.get();
  listener = [camera](uint8_t byte) { camera->on_port_write(byte); };
  return sim;
}

}  // namespace

PortSystem system_port_access() {
  return {[] { return device_nodes("parport"); },
          [](const std::string& path, LogSink log, std::string& error) {
            return open_ppdev_port(path, std::move(log), error);
          }};
}

PortChoice open_port(const std::string& name, LogSink log, const PortSystem& system) {
  PortChoice choice;
  if (name == "sim") {
    choice.device = std::make_unique<SimPortDevice>();
    choice.simulated = true;
  } else if (name == "auto" || name.empty()) {
    std::string tried;
    for (const auto& path : system.parallel_ports()) {
      std::string error;
      choice.device = system.open_ppdev(path, log, error);
      if (choice.device) {
        choice.note = "camera port: auto took " + choice.device->name();
        return choice;
      }
      tried += (tried.empty() ? "" : "; ") + error;
    }
    choice.device = std::make_unique<SimPortDevice>();
    choice.simulated = true;
    choice.note = "camera port: auto found no usable parallel port" +
                  (tried.empty() ? std::string() : " (" + tried + ")") +
                  "; using the simulated port sim";
  } else if (starts_with(name, "ppdev:")) {
    choice.device = system.open_ppdev(name.substr(6), log, choice.error);
  } else if (starts_with(name, "serial:")) {
    if (auto parsed = parse_serial_port_address(name.substr(7), choice.error)) {
      choice.device = open_serial_port(*parsed, log, choice.error);
    } else {
      choice.error = name + ": " + choice.error;
    }
  } else if (name == "ftdi" || starts_with(name, "ftdi:")) {
    choice.device = open_ftdi_port(name == "ftdi" ? "" : name.substr(5), log, choice.error);
  } else {
    choice.error = "unknown camera port \"" + name +
                   "\" (use auto, sim, ppdev:/dev/parport0, serial:/dev/ttyUSB0,dtr=2,rts=0 or "
                   "ftdi)";
  }
  if (!choice.device && choice.error.empty()) choice.error = name + ": cannot be opened";
  return choice;
}

SourceSystem system_source_access() {
  return {list_capture_devices, make_system_video_device};
}

SourceChoice open_source(const std::string& name, const SourceContext& context,
                         const SourceSystem& system) {
  SourceChoice choice;
  auto open_v4l2 = [&](const std::string& path, std::string& error) -> std::unique_ptr<FrameSource> {
    auto source = std::make_unique<V4l2Source>(path, system.make_device(), context.clock,
                                               context.pump, context.windows, context.log);
    error = source->open_now();
    if (!error.empty()) return nullptr;
    return source;
  };

  if (name == "sim") {
    choice.source = make_sim(context, choice.port_listener);
  } else if (name == "auto" || name.empty()) {
    std::string tried;
    for (const auto& device : system.capture_devices()) {
      if (!device.can_capture) continue;
      std::string error;
      choice.source = open_v4l2(device.path, error);
      if (choice.source) {
        choice.note = "video source: auto took " + choice.source->name() + " (" + device.card + ")";
        return choice;
      }
      tried += (tried.empty() ? "" : "; ") + error;
    }
    choice.source = make_sim(context, choice.port_listener);
    choice.note = "video source: auto found no usable capture device" +
                  (tried.empty() ? std::string() : " (" + tried + ")") +
                  "; using the simulated sky camera sim";
  } else if (starts_with(name, "v4l2:")) {
    choice.source = open_v4l2(name.substr(5), choice.error);
  } else {
    choice.error = "unknown video source \"" + name + "\" (use auto, sim or v4l2:/dev/video0)";
  }
  return choice;
}

DeviceListing list_devices() {
  DeviceListing listing;
  for (const auto& device : list_capture_devices()) {
    listing.sources.push_back({"v4l2:" + device.path,
                               device.can_capture ? device.card : device.card + " (no video capture)",
                               device.can_capture});
    if (device.can_capture && listing.auto_source.empty()) listing.auto_source = "v4l2:" + device.path;
  }
  if (!v4l2_support_built()) listing.sources.push_back({"v4l2:", "built without libv4l2", false});
  listing.sources.push_back({"sim", "simulated sky camera", true});
  if (listing.auto_source.empty()) listing.auto_source = "sim";

  for (const auto& path : device_nodes("parport")) {
    std::string error;
    const bool usable = probe_ppdev_port(path, error);
    listing.ports.push_back({"ppdev:" + path, usable ? "parallel port" : error, usable});
    if (usable && listing.auto_port.empty()) listing.auto_port = "ppdev:" + path;
  }
  // USB serial adapters only: the many ttyS nodes are mostly absent UARTs.
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (const auto& path : device_nodes(prefix)) {
      listing.ports.push_back({"serial:" + path + ",dtr=2,rts=0",
                               "serial port: DTR and RTS follow the bits named", true});
    }
  }
  for (const auto& ftdi : list_ftdi_ports()) {
    const auto space = ftdi.find(' ');
    listing.ports.push_back({ftdi.substr(0, space), ftdi.substr(space + 1), true});
  }
  if (!ftdi_support_built()) listing.ports.push_back({"ftdi", "built without libftdi1", false});
  listing.ports.push_back({"sim", "simulated port", true});
  if (listing.auto_port.empty()) listing.auto_port = "sim";
  return listing;
}

std::string format_device_listing(const DeviceListing& listing) {
  std::string text = "Video sources:\n";
  for (const auto& e : listing.sources) {
    text += "  " + e.name + "  " + e.description + (e.usable ? "" : "  [unusable]") + "\n";
  }
  text += "  auto would take: " + listing.auto_source + "\n";
  text += "Camera ports:\n";
  for (const auto& e : listing.ports) {
    text += "  " + e.name + "  " + e.description + (e.usable ? "" : "  [unusable]") + "\n";
  }
  text += "  auto would take: " + listing.auto_port + "\n";
  return text;
}

}  // namespace noctra
