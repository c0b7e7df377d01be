#include "indi/noctra_ccd.h"

#include <linux/limits.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "camera/hardware.h"
#include "camera/sim_sky_camera.h"
#include "indi/shutdown_signals.h"

namespace noctra::indi {

namespace {

constexpr const char* kOptionsGroup = "Options";
constexpr int kPortText = 0;
constexpr int kSourceText = 1;
// INDI's timers wake the driver this long before a read-out; the rest is
// slept on the monotonic clock, which lands on the instant even when the
// event loop wakes late on a busy machine.
constexpr int64_t kPreciseWaitUs = 50'000;
// The countdowns a client sees are refreshed at least this often.
constexpr int64_t kCountdownMs = 1000;
constexpr double kMaxExposureS = 3600;
constexpr double kMinGuideExposureS = 0.05;
constexpr double kMaxGuideExposureS = 60;
// A text longer than a path may be is refused before INDI's library stores
// it (very long ones would end the driver inside it).
constexpr std::size_t kMaxTextChars = PATH_MAX - 1;
// Words longer than this are shortened in messages, so that a message about
// a very long name still ends with its reason.
constexpr std::size_t kLongestShownWord = 120;

int64_t microseconds(double seconds) { return std::llround(seconds * 1e6); }

// "/dev/aaaa...aaaa (4100 characters)" for every run of characters without a
// space longer than kLongestShownWord.
std::string shorten_long_words(const std::string& text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t space = text.find(' ', at);
    const std::size_t end = space == std::string::npos ? text.size() : space;
    const std::size_t length = end - at;
    if (length > kLongestShownWord) {
      // A colon or comma that ends the word stays after the count.
      const bool mark = std::strchr(":,;", text[end - 1]) != nullptr;
      const std::size_t word_end = mark ? end - 1 : end;
      out.append(text, at, 60).append("...").append(text, word_end - 40, 40);
      out.append(" (").append(std::to_string(word_end - at)).append(" characters)");
      if (mark) out.push_back(text[end - 1]);
    } else {
      out.append(text, at, length);
    }
    if (space == std::string::npos) break;
    out.push_back(' ');
    at = space + 1;
  }
  return out;
}

}  // namespace

NoctraCcd::NoctraCcd() { setVersion(0, 7); }

NoctraCcd::~NoctraCcd() {
  // Also when the driver ends because indiserver has gone: the port is idled
  // through the trace before the devices close.
  close_camera();
}

bool NoctraCcd::initProperties() {
  INDI::CCD::initProperties();
  SetCCDCapability(CCD_CAN_ABORT | CCD_HAS_GUIDE_HEAD);
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
  GuideCCD.setMinMaxStep("GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", kMinGuideExposureS,
                         kMaxGuideExposureS, 0.001, false);
  addDebugControl();

  if (const int fd = shutdown_signals::install(); fd >= 0) {
    IEAddCallback(fd, on_shutdown_signal, this);
  }
  return true;
}

void NoctraCcd::on_shutdown_signal(int fd, void* self) {
  const int signal_number = shutdown_signals::take(fd);
  if (signal_number == 0) return;
  static_cast<NoctraCcd*>(self)->close_camera();
  shutdown_signals::die_of(signal_number);
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

bool NoctraCcd::refuse(const char* property, const std::string& reason) {
  INDI::Property refused = getProperty(property);
  if (refused.isValid()) {
    refused.setState(IPS_ALERT);
    refused.apply();
  }
  LOGF_ERROR("%s", shorten_long_words(reason).c_str());
  return false;
}

bool NoctraCcd::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
  if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
    for (int i = 0; i < n; ++i) {
      if (texts[i] != nullptr && strnlen(texts[i], kMaxTextChars + 1) > kMaxTextChars) {
        return refuse(name, std::string(name) + "." + names[i] + ": the text is longer than " +
                                std::to_string(kMaxTextChars) +
                                " characters, more than a path may be; nothing changed.");
      }
    }
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
        if (!checked) return refuse(name, checked.message());
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
      return refuse(name, "Port trace: " + error);
    }
  }
  return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool NoctraCcd::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                            int n) {
  if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
    // INDI's library would turn every switch off before it finds the
    // unknown one: a refused request must leave the switches as they were.
    const INDI::PropertySwitch switches = getSwitch(name);
    for (int i = 0; switches.isValid() && i < n; ++i) {
      if (switches.findWidgetByName(names[i]) == nullptr) {
        return refuse(name,
                      std::string(name) + " has no switch " + names[i] + "; nothing changed.");
      }
    }
    for (ISwitchVectorProperty* property : {&amp_off_sp_, &resolution_sp_}) {
      if (std::strcmp(name, property->name) != 0) continue;
      if (IUUpdateSwitch(property, states, names, n) < 0) {
        property->s = IPS_ALERT;
        IDSetSwitch(property, nullptr);
        return false;
      }
      property->s = IPS_OK;
      IDSetSwitch(property, nullptr);
      if (chips_ && chips_->exposing(Chip::Main)) {
        LOG_INFO("The change applies from the next exposure.");
      }
      return true;
    }
  }
  return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool NoctraCcd::ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                            int n) {
  if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
    // INDI's range checks let NaN through, and the property would show it.
    for (int i = 0; i < n; ++i) {
      if (!std::isfinite(values[i])) {
        return refuse(name, std::string(name) + "." + names[i] +
                                ": the value is not a finite number; nothing changed.");
      }
    }
  }
  return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool NoctraCcd::Connect() {
  // The chips point into the camera: never let them outlive it.
  if (camera_) close_camera();
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
    LOGF_ERROR("Cannot connect: %s", shorten_long_words(opened.message()).c_str());
    return false;
  }
  camera_ = std::move(*opened);
  pump_.set_acquirer(&camera_->acquisition());
  chips_ = std::make_unique<CameraChips>(camera_->port(), camera_->acquisition(), clock_);
  frames_sent_ = {};
  camera_->port().camera_idle();

  // A source that cannot tell its size yet gets the simulated camera's until
  // its first frame comes.
  FrameSize size{SimSkyOptions{}.width, SimSkyOptions{}.height};
  if (const FrameSource* source = camera_->acquisition().source()) {
    size = source->frame_size().value_or(size);
  }
  {
    // INDI's upload thread may still be sending the last frame from a buffer.
    std::lock_guard<std::mutex> guard(ccdBufferLock);
    set_frame_geometry(size.width, size.height);
  }
  hardware_tp_.s = IPS_OK;
  IDSetText(&hardware_tp_, nullptr);
  LOGF_INFO("Camera port %s, video source %s.", camera_->port_name().c_str(),
            camera_->source_name().c_str());
  return true;
}

