#pragma once
// Calibration of the frames as they come, with the masters of the
// calibration library: the main view's frames, the hot pixels of the guide
// frames, calibrated FITS recordings and the live stack.
//
// The masters are chosen for each frame by its identity (its size and how it
// was taken, the capture device and its format) and its exposure: the
// library's choice is made again for every frame, which costs a walk over
// the masters, while the calibrator (thermal map, flat, hot-pixel map) is
// prepared once per set of masters chosen and kept. A master of another size
// or format is never applied; with none at hand the frames stay raw and the
// status says which master is missing.
//
// The library is read (and each file that is not a master named once) by the
// first frame after start or after rescan(), on the thread calibrating it:
// the window thread never reads a master. It only hands frames over
// (app/frame_hand_over.h) and takes the results.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/frame_hand_over.h"
#include "app/stack_session.h"
#include "camera/camera_setup.h"
#include "config/frame_metadata.h"
#include "config/timing.h"
#include "imaging/calibration.h"
#include "output/calibration_library.h"
#include "output/fits_container.h"

namespace noctra {

// The identity masters must have to calibrate a frame of that size, taken so
// from that source.
MasterIdentity frame_identity(int32_t width, int32_t height, const FrameMetadata& how,
                              const SourceIdentity& source);

// The masters chosen for one identity, prepared.
struct CalibrationChoice {
  MasterIdentity identity;
  std::string bias, dark, flat;          // the masters' file names; empty: none
  std::vector<std::string> missing;      // each kind not found, in words
  std::optional<Calibrator> calibrator;  // nothing when the masters disagree
  std::string problem;                   // why they disagree
  // Whether anything is taken off the frames.
  bool applies() const;
};

// The status line for a frame calibrated with that choice (integration_s:
// its exposure): what was applied with the dark's scale, and what is missing.
std::string calibration_status(const CalibrationChoice& choice, const CalibrationReport& report,
                               double integration_s);

// What a calibrated recording's header says of it: CALSTAT (the letters of
// what was applied: B bias, D dark, F flat, H hot pixels; NONE), CALBIAS,
// CALDARK and CALFLAT (the masters' file names, as the stack's header names
// them), DARKSCAL (k) and DARKRAT (the exposure ratio), HOTPIX.
std::vector<FitsKey> calibration_fits_keys(const CalibrationChoice& choice,
                                           const CalibrationReport& report);

// For StackSession::set_calibration.
struct StackCalibrationParts {
  StackCalibration calibrate;
  std::string dark, flat;
  std::optional<double> dark_scale;  // nothing: fitted per frame
};

class CalibrationSession {
 public:
  // ready runs on the worker each time a view or guide frame is ready: it may
  // only wake the window thread (set_ready: the windows come later).
  explicit CalibrationSession(std::filesystem::path library_folder,
                              std::function<void()> ready = {});
  ~CalibrationSession();
  CalibrationSession(const CalibrationSession&) = delete;
  CalibrationSession& operator=(const CalibrationSession&) = delete;

  void set_ready(std::function<void()> ready);
  // The library is read again before the next frame (a master was saved).
  void rescan();
  // k fitted per frame (the default), else the exposure ratio alone.
  void set_fit_scale(bool fitted) { fit_scale_ = fitted; }
  // How the frames now come and from where, from the window thread before
  // each frame is written: for the recordings and the live stack, whose
  // calls carry no metadata.
  void note_frame(const FrameMetadata& how, const SourceIdentity& source);

  // The masters for that identity and exposure, prepared (reads the library
  // when it must: never on the window thread).
  std::shared_ptr<const CalibrationChoice> choose(const MasterIdentity& identity,
                                                  double integration_s);
  // One frame calibrated on the calling thread into `out` (the frame as it
  // is when nothing applies); `chosen` gets the masters used.
  CalibrationReport calibrate(const FrameImage& frame, const FrameTiming& timing,
                              const FrameMetadata& how, const SourceIdentity& source,
                              FloatPlanes& out,
                              std::shared_ptr<const CalibrationChoice>* chosen = nullptr);

  // The view: the frame is copied in and calibrated on the worker;
  // take_view() swaps the newest calibrated frame into `shown` and gives its
  // status line, nothing when no new one is ready.
  void calibrate_view(const FrameImage& frame, const FrameTiming& timing, const FrameMetadata& how,
                      const SourceIdentity& source);
  std::optional<std::string> take_view(FrameHolder& shown);

  // Guide frames: the dark's hot pixels (and lone hot pixels) corrected on
  // the worker. correct_guide() returns the frame's number; take_guide()
  // swaps the corrected frame of that number into `guide` once it is ready
  // (false: not ready, or only an older one, which is let go).
  int64_t correct_guide(const FrameImage& frame, const FrameMetadata& how,
                        const SourceIdentity& source, double exposure_s);
  bool take_guide(FrameHolder& guide, int64_t number);

  // Notes for the status line not given before: files skipped, masters that
  // disagree, guide frames without a dark.
  std::vector<std::string> take_messages();

  // For Recording::set_calibration: calibrates with the frame's metadata and
  // the source noted last.
  CalibrateRecordedFrame recording_calibration();
  // For StackSession::set_calibration: the frames calibrated as noted last,
  // false (stacked raw) when nothing applies; the names of the masters chosen
  // for the last frame calibrated.
  StackCalibrationParts stack_calibration();

 private:
  struct Handed {
    FrameTiming timing;
    FrameMetadata how;
    SourceIdentity source;
    double exposure_s = 0;
  };
  static constexpr std::size_t kGuideLane = 0, kViewLane = 1;
  void work(std::size_t lane, const FrameImage& frame, int64_t number, const Handed& handed);
  void work_view(const FrameImage& frame, const Handed& handed);
  void work_guide(const FrameImage& frame, int64_t number, const Handed& handed);
  void note(const std::string& message);

  std::function<void()> ready_;
  std::atomic<bool> fit_scale_{true};
  std::atomic<bool> rescan_wanted_{true};

  // The library and the prepared choices (kCachedChoices, newest last).
  std::mutex library_mutex_;
  CalibrationLibrary library_;
  std::vector<std::shared_ptr<const CalibrationChoice>> cache_;

  mutable std::mutex mutex_;
  FrameMetadata noted_how_;
  SourceIdentity noted_source_;
  std::shared_ptr<const CalibrationChoice> last_choice_;
  std::vector<std::string> messages_;
  std::set<std::string> said_;
  FrameHolder view_ready_, guide_ready_;
  std::string view_status_;
  bool view_fresh_ = false;
  int64_t guide_number_ = -1;

  // The worker's own.
  FloatPlanes view_planes_;
  FrameHolder view_render_, guide_render_;

  // Last: its worker starts once everything above is made, and stops first.
  FrameHandOver<Handed, 2> hand_over_;
};

}  // namespace noctra
