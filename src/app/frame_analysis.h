#pragma once
// What the windows show beside the frames, measured on a thread of its own so
// that no window ever delays an exposure: for a main frame its level
// histogram, the display stretch's levels and its focus star; for a guide
// frame the star near the chosen guide position.
//
// The window thread hands each frame over (app/frame_hand_over.h) and picks
// the results up when it has the time, typically right after a tick; a slow
// machine shows fewer points, never older ones.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "app/frame_hand_over.h"
#include "imaging/frame_image.h"
#include "imaging/levels.h"
#include "imaging/plane_frame.h"
#include "imaging/star_list.h"
#include "imaging/star_measure.h"

namespace noctra {

// A point of the main frame the user chose a star at, guide coordinates.
struct FocusPoint {
  double x = 0, y = 0;
  friend bool operator==(const FocusPoint&, const FocusPoint&) = default;
};

// The star to focus on: the one near a chosen point, else the brightest star
// that is not saturated (a saturated star's width follows the exposure, not
// the focus), else the brightest. Its buffers are kept from frame to frame.
class FocusStarFinder {
 public:
  StarSearch find(const FrameImage& frame, std::optional<FocusPoint> chosen);

 private:
  PlaneBuffer planes_;
  StarFinder finder_;
  StarList list_;
};

struct MainFrameAnalysis {
  int64_t frame = 0;  // how many main frames were handed over before this one
  LevelHistogram levels;
  StretchLevels stretch;
  std::optional<StarMeasurement> star;  // the focus star (FocusStarFinder)
  bool chosen = false;                  // near the point the user chose
};

struct GuideFrameAnalysis {
  int64_t frame = 0;                    // how many guide frames were handed over before this one
  int32_t guide_x = 0, guide_y = 0;     // the chosen guide position, guide coordinates
  std::optional<StarMeasurement> star;  // the one near it
};

// The measuring itself, on the calling thread.
void analyse_main_frame(const FrameImage& frame, MainFrameAnalysis& out,
                        std::optional<FocusPoint> chosen = {}, FocusStarFinder* finder = nullptr);
void analyse_guide_frame(const FrameImage& frame, int32_t guide_x, int32_t guide_y,
                         GuideFrameAnalysis& out);

class FrameAnalysis {
 public:
  // ready runs on the worker thread each time a result is ready; it may only
  // wake the window thread (post an event), never touch a window.
  explicit FrameAnalysis(std::function<void()> ready);
  ~FrameAnalysis();
  FrameAnalysis(const FrameAnalysis&) = delete;
  FrameAnalysis& operator=(const FrameAnalysis&) = delete;

  void analyse_main(const FrameImage& frame);
  // The focus star is looked for near this point from the next main frame
  // on, and the point follows the star as it drifts; nothing: the
  // brightest unsaturated star.
  void choose_focus_point(std::optional<FocusPoint> point);
  std::optional<FocusPoint> focus_point() const;
  void analyse_guide(const FrameImage& frame, int32_t guide_x, int32_t guide_y);
  // The newest result of each kind not taken yet.
  std::optional<MainFrameAnalysis> take_main();
  std::optional<GuideFrameAnalysis> take_guide();
  int64_t dropped() const { return hand_over_.dropped(); }

 private:
  struct GuidePosition {
    int32_t x = 0, y = 0;
  };
  // Guide frames first: their star is what the guiding waits for.
  static constexpr std::size_t kGuideLane = 0, kMainLane = 1;
  void analyse(std::size_t lane, const FrameImage& frame, int64_t number,
               const GuidePosition& guide);

  std::function<void()> ready_;
  mutable std::mutex mutex_;
  std::optional<MainFrameAnalysis> main_result_;
  std::optional<GuideFrameAnalysis> guide_result_;
  std::optional<FocusPoint> focus_;
  uint64_t focus_choices_ = 0;    // a point the worker moved after a newer choice is dropped
  FocusStarFinder focus_finder_;  // the worker's only
  // Last: its worker starts once everything above is made, and stops first.
  FrameHandOver<GuidePosition, 2> hand_over_;
};

}  // namespace noctra