void NoctraCcd::close_camera() {
  cancel_timer();
  InExposure = false;
  InGuideExposure = false;
  // Idle through the traced port, before the devices close.
  if (chips_) chips_->abort_all();
  pump_.hold_main_trigger_until(std::nullopt);
  chips_.reset();
  pump_.set_acquirer(nullptr);
  camera_.reset();
}

bool NoctraCcd::Disconnect() {
  close_camera();
  // A client waiting for an exposure learns that it has ended; the chips'
  // properties come back Idle at the next Connect.
  for (const char* name : {"CCD_EXPOSURE", "GUIDER_EXPOSURE"}) {
    INDI::PropertyNumber exposure = getNumber(name);
    if (!exposure.isValid() || exposure.getState() != IPS_BUSY) continue;
    exposure.setState(IPS_IDLE);
    exposure[0].setValue(0);
    exposure.apply();
  }
  return true;
}

void NoctraCcd::set_frame_geometry(int32_t width, int32_t height) {
  if (width == frame_width_ && height == frame_height_) return;
  frame_width_ = width;
  frame_height_ = height;
  // An analogue camera behind a capture device has no pixel size to report;
  // a guide frame is a frame of the same camera.
  SetCCDParams(width, height, 8, 0, 0);
  SetGuiderParams(width, height, 8, 0, 0);
  for (INDI::CCDChip* chip : {&PrimaryCCD, &GuideCCD}) {
    chip->setNAxis(3);
    chip->setFrameBufferSize(static_cast<uint32_t>(3 * width * height));
  }
}

ExposureOptions NoctraCcd::current_options() const {
  ExposureOptions options;
  options.amp_off = amp_off_s_[0].s == ISS_ON;
  options.mode = resolution_s_[1].s == ISS_ON ? CaptureMode::HighRes : CaptureMode::LowRes;
  return options;
}

bool NoctraCcd::StartExposure(float duration) {
  if (!chips_) {
    LOG_ERROR("Connect the camera first.");
    return false;
  }
  if (!std::isfinite(duration) || duration < 0 || duration > kMaxExposureS) {
    LOGF_ERROR("Exposure %g s is out of range (0 to %g s).", static_cast<double>(duration),
               kMaxExposureS);
    return false;
  }
  if (chips_->exposing(Chip::Main)) {
    LOG_ERROR("An exposure is already running.");
    return false;
  }
  PrimaryCCD.setExposureDuration(duration);
  const bool guide_restarts = chips_->exposing(Chip::Guide);
  chips_->begin_main(current_options(), microseconds(duration));
  if (guide_restarts) LOG_DEBUG("The guide exposure starts again with the main exposure.");
  InExposure = true;
  // Even a zero exposure ends from the event loop, after INDI has marked it
  // busy, never inside this call.
  schedule();
  return true;
}

bool NoctraCcd::StartGuideExposure(float duration) {
  if (!chips_) {
    LOG_ERROR("Connect the camera first.");
    return false;
  }
  if (!std::isfinite(duration) || duration < kMinGuideExposureS || duration > kMaxGuideExposureS) {
    LOGF_ERROR("Guide exposure %g s is out of range (%g to %g s).", static_cast<double>(duration),
               kMinGuideExposureS, kMaxGuideExposureS);
    return false;
  }
  GuideCCD.setExposureDuration(duration);
  chips_->begin_guide(current_options().amp_off, microseconds(duration));
  InGuideExposure = true;
  schedule();
  return true;
}

