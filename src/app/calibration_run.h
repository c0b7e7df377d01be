#pragma once
// Taking the frames of a master bias, dark or flat: N exposures through the
// ordinary exposure path (the sequencer's calibration run: the same control
// bytes and timing as a recording, nothing written), combined on a worker
// thread of their own and saved in the calibration library as one file, or
// none at all.
//
// The window thread only copies each frame as it comes (a frame listener)
// and, through poll(), notices how the run stands: a Stop, a frame source
// that went away or a capture cancelled ends it without a master. A bias
// takes the shortest exposure the camera can (0 ms, no delay); the user's
// exposure and delay are put back once the run is over, however it ended.
//
// Nothing here knows Qt: the capture dialog and the headless runner both
// drive it.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/sequencer.h"
#include "camera/frame_acquirer.h"
#include "config/platform.h"
#include "config/settings.h"
#include "config/status.h"
#include "imaging/calibration.h"
#include "output/calibration_library.h"
#include "output/writer_io.h"

namespace noctra {

class CameraSetup;

// What the frames do not say about where they came from.
struct CaptureDevice {
  std::string device;  // "sim", "v4l2:/dev/video0", ...
  std::string format;  // "sim", "YUYV", "GREY", ...
};
// The current source's name and frame format.
CaptureDevice capture_device(CameraSetup& camera);

// "dark", "flat", "bias" and back; nothing for another word.
const char* master_kind_word(MasterKind kind);
std::optional<MasterKind> master_kind_from_word(const std::string& word);

struct CalibrationResult {
  MasterKind kind = MasterKind::Dark;
  std::filesystem::path file;
  double noise = 0;  // the master's noise, ADU
  // Hot pixels of a dark or bias master (more than 5 sigma above their
  // neighbours); nothing for a flat.
  std::optional<int32_t> hot_pixels;
  int32_t frames = 0;
  double exposure_s = 0;  // mean integration time of the frames
};

struct CalibrationProgress {
  enum class State { Idle, Capturing, Combining, Saved, Failed };
  State state = State::Idle;
  MasterKind kind = MasterKind::Dark;
  int32_t frames_in = 0;
  int32_t frames_wanted = 0;
  std::string error;                        // Failed: why, in a sentence
  std::optional<CalibrationResult> result;  // Saved
  bool over() const { return state == State::Saved || state == State::Failed; }
};

class CalibrationRun {
 public:
  struct Context {
    Sequencer& sequencer;
    Settings& settings;
    FrameAcquirer& acquirer;
    Clock& clock;
    std::function<CaptureDevice()> device;
    std::filesystem::path library_folder;
    WriterIo* io = nullptr;  // the real calls when empty
    // How long after the last frame (beyond the exposure and the delay) a
    // run without a new one is given up as a lost source.
    int32_t frame_timeout_ms = 30000;
  };

  // Registers its frame listener with the sequencer: it lives as long as the
  // sequencer does.
  explicit CalibrationRun(Context context);
  // Ends a capture still going (no master) and puts the settings back.
  ~CalibrationRun();
  CalibrationRun(const CalibrationRun&) = delete;
  CalibrationRun& operator=(const CalibrationRun&) = delete;

  // Starts a capture of `frames` frames of that kind. Refused, saying why,
  // during a recording, while a capture is going, or for fewer than 1 frame.
  Status start(MasterKind kind, int32_t frames);
  // Ends the capture without a master (the run is stopped too).
  void cancel();
  // At the program's end, before the settings are saved: a capture still
  // taking frames ends without a master, the run with it, and a bias's
  // exposure is put back. Frames being combined are still saved.
  void shut_down();
  // From the window thread, cheap; call it often (a timer, the headless
  // pump): notices a run that ended, stops the sequencer's run when the
  // capture is over and puts the user's settings back. Tells the listeners
  // once when a master was saved.
  CalibrationProgress poll();
  bool busy() const;

  using SavedListener = std::function<void(const CalibrationResult&)>;
  void add_saved_listener(SavedListener listener) {
    saved_listeners_.push_back(std::move(listener));
  }

 private:
  struct Taken {
    FrameImage frame;
    FrameTiming timing;
    FrameMetadata how;
  };
  struct Job {
    uint64_t capture = 0;
    std::optional<Taken> taken;  // nothing: the capture is complete
  };

  // The worker's: one capture's frames as they are combined.
  struct Combining {
    Combining(uint64_t id, MasterKind master_kind, const CaptureDevice& from);
    uint64_t capture;
    MasterKind kind;
    CaptureDevice device;
    MasterCombiner combiner;
    MasterIdentity identity;
    int64_t first_utc_us = 0;
    std::array<int32_t, 3> fields{};  // frames by the field kept
    bool broken = false;
  };

  void on_frame(const TakenFrame& taken);
  void work();
  void add(Combining& combining, const Taken& taken);
  void finish(Combining& combining);
  void failed(const Combining& combining, const std::string& why);
  void fail(const std::string& why);  // with mutex_ held
  void end_sequencer_run();
  void put_settings_back();

  Context context_;
  WriterIo& io_;
  std::vector<SavedListener> saved_listeners_;

  // The window thread's.
  struct SavedSettings {
    int32_t exposure = 0;
    int32_t delay = 0;
  };
  std::optional<SavedSettings> user_settings_;
  bool run_started_ = false;  // the sequencer's run is ours and not yet seen ended
  bool told_ = false;         // the saved listeners heard of this capture's master
  int32_t last_frame_ms_ = 0;
  int32_t cycle_ms_ = 0;
  CaptureDevice device_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  CalibrationProgress progress_;
  uint64_t capture_ = 0;  // grows with every start: the worker drops jobs of older ones
  std::deque<Job> jobs_;
  bool quitting_ = false;
  std::thread worker_;
};

// `noctra --headless --calibrate KIND --count N`: the capture on the devices
// of the settings, with progress lines and the result on `log`. 0 when the
// master was saved, 1 when the capture failed, 2 when the devices cannot be
// opened.
int run_headless_calibration(const AppOptions& options, MasterKind kind, int32_t frames,
                             const std::atomic<bool>& interrupt, std::ostream& log);

}  // namespace noctra
