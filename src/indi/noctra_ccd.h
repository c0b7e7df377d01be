#pragma once
// Noctra as an INDI camera. A client's exposure runs Noctra's own sequence
// on the camera port (see ExposureRun): the exposure is timed with INDI's
// timers on the driver's single thread, so Abort, Disconnect and property
// changes are handled while the light builds up; the acquisition at its end
// runs on the same thread and waits in a small pump of its own that keeps
// pressing the capture button. The frame then goes to INDI's own FITS and
// upload handling (client, local or both), with Noctra's keys.

#include <libindi/indiccd.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/camera_setup.h"
#include "config/platform.h"
#include "config/timing.h"
#include "indi/exposure_run.h"
#include "indi/frame_fits.h"
#include "indi/port_trace.h"
#include "indi/still_pump.h"

namespace noctra::indi {

class NoctraCcd : public INDI::CCD {
 public:
  NoctraCcd();
  ~NoctraCcd() override;

  const char* getDefaultName() override { return "Noctra"; }
  bool initProperties() override;
  bool updateProperties() override;
  void ISGetProperties(const char* dev) override;
  bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;
  bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                   int n) override;

 protected:
  bool Connect() override;
  bool Disconnect() override;
  bool StartExposure(float duration) override;
  bool AbortExposure() override;
  void addFITSKeywords(INDI::CCDChip* chip) override;
  bool saveConfigItems(FILE* fp) override;

 private:
  static void on_exposure_timer(void* self);
  void exposure_timer();
  void arm_timer(int64_t ms);
  void cancel_timer();
  void end_exposure();
  void set_frame_geometry(int32_t width, int32_t height);
  ExposureOptions current_options() const;
  std::string image_type() const;

  SteadyClock ms_clock_;
  // Stamps the exposures' instants on the camera port.
  SystemInstantClock clock_;
  StillTriggerPump pump_;
  PortTrace trace_;
  std::unique_ptr<CameraSetup> camera_;
  std::unique_ptr<ExposureRun> run_;
  int timer_id_ = -1;
  int64_t deadline_mono_us_ = 0;
  int32_t frame_width_ = 0;
  int32_t frame_height_ = 0;
  int64_t frames_sent_ = 0;  // since Connect: the FITS frame number
  bool hardware_config_loaded_ = false;
  // Written before the frame is handed to INDI, read by INDI's upload thread
  // while it builds the file; both under ccdBufferLock, like the frame buffer
  // and its size.
  std::vector<FitsKey> fits_keys_;

  // [Hardware] Port= and Source=.
  ITextVectorProperty hardware_tp_{};
  IText hardware_t_[2]{};
  ISwitchVectorProperty amp_off_sp_{};
  ISwitch amp_off_s_[2]{};
  ISwitchVectorProperty resolution_sp_{};
  ISwitch resolution_s_[2]{};
  ITextVectorProperty trace_tp_{};
  IText trace_t_[1]{};
};

}  // namespace noctra::indi
