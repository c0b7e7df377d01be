#include "indi/noctra_ccd.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "camera/hardware.h"
#include "camera/sim_sky_camera.h"

namespace noctra::indi {

namespace {

constexpr const char* kOptionsGroup = "Options";
constexpr int kPortText = 0;
constexpr int kSourceText = 1;
// INDI's timers wake the driver this long before the exposure's end; the
// rest is slept on the monotonic clock, which lands on the instant even when
// the event loop wakes late on a busy machine.
constexpr int64_t kPreciseWaitUs = 20'000;
// The countdown a client sees is refreshed at least this often.
constexpr int64_t kCountdownMs = 1000;
constexpr double kMaxExposureS = 3600;

void sleep_until_mono(int64_t mono_us) {
  timespec until{};
  until.tv_sec = static_cast<time_t>(mono_us / 1'000'000);
  until.tv_nsec = static_cast<long>((mono_us % 1'000'000) * 1000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace

NoctraCcd::NoctraCcd() { setVersion(0, 7); }

NoctraCcd::~NoctraCcd() {
  cancel_timer();
  run_.reset();
  camera_.reset();
}

bool NoctraCcd::initProperties() {
  INDI::CCD::initProperties();
  SetCCDCapability(CCD_CAN_ABORT);
  // Frames come as 8-bit colour, three planes R, G, B.
  addCaptureFormat({"INDI_RGB", "RGB", 8, true});

  IUFillText(&hardware_t_[kPortText], "Port", "Camera port", "auto");
  IUFillText(&hardware_t_[kSourceText], "Source", "Video source", "auto");
  IUFillTextVector(&hardware_tp_, hardware_t_, 2, getDeviceName(), "HARDWARE", "Hardware",
                   CONNECTION_TAB, IP_RW, 0, IPS_IDLE);

  IUFillSwitch(&amp_off_s_[0], "INDI_ENABLED", "On", ISS_OFF);
  IUFillSwitch(&amp_off_s_[1], "INDI_DISABLED", "Off", ISS_ON);
  IUFillSwitchVector(&amp_off_sp_, amp_off_s_, 2, getDeviceName(), "AMP_OFF",
                     "Amplifier off while exposing", kOptionsGroup, IP_RW, ISR_1OFMANY, 0,
                     IPS_IDLE);

  IUFillSwitch(&resolution_s_[0], "LOW_RES", "Low Res", ISS_ON);
  IUFillSwitch(&resolution_s_[1], "HIGH_RES", "High Res", ISS_OFF);
  IUFillSwitchVector(&resolution_sp_, resolution_s_, 2, getDeviceName(), "RESOLUTION", "Resolution",
                     kOptionsGroup, IP_RW, ISR_1OFMANY, 0, IPS_IDLE);

  IUFillText(&trace_t_[0], "FILE", "Trace file", "");
  IUFillTextVector(&trace_tp_, trace_t_, 1, getDeviceName(), "PORT_TRACE", "Port trace",
                   OPTIONS_TAB, IP_RW, 0, IPS_IDLE);

  // The frame size comes from the source on Connect; until then the
  // simulated camera's.
  const SimSkyOptions sim;
  set_frame_geometry(sim.width, sim.height);
  PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0, kMaxExposureS, 0.001, false);
  addDebugControl();
  return true;
}

void NoctraCcd::ISGetProperties(const char* dev) {
  INDI::CCD::ISGetProperties(dev);
  defineProperty(&hardware_tp_);
  defineProperty(&trace_tp_);
  // The saved port and source, once: a second client asking for the
  // properties must not undo what the first one set.
  if (!hardware_config_loaded_) {
    hardware_config_loaded_ = true;
    loadConfig(true, hardware_tp_.name);
  }
}

bool NoctraCcd::updateProperties() {
  INDI::CCD::updateProperties();
  if (isConnected()) {
    defineProperty(&amp_off_sp_);
    defineProperty(&resolution_sp_);
  } else {
    deleteProperty(amp_off_sp_.name);
    deleteProperty(resolution_sp_.name);
  }
  return true;
}

bool NoctraCcd::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
  if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
    if (std::strcmp(name, hardware_tp_.name) == 0) {
      for (int i = 0; i < n; ++i) {
        // Whether the device opens is only known on Connect; a name that
        // has no form Noctra knows is refused at once.
        const std::string value = texts[i] != nullptr ? texts[i] : "";
        Status checked;
        if (std::strcmp(names[i], hardware_t_[kPortText].name) == 0) {
          checked = check_port_name(value);
        } else if (std::strcmp(names[i], hardware_t_[kSourceText].name) == 0) {
          checked = check_source_name(value);
        }
        if (!checked) {
          hardware_tp_.s = IPS_ALERT;
          IDSetText(&hardware_tp_, nullptr);
          LOGF_ERROR("%s", checked.message().c_str());
          return false;
        }
      }
      IUUpdateText(&hardware_tp_, texts, names, n);
      hardware_tp_.s = IPS_OK;
      IDSetText(&hardware_tp_, nullptr);
      if (isConnected()) LOG_INFO("The camera port and video source apply at the next Connect.");
      return true;
    }
    if (std::strcmp(name, trace_tp_.name) == 0) {
      IUUpdateText(&trace_tp_, texts, names, n);
      std::string error;
      if (trace_.open(trace_t_[0].text, &error)) {
        trace_tp_.s = IPS_OK;
        IDSetText(&trace_tp_, nullptr);
        return true;
      }
      trace_tp_.s = IPS_ALERT;
      IDSetText(&trace_tp_, nullptr);
      LOGF_ERROR("Port trace: %s", error.c_str());
      return false;
    }
  }
  return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool NoctraCcd::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                            int n) {
  if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
    for (ISwitchVectorProperty* property : {&amp_off_sp_, &resolution_sp_}) {
      if (std::strcmp(name, property->name) != 0) continue;
      if (IUUpdateSwitch(property, states, names, n) < 0) {
        property->s = IPS_ALERT;
        IDSetSwitch(property, nullptr);
        return false;
      }
      property->s = IPS_OK;
      IDSetSwitch(property, nullptr);
      if (run_ && run_->exposing()) LOG_INFO("The change applies from the next exposure.");
      return true;
    }
  }
  return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool NoctraCcd::Connect() {
  // The exposure run points into the camera: never let it outlive the camera.
  if (camera_) Disconnect();
  CameraSetupOptions options;
  options.port = hardware_t_[kPortText].text;
  options.source = hardware_t_[kSourceText].text;
  options.instants = &clock_;
  options.trace = [this](uint8_t byte) {
    if (trace_.active()) trace_.record(byte, clock_.now().mono_us);
  };
  Result<std::unique_ptr<CameraSetup>> opened =
      CameraSetup::open(options, ms_clock_, pump_,
                        [this](const std::string& line) { LOGF_INFO("%s", line.c_str()); });
  if (!opened) {
    hardware_tp_.s = IPS_ALERT;
    IDSetText(&hardware_tp_, nullptr);
    LOGF_ERROR("Cannot connect: %s", opened.message().c_str());
    return false;
  }
  camera_ = std::move(*opened);
  pump_.set_acquirer(&camera_->acquisition());
  run_ = std::make_unique<ExposureRun>(camera_->port(), camera_->acquisition());
  frames_sent_ = 0;
  camera_->port().camera_idle();

  // A source that cannot tell its size yet gets the simulated camera's until
  // its first frame comes.
  FrameSize size{SimSkyOptions{}.width, SimSkyOptions{}.height};
  if (const FrameSource* source = camera_->acquisition().source()) {
    size = source->frame_size().value_or(size);
  }
  {
    // INDI's upload thread may still be sending the last frame from the buffer.
    std::lock_guard<std::mutex> guard(ccdBufferLock);
    set_frame_geometry(size.width, size.height);
  }
  hardware_tp_.s = IPS_OK;
  IDSetText(&hardware_tp_, nullptr);
  LOGF_INFO("Camera port %s, video source %s.", camera_->port_name().c_str(),
            camera_->source_name().c_str());
  return true;
}

bool NoctraCcd::Disconnect() {
  cancel_timer();
  InExposure = false;
  // Idle through the traced port, before the devices close.
  if (run_) {
    run_->abort();
  } else if (camera_) {
    camera_->port().camera_idle();
  }
  run_.reset();
  pump_.set_acquirer(nullptr);
  camera_.reset();
  return true;
}

void NoctraCcd::set_frame_geometry(int32_t width, int32_t height) {
  if (width == frame_width_ && height == frame_height_) return;
  frame_width_ = width;
  frame_height_ = height;
  // An analogue camera behind a capture device has no pixel size to report.
  SetCCDParams(width, height, 8, 0, 0);
  PrimaryCCD.setNAxis(3);
  PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(3 * width * height));
}

