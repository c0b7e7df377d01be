#include "camera/hardware.h"

#include <optional>
#include <string_view>

#include "camera/device_nodes.h"
#include "camera/port_backends.h"
#include "camera/sim_sky_camera.h"
#include "camera/v4l2_source.h"

namespace noctra {

namespace {

using Entries = std::vector<DeviceListing::Entry>;

// What follows a back end's name: "ppdev:/dev/parport0" needs the path,
// "ftdi" may leave out the chip's serial, "sim" takes nothing.
enum class Address { Required, Optional, None };

// The address in a device name for a back end, or nothing when the name is
// not one of that back end's.
std::optional<std::string> address_for(const std::string& name, std::string_view kind,
                                       Address address) {
  if (name == kind) {
    if (address == Address::Required) return std::nullopt;
    return std::string();
  }
  const bool prefixed = name.size() > kind.size() && name.compare(0, kind.size(), kind) == 0 &&
                        name[kind.size()] == ':';
  if (!prefixed || address == Address::None) return std::nullopt;
  return name.substr(kind.size() + 1);
}

// The devices auto tried and why each failed, for the note that says it
// fell back to the simulation.
class AutoAttempts {
 public:
  void failed(const std::string& reason) { tried_ += (tried_.empty() ? "" : "; ") + reason; }
  std::string fallback_note(const std::string& found_none, const std::string& simulation) const {
    return found_none + (tried_.empty() ? std::string() : " (" + tried_ + ")") + "; using " +
           simulation;
  }

