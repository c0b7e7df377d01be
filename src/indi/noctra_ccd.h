#pragma once
// Noctra as an INDI camera with a guide head: the main chip is the camera's
// long exposure, the guide chip (CCD2) the other field, read out with trigger
// 0x35 while the main exposure goes on (see CameraChips). Both chips' ends
// are timed with INDI's timers on the driver's single thread, so Abort,
// Disconnect and property changes are handled while the light builds up; a
// read-out runs on the same thread and waits in a small pump of its own that
// keeps pressing the capture button. The frames then go to INDI's own FITS
// and upload handling (client, local or both), with Noctra's keys.

#include <libindi/indiccd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/camera_setup.h"
#include "config/platform.h"
#include "config/timing.h"
#include "indi/camera_chips.h"
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
  bool ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                   int n) override;

 protected:
  bool Connect() override;
  bool Disconnect() override;
  bool StartExposure(float duration) override;
  bool AbortExposure() override;
  bool StartGuideExposure(float duration) override;
  bool AbortGuideExposure() override;
  void addFITSKeywords(INDI::CCDChip* chip) override;
  bool saveConfigItems(FILE* fp) override;

 private:
  static void on_timer(void* self);
  static void on_shutdown_signal(int fd, void* self);
  void timer_hit();
  void schedule();
  void cancel_timer();
  void show_countdowns(int64_t now_us);
  void end_main_exposure();
  void end_guide_exposure();
  void deliver(INDI::CCDChip& chip, ExposureResult result);
  // Ends both exposures, idles the port through the trace and closes the
  // devices; touches no property.
  void close_camera();
  bool refuse(const char* property, const std::string& reason);
  void set_frame_geometry(int32_t width, int32_t height);
  ExposureOptions current_options() const;
  static std::string image_type(const INDI::CCDChip& chip);
  int chip_index(const INDI::CCDChip* chip) const { return chip == &GuideCCD ? 1 : 0; }

  // Stamps the exposures' instants on the camera port.
  SystemInstantClock clock_;
  SteadyClock ms_clock_;
  StillTriggerPump pump_;
  PortTrace trace_;
  std::unique_ptr<CameraSetup> camera_;
  std::unique_ptr<CameraChips> chips_;
  int timer_id_ = -1;
  int32_t frame_width_ = 0;
  int32_t frame_height_ = 0;
  // Per chip (main, guide): frames sent since Connect, the FITS frame number.
  std::array<int64_t, 2> frames_sent_{};
  bool hardware_config_loaded_ = false;
  // Per chip (main, guide): written before the frame is handed to INDI, read
  // by INDI's upload thread while it builds the file; both under
  // ccdBufferLock, like the frame buffers and their sizes.
  std::array<std::vector<FitsKey>, 2> fits_keys_;

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
