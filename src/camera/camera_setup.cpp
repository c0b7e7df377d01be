#include "camera/camera_setup.h"

#include "camera/sim_sky_camera.h"
#include "camera/v4l2_source.h"

namespace noctra {

CameraSetup::CameraSetup(Clock& clock, EventPump& pump, LogSink log,
                         std::function<void(uint8_t)> trace, uint64_t sim_seed)
    : clock_(clock), pump_(pump), log_(std::move(log)), trace_(std::move(trace)),
      sim_seed_(sim_seed) {}

Result<std::unique_ptr<CameraSetup>> CameraSetup::open(const CameraSetupOptions& options,
                                                       Clock& clock, EventPump& pump, LogSink log,
                                                       const PortSystem& ports,
                                                       const SourceSystem& sources) {
  std::unique_ptr<CameraSetup> setup(
      new CameraSetup(clock, pump, log, options.trace, options.sim_seed));
  setup->sim_covered_ = options.sim_covered;
  setup->sim_flat_light_ = options.sim_flat_light;
  setup->sim_rotation_ = options.sim_rotation;
  Result<PortChoice> port_choice = open_port(options.port, log, ports);
  if (!port_choice) return failure("camera port: " + port_choice.message());
  PortChoice& port = *port_choice;
  if (!port.note.empty() && log) log(port.note);
  setup->port_name_ = port.device->name();
  CameraSetup* self = setup.get();
  setup->device_ =
      std::make_unique<TracingPortDevice>(std::move(port.device), [self](uint8_t byte) {
        if (self->sim_listener_) self->sim_listener_(byte);
        if (self->trace_) self->trace_(byte);
      });
  setup->port_ = std::make_unique<CameraPort>(*setup->device_, options.instants);
  setup->acquisition_ = std::make_unique<Acquisition>(*setup->port_, setup->windows_, log);
  setup->mono_ = options.mono;

  Result<SourceChoice> source_choice =
      open_source(options.source, setup->source_context(), sources);
  if (!source_choice) return failure("video source: " + source_choice.message());
  SourceChoice& source = *source_choice;
  if (!source.note.empty() && log) log(source.note);
  setup->sim_listener_ = std::move(source.port_listener);
  setup->sim_camera_ = source.simulated_camera;
  setup->acquisition_->set_source(std::move(source.source));
  return setup;
}

CameraSetup::~CameraSetup() {
  // The port writes its idle pattern as it closes: the simulated camera must
  // no longer be listening by then.
  sim_listener_ = nullptr;
  acquisition_.reset();
  port_.reset();
  device_.reset();
}

std::string CameraSetup::source_name() const {
  const FrameSource* source = acquisition_->source();
  return source != nullptr ? source->name() : std::string();
}

SourceIdentity CameraSetup::source_identity() const {
  if (sim_camera_ != nullptr) return {"sim", "sim"};
  const auto* device = dynamic_cast<const V4l2Source*>(acquisition_->source());
  if (device == nullptr) return {source_name(), {}};
  SourceIdentity identity{"v4l2:" + device->address().path, {}};
  // A converted stream is matched by what the device captures.
  if (const std::optional<VideoFormat> format = device->format()) {
    identity.format = pixel_format_name(format->captured_format != 0 ? format->captured_format
                                                                     : format->pixel_format);
  }
  return identity;
}

Status CameraSetup::switch_source(const std::string& name) {
  if (acquisition_->busy()) return failure("a frame is being acquired");
  Result<SourceChoice> source_choice = open_source(name, source_context());
  if (!source_choice) return source_choice.status();
  SourceChoice& source = *source_choice;
  if (!source.note.empty() && log_) log_(source.note);
  sim_listener_ = nullptr;
  sim_camera_ = nullptr;
  acquisition_->set_source(std::move(source.source));
  sim_listener_ = std::move(source.port_listener);
  sim_camera_ = source.simulated_camera;
  return {};
}

bool CameraSetup::set_sim_covered(bool covered) {
  sim_covered_ = covered;
  if (sim_camera_ != nullptr) sim_camera_->set_covered(covered);
  return sim_camera_ != nullptr;
}

bool CameraSetup::set_sim_flat_light(bool on) {
  sim_flat_light_ = on;
  if (sim_camera_ != nullptr) sim_camera_->set_flat_light(on);
  return sim_camera_ != nullptr;
}

}  // namespace noctra
