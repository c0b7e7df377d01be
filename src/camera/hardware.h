#pragma once
// Choosing the camera port and the frame source from their names
// ([Hardware] Port= and Source=, or the command line), and listing what the
// machine offers. Under "auto" Noctra takes the first real device that works
// and says what it took; a device named explicitly that cannot be opened is
// an error for the user, never a quiet switch to the simulation.
//
// Source names:
//   sim                 the simulated sky camera (it watches the port's writes)
//   v4l2:/dev/video0    a V4L2 capture device, optionally with
//                       ,format=..,std=..,input=..,size=WxH,field=.. (v4l2_choice.h)
//   auto                the first V4L2 capture device, else sim

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/frame_source.h"
#include "camera/port_device.h"
#include "camera/still_window.h"
#include "camera/video_device.h"
#include "config/platform.h"
#include "config/status.h"

namespace noctra {

class SimSkyCamera;

// The system calls the choice is made with; tests replace them.
struct PortSystem {
  std::function<std::vector<std::string>()> parallel_ports;  // /dev/parport0, ...
  std::function<Result<std::unique_ptr<PortDevice>>(const std::string& path, LogSink)> open_ppdev;
};
PortSystem system_port_access();

struct PortChoice {
  std::unique_ptr<PortDevice> device;  // never null
  std::string note;                    // what auto took, for the user
  bool simulated = false;
};

// Whether a name has a form a port back end takes (auto or empty, sim,
// ppdev:PATH, serial:PATH,OPTIONS, ftdi[:SERIAL]), and if not, why, with the
// forms that would do. Whether the device opens is only known when it is
// opened; open_port checks the name with this first.
Status check_port_name(const std::string& name);

// A failure names the device and the system's reason.
Result<PortChoice> open_port(const std::string& name, LogSink log,
                             const PortSystem& system = system_port_access());

struct SourceContext {
  Clock& clock;
  EventPump& pump;
  StillWindowRegistry& windows;
  LogSink log;
  uint64_t sim_seed = 1;
  // The simulated camera's cover and flat light at the start.
  bool sim_covered = false;
  bool sim_flat_light = false;
  // Whether the recording takes mono frames (asked at every frame); empty:
  // colour.
  std::function<bool()> mono = {};
  double sim_rotation = 0;  // degrees per minute
};

struct SourceSystem {
  std::function<std::vector<CaptureDeviceInfo>()> capture_devices;
  std::function<std::unique_ptr<VideoDevice>()> make_device;
};
SourceSystem system_source_access();

struct SourceChoice {
  std::unique_ptr<FrameSource> source;  // never null
  std::string note;
  // For the simulated camera: give it every byte written to the camera port
  // (for example through a TracingPortDevice). Empty for real devices.
  std::function<void(uint8_t)> port_listener;
  // The simulated camera itself (owned by `source`), for its cover and
  // flat light; null for real devices.
  SimSkyCamera* simulated_camera = nullptr;
};

// The same for the source names: auto or empty, sim, v4l2:PATH[,OPTIONS].
Status check_source_name(const std::string& name);

Result<SourceChoice> open_source(const std::string& name, const SourceContext& context,
                                 const SourceSystem& system = system_source_access());

struct DeviceListing {
  struct Entry {
    std::string name;         // as it goes into the settings: v4l2:/dev/video0, ppdev:...
    std::string description;  // what the system calls it, or why it is unusable
    bool usable = false;
    std::vector<std::string> details = {};  // for a capture device: what it offers
  };
  std::vector<Entry> sources;
  std::vector<Entry> ports;
  std::string auto_source;  // what auto would take
  std::string auto_port;
};

DeviceListing list_devices();
// The listing as lines of text (noctra --list-devices).
std::string format_device_listing(const DeviceListing& listing);

}  // namespace noctra
