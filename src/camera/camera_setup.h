#pragma once
// The camera side of the program in one piece: the camera port chosen by
// [Hardware] Port=, the frame source chosen by Source=, the still-capture
// windows and the acquisition. It also routes every port write to the
// simulated camera (when that is the source) and to an optional trace, and
// takes them apart in the right order: the camera stops listening before it
// goes. The idle pattern a real port writes as it closes goes straight to the
// lines; call camera_idle() before the end to have it traced too.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/acquisition.h"
#include "camera/camera_port.h"
#include "camera/hardware.h"
#include "camera/still_window.h"
#include "config/platform.h"
#include "config/status.h"

namespace noctra {

class SimSkyCamera;

// What calibration masters must match of the source: the capture device
// ("sim", "v4l2:/dev/video0") and the format its frames come in ("sim",
// "YUYV", "GREY", ...; empty while a device does not stream yet).
struct SourceIdentity {
  std::string device;
  std::string format;
  friend bool operator==(const SourceIdentity&, const SourceIdentity&) = default;
};

struct CameraSetupOptions {
  std::string port = "auto";
  std::string source = "auto";
  // Called with every byte written to the port (--trace-port); may be empty.
  std::function<void(uint8_t)> trace;
  uint64_t sim_seed = 1;
  // The simulated camera's cover and flat light ([Simulation] Covered, FlatLight).
  bool sim_covered = false;
  bool sim_flat_light = false;
  double sim_rotation = 0;  // the simulated camera's field rotation, degrees per minute
  // Stamps the exposure starts and trigger writes for the timing record.
  InstantClock* instants = nullptr;
  // Whether the recording takes mono frames (the source then takes the
  // capture device's own luma); empty: colour.
  std::function<bool()> mono = {};
};

class CameraSetup {
 public:
  // Opens the port and the source. Fails, saying why, when an explicitly
  // named port or source cannot be opened; what auto took goes to the log.
  static Result<std::unique_ptr<CameraSetup>> open(
      const CameraSetupOptions& options, Clock& clock, EventPump& pump, LogSink log,
      const PortSystem& ports = system_port_access(),
      const SourceSystem& sources = system_source_access());
  ~CameraSetup();
  CameraSetup(const CameraSetup&) = delete;
  CameraSetup& operator=(const CameraSetup&) = delete;

  CameraPort& port() { return *port_; }
  Acquisition& acquisition() { return *acquisition_; }
  StillWindowRegistry& windows() { return windows_; }
  const std::string& port_name() const { return port_name_; }
  std::string source_name() const;
  SourceIdentity source_identity() const;
  bool simulated() const { return sim_camera_ != nullptr; }

  // The Video Source choice at run time. Fails, saying why, when the source
  // cannot be opened or an acquisition is waiting; the old source then stays.
  Status switch_source(const std::string& name);

  // The simulated camera's cover and flat light (Options menu). Kept for a
  // simulated camera chosen later; true when the current source is the
  // simulated camera and took it at once.
  bool set_sim_covered(bool covered);
  bool set_sim_flat_light(bool on);

 private:
  CameraSetup(Clock& clock, EventPump& pump, LogSink log, std::function<void(uint8_t)> trace,
              uint64_t sim_seed);
  SourceContext source_context() {
    SourceContext context{clock_, pump_, windows_, log_, sim_seed_, sim_covered_, sim_flat_light_};
    context.mono = mono_;
    context.sim_rotation = sim_rotation_;
    return context;
  }

  Clock& clock_;
  EventPump& pump_;
  LogSink log_;
  std::function<void(uint8_t)> trace_;
  std::function<bool()> mono_;
  std::function<void(uint8_t)> sim_listener_;
  uint64_t sim_seed_;
  bool sim_covered_ = false;
  bool sim_flat_light_ = false;
  SimSkyCamera* sim_camera_ = nullptr;
  double sim_rotation_ = 0;
  StillWindowRegistry windows_;
  std::string port_name_;
  std::unique_ptr<PortDevice> device_;
  std::unique_ptr<CameraPort> port_;
  std::unique_ptr<Acquisition> acquisition_;
};

}  // namespace noctra