void NoctraCcd::on_timer(void* self) { static_cast<NoctraCcd*>(self)->timer_hit(); }

void NoctraCcd::schedule() {
  cancel_timer();
  const std::optional<CameraChips::Due> due = chips_ ? chips_->next_readout() : std::nullopt;
  if (!due) return;
  // Rounded up, so the timer finds no more than the last stretch left.
  const int64_t until_last_stretch = due->mono_us - clock_.now().mono_us - kPreciseWaitUs;
  const int64_t ms = std::clamp<int64_t>((until_last_stretch + 999) / 1000, 0, kCountdownMs);
  timer_id_ = IEAddTimer(static_cast<int>(ms), on_timer, this);
}

void NoctraCcd::cancel_timer() {
  if (timer_id_ >= 0) IERmTimer(timer_id_);
  timer_id_ = -1;
}

void NoctraCcd::show_countdowns(int64_t now_us) {
  // Not while INDI's upload thread sends a frame: it holds the driver's
  // output meanwhile, and waiting for it could make a read-out late.
  const std::unique_lock<std::mutex> upload(ccdBufferLock, std::try_to_lock);
  if (!upload.owns_lock()) return;
  const auto left = [now_us](int64_t deadline_us) {
    return static_cast<double>(std::max<int64_t>(0, deadline_us - now_us)) / 1e6;
  };
  if (const auto deadline = chips_->main_deadline_us()) PrimaryCCD.setExposureLeft(left(*deadline));
  if (const auto deadline = chips_->guide_deadline_us()) GuideCCD.setExposureLeft(left(*deadline));
}

void NoctraCcd::timer_hit() {
  timer_id_ = -1;
  while (chips_) {
    const std::optional<CameraChips::Due> due = chips_->next_readout();
    if (!due) return;
    const int64_t now_us = clock_.now().mono_us;
    if (due->mono_us - now_us > kPreciseWaitUs) {
      show_countdowns(now_us);
      schedule();
      return;
    }
    sleep_until_mono(due->mono_us);
    if (due->chip == Chip::Main) {
      end_main_exposure();
    } else {
      end_guide_exposure();
    }
  }
}

std::string NoctraCcd::image_type(const INDI::CCDChip& chip) {
  switch (chip.getFrameType()) {
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

void NoctraCcd::end_main_exposure() {
  const bool guided_high_res =
      chips_->main_guided() && chips_->main_options().mode == CaptureMode::HighRes;
  // High Res begins its read-out early; its 0x37 waits for the exposure's end.
  pump_.hold_main_trigger_until(chips_->main_deadline_us());
  ExposureResult result = chips_->read_out_main();
  if (result.first_trigger && pump_.held_from_us()) {
    chips_->note_grab_us(*pump_.held_from_us() - result.first_trigger->mono_us);
  }
  pump_.hold_main_trigger_until(std::nullopt);
  InExposure = false;
  if (guided_high_res) {
    LOG_INFO("Guide exposures ran during this exposure: it was read out in Low Res.");
  }
  deliver(PrimaryCCD, std::move(result));
}

void NoctraCcd::end_guide_exposure() {
  ExposureResult result = chips_->read_out_guide();
  InGuideExposure = false;
  deliver(GuideCCD, std::move(result));
}

void NoctraCcd::deliver(INDI::CCDChip& chip, ExposureResult result) {
  chip.setExposureLeft(0);
  if (!result.frame) {
    LOG_ERROR("The video source delivered no frame.");
    chip.setExposureFailed();
    return;
  }
  const FrameImage& frame = *result.frame;
  const int index = chip_index(&chip);
  ExposureFitsInfo info;
  info.instrument = getDeviceName();
  info.image_type = image_type(chip);
  info.frame_number = frames_sent_[index]++;
  {
    std::lock_guard<std::mutex> guard(ccdBufferLock);
    set_frame_geometry(frame.width(), frame.height());
    const auto size = static_cast<std::size_t>(chip.getFrameBufferSize());
    pack_rgb_planes(frame, std::span<uint8_t>(chip.getFrameBuffer(), size));
    fits_keys_[index] = exposure_fits_keys(result, info);
  }
  ExposureComplete(&chip);
}

bool NoctraCcd::AbortExposure() {
  if (chips_) chips_->abort(Chip::Main);
  InExposure = false;
  schedule();
  return true;
}

bool NoctraCcd::AbortGuideExposure() {
  if (chips_) chips_->abort(Chip::Guide);
  InGuideExposure = false;
  schedule();
  return true;
}

void NoctraCcd::addFITSKeywords(INDI::CCDChip* chip) {
  INDI::CCD::addFITSKeywords(chip);
  std::string error;
  if (!write_fits_keys(*chip->fitsFilePointer(), fits_keys_[chip_index(chip)], &error)) {
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