ExposureOptions NoctraCcd::current_options() const {
  ExposureOptions options;
  options.amp_off = amp_off_s_[0].s == ISS_ON;
  options.mode = resolution_s_[1].s == ISS_ON ? CaptureMode::HighRes : CaptureMode::LowRes;
  return options;
}

bool NoctraCcd::StartExposure(float duration) {
  if (!run_) {
    LOG_ERROR("Connect the camera first.");
    return false;
  }
  if (!std::isfinite(duration) || duration < 0 || duration > kMaxExposureS) {
    LOGF_ERROR("Exposure %g s is out of range (0 to %g s).", static_cast<double>(duration),
               kMaxExposureS);
    return false;
  }
  if (run_->exposing()) {
    LOG_ERROR("An exposure is already running.");
    return false;
  }
  PrimaryCCD.setExposureDuration(duration);
  const std::optional<Instant> start = run_->begin(current_options());
  const int64_t start_mono_us = start ? start->mono_us : clock_.now().mono_us;
  deadline_mono_us_ = start_mono_us + std::llround(static_cast<double>(duration) * 1e6);
  InExposure = true;
  // Even a zero exposure ends from the event loop, after INDI has marked it
  // busy, never inside this call.
  const int64_t until_last_stretch = deadline_mono_us_ - clock_.now().mono_us - kPreciseWaitUs;
  arm_timer(std::max<int64_t>(0, until_last_stretch / 1000));
  return true;
}