 private:
  std::string tried_;
};

// One camera port back end: its name, a name of its form for the messages,
// what its address must look like (null: anything, once the address rule
// holds), how it opens a port and what it puts into the listing. A new back
// end is one more row of kPortBackEnds.
struct PortBackEnd {
  std::string_view kind;
  Address address;
  std::string_view example;
  Status (*check)(const std::string& name, const std::string& address);
  Result<PortChoice> (*open)(const std::string& name, const std::string& address, LogSink log,
                             const PortSystem& system);
  void (*list)(Entries& ports);
};

Result<PortChoice> chosen_port(Result<std::unique_ptr<PortDevice>> opened) {
  if (!opened) return failure(opened.message());
  return PortChoice{std::move(*opened), {}, false};
}

PortChoice simulated_port() { return PortChoice{std::make_unique<SimPortDevice>(), {}, true}; }

Status check_serial_address(const std::string& name, const std::string& address) {
  Result<SerialPortAddress> parsed = parse_serial_port_address(address);
  if (!parsed) return failure(name + ": " + parsed.message());
  return {};
}

const PortBackEnd kPortBackEnds[] = {
    {"ppdev", Address::Required, "ppdev:/dev/parport0", nullptr,
     [](const std::string&, const std::string& path, LogSink log, const PortSystem& system) {
       return chosen_port(system.open_ppdev(path, std::move(log)));
     },
     [](Entries& ports) {
       for (const auto& path : device_nodes("parport")) {
         const Status usable = probe_ppdev_port(path);
         ports.push_back(
             {"ppdev:" + path, usable ? "parallel port" : usable.message(), usable.ok()});
       }
     }},
    {"serial", Address::Required, "serial:/dev/ttyUSB0,dtr=2,rts=0", check_serial_address,
     [](const std::string& name, const std::string& address, LogSink log,
        const PortSystem&) -> Result<PortChoice> {
       Result<SerialPortAddress> parsed = parse_serial_port_address(address);
       if (!parsed) return failure(name + ": " + parsed.message());
       return chosen_port(open_serial_port(*parsed, std::move(log)));
     },
     [](Entries& ports) {
       // USB serial adapters only: the many ttyS nodes are mostly absent UARTs.
       for (const char* prefix : {"ttyUSB", "ttyACM"}) {
         for (const auto& path : device_nodes(prefix)) {
           ports.push_back({"serial:" + path + ",dtr=2,rts=0",
                            "serial port: DTR and RTS follow the bits named", true});
         }
       }
     }},
    {"ftdi", Address::Optional, "ftdi", nullptr,
     [](const std::string&, const std::string& usb_serial, LogSink log, const PortSystem&) {
       return chosen_port(open_ftdi_port(usb_serial, std::move(log)));
     },
     [](Entries& ports) {
       for (const auto& ftdi : list_ftdi_ports()) {
         const auto space = ftdi.find(' ');
         ports.push_back({ftdi.substr(0, space), ftdi.substr(space + 1), true});
       }
       if (!ftdi_support_built()) ports.push_back({"ftdi", "built without libftdi1", false});
     }},
    {"sim", Address::None, "sim", nullptr,
     [](const std::string&, const std::string&, LogSink, const PortSystem&) {
       return Result<PortChoice>(simulated_port());
     },
     [](Entries& ports) {
       ports.push_back({"sim", "simulated port", true});
     }},
};

// One frame source back end, as for the ports.
struct SourceBackEnd {
  std::string_view kind;
  Address address;
  std::string_view example;
  Status (*check)(const std::string& name, const std::string& address);
  Result<SourceChoice> (*open)(const std::string& address, const SourceContext& context,
                               const SourceSystem& system);
  void (*list)(Entries& sources);
};

SourceChoice simulated_source(const SourceContext& context) {
  SimSkyOptions options;
  options.seed = context.sim_seed;
  options.covered = context.sim_covered;
  options.flat_light = context.sim_flat_light;
  options.rotation_deg_per_min = context.sim_rotation;
  auto sim = std::make_unique<SimSkyCamera>(context.clock, context.pump, context.windows,
                                            context.log, options);
  SimSkyCamera* camera = sim.get();
  return SourceChoice{
      std::move(sim), {}, [camera](uint8_t byte) { camera->on_port_write(byte); }, camera};
}

Result<SourceChoice> open_v4l2(const std::string& address, const SourceContext& context,
                               const SourceSystem& system) {
  Result<V4l2Address> parsed = parse_v4l2_address(address);
  if (!parsed) return failure("v4l2:" + address + ": " + parsed.message());
  V4l2Options options;
  options.mono = context.mono;
  auto source =
      std::make_unique<V4l2Source>(std::move(*parsed), system.make_device(), context.clock,
                                   context.pump, context.windows, context.log, std::move(options));
  if (Status opened = source->open_now(); !opened) return failure(opened.message());
  return SourceChoice{std::move(source), {}, {}, nullptr};
}

Status check_v4l2_address(const std::string& name, const std::string& address) {
  Result<V4l2Address> parsed = parse_v4l2_address(address);
  if (!parsed) return failure(name + ": " + parsed.message());
  return {};
}

const SourceBackEnd kSourceBackEnds[] = {
    {"v4l2", Address::Required, "v4l2:/dev/video0", check_v4l2_address, open_v4l2,
     [](Entries& sources) {
       for (const auto& device : list_capture_devices()) {
         sources.push_back(
             {"v4l2:" + device.path,
              device.can_capture ? device.card : device.card + " (no video capture)",
              device.can_capture,
              device.can_capture ? offer_lines(device.offer) : std::vector<std::string>{}});
       }
       if (!v4l2_support_built())
         sources.push_back({"v4l2:", "built without libv4lconvert", false});
     }},
    {"sim", Address::None, "sim", nullptr,
     [](const std::string&, const SourceContext& context, const SourceSystem&) {
       return Result<SourceChoice>(simulated_source(context));
     },
     [](Entries& sources) {
       sources.push_back({"sim", "simulated sky camera", true});
     }},
};

const char* const kUnknownPortHint =
    "(use auto, sim, ppdev:/dev/parport0, serial:/dev/ttyUSB0,dtr=2,rts=0 or ftdi)";
const char* const kUnknownSourceHint = "(use auto, sim or v4l2:/dev/video0)";

// A back end that needs an address was given its name and a colon alone.
Status check_address_given(const std::string& name, const std::string& address, Address rule,
                           std::string_view example) {
  if (rule == Address::Required && address.empty()) {
    return failure(name + " needs a device path (" + std::string(example) + ")");
  }
  return {};
}

// A name checked against the back ends of one kind (ports or sources).
template <typename BackEnds>
Status check_name(const std::string& name, const BackEnds& back_ends, const std::string& unknown) {
  if (name == "auto" || name.empty()) return {};
  for (const auto& back_end : back_ends) {
    const std::optional<std::string> address = address_for(name, back_end.kind, back_end.address);
    if (!address) continue;
    if (Status given = check_address_given(name, *address, back_end.address, back_end.example);
        !given) {
      return given;
    }
    return back_end.check != nullptr ? back_end.check(name, *address) : Status{};
  }
  return failure(unknown);
}

}  // namespace

Status check_port_name(const std::string& name) {
  return check_name(name, kPortBackEnds,
                    "unknown camera port \"" + name + "\" " + kUnknownPortHint);
}

Status check_source_name(const std::string& name) {
  return check_name(name, kSourceBackEnds,
                    "unknown video source \"" + name + "\" " + kUnknownSourceHint);
}

PortSystem system_port_access() {
  return {
      [] { return device_nodes("parport"); },
      [](const std::string& path, LogSink log) { return open_ppdev_port(path, std::move(log)); }};
}

Result<PortChoice> open_port(const std::string& name, LogSink log, const PortSystem& system) {
  if (name == "auto" || name.empty()) {
    AutoAttempts attempts;
    for (const auto& path : system.parallel_ports()) {
      Result<std::unique_ptr<PortDevice>> opened = system.open_ppdev(path, log);
      if (opened && *opened) {
        PortChoice choice{std::move(*opened), {}, false};
        choice.note = "camera port: auto took " + choice.device->name();
        return choice;
      }
      attempts.failed(opened.message());
    }
    PortChoice choice = simulated_port();
    choice.note = attempts.fallback_note("camera port: auto found no usable parallel port",
                                         "the simulated port sim");
    return choice;
  }
  if (Status checked = check_port_name(name); !checked) return failure(checked.message());
  for (const PortBackEnd& back_end : kPortBackEnds) {
    const std::optional<std::string> address = address_for(name, back_end.kind, back_end.address);
    if (!address) continue;
    Result<PortChoice> choice = back_end.open(name, *address, log, system);
    if (choice && !choice->device) return failure(name + ": cannot be opened");
    if (!choice && choice.message().empty()) return failure(name + ": cannot be opened");
    return choice;
  }
  return failure("unknown camera port \"" + name + "\" " + kUnknownPortHint);
}

SourceSystem system_source_access() { return {list_capture_devices, make_system_video_device}; }

Result<SourceChoice> open_source(const std::string& name, const SourceContext& context,
                                 const SourceSystem& system) {
  if (name == "auto" || name.empty()) {
    AutoAttempts attempts;
    for (const auto& device : system.capture_devices()) {
      if (!device.can_capture) continue;
      Result<SourceChoice> opened = open_v4l2(device.path, context, system);
      if (opened) {
        opened->note =
            "video source: auto took " + opened->source->name() + " (" + device.card + ")";
        return opened;
      }
      attempts.failed(opened.message());
    }
    SourceChoice choice = simulated_source(context);
    choice.note = attempts.fallback_note("video source: auto found no usable capture device",
                                         "the simulated sky camera sim");
    return choice;
  }
  if (Status checked = check_source_name(name); !checked) return failure(checked.message());
  for (const SourceBackEnd& back_end : kSourceBackEnds) {
    const std::optional<std::string> address = address_for(name, back_end.kind, back_end.address);
    if (address) return back_end.open(*address, context, system);
  }
  return failure("unknown video source \"" + name + "\" " + kUnknownSourceHint);
}

DeviceListing list_devices() {
  DeviceListing listing;
  for (const SourceBackEnd& back_end : kSourceBackEnds) back_end.list(listing.sources);
  for (const PortBackEnd& back_end : kPortBackEnds) back_end.list(listing.ports);
  // What auto would take: the first usable capture device, the first usable
  // parallel port, else the simulation.
  auto first_usable = [](const Entries& entries, std::string_view kind) {
    for (const auto& entry : entries) {
      if (entry.usable && address_for(entry.name, kind, Address::Required)) return entry.name;
    }
    return std::string("sim");
  };
  listing.auto_source = first_usable(listing.sources, "v4l2");
  listing.auto_port = first_usable(listing.ports, "ppdev");
  return listing;
}

std::string format_device_listing(const DeviceListing& listing) {
  std::string text = "Video sources:\n";
  for (const auto& e : listing.sources) {
    text += "  " + e.name + "  " + e.description + (e.usable ? "" : "  [unusable]") + "\n";
    for (const auto& line : e.details) text += "      " + line + "\n";
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