void NoctraCcd::on_exposure_timer(void* self) { static_cast<NoctraCcd*>(self)->exposure_timer(); }

void NoctraCcd::arm_timer(int64_t ms) {
  cancel_timer();
  timer_id_ = IEAddTimer(static_cast<int>(std::min(ms, kCountdownMs)), on_exposure_timer, this);
}

void NoctraCcd::cancel_timer() {
  if (timer_id_ >= 0) IERmTimer(timer_id_);
  timer_id_ = -1;
}

void NoctraCcd::exposure_timer() {
  timer_id_ = -1;
  if (!run_ || !run_->exposing()) return;
  const int64_t remaining = deadline_mono_us_ - clock_.now().mono_us;
  if (remaining > kPreciseWaitUs) {
    PrimaryCCD.setExposureLeft(static_cast<double>(remaining) / 1e6);
    // Rounded up, so the next turn finds no more than the last stretch left.
    arm_timer((remaining - kPreciseWaitUs + 999) / 1000);
    return;
  }
  sleep_until_mono(deadline_mono_us_);
  end_exposure();
}

std::string NoctraCcd::image_type() const {
  switch (PrimaryCCD.getFrameType()) {
    case INDI::CCDChip::BIAS_FRAME:
      return "Bias";
    case INDI::CCDChip::DARK_FRAME:
      return "Dark";
    case INDI::CCDChip::FLAT_FRAME:
      return "Flat";
    case INDI::CCDChip::LIGHT_FRAME:
      break;
  }
  return "Light";
}

void NoctraCcd::end_exposure() {
  ExposureResult result = run_->finish();
  InExposure = false;
  PrimaryCCD.setExposureLeft(0);
  if (!result.frame) {
    LOG_ERROR("The video source delivered no frame.");
    PrimaryCCD.setExposureFailed();
    return;
  }
  const FrameImage& frame = *result.frame;

  ExposureFitsInfo info;
  info.instrument = getDeviceName();
  info.image_type = image_type();
  info.frame_number = frames_sent_++;
  {
    std::lock_guard<std::mutex> guard(ccdBufferLock);
    set_frame_geometry(frame.width(), frame.height());
    const auto size = static_cast<std::size_t>(PrimaryCCD.getFrameBufferSize());
    pack_rgb_planes(frame, std::span<uint8_t>(PrimaryCCD.getFrameBuffer(), size));
    fits_keys_ = exposure_fits_keys(result, info);
  }
  ExposureComplete(&PrimaryCCD);
}

bool NoctraCcd::AbortExposure() {
  cancel_timer();
  InExposure = false;
  if (run_) run_->abort();
  return true;
}

void NoctraCcd::addFITSKeywords(INDI::CCDChip* chip) {
  INDI::CCD::addFITSKeywords(chip);
  std::string error;
  if (!write_fits_keys(*chip->fitsFilePointer(), fits_keys_, &error)) {
    LOGF_ERROR("%s", error.c_str());
  }
}

bool NoctraCcd::saveConfigItems(FILE* fp) {
  INDI::CCD::saveConfigItems(fp);
  IUSaveConfigText(fp, &hardware_tp_);
  IUSaveConfigSwitch(fp, &amp_off_sp_);
  IUSaveConfigSwitch(fp, &resolution_sp_);
  return true;
}

}  // namespace noctra::indi
