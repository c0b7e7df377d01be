#include "app/frame_analysis.h"

#include <utility>

namespace noctra {

StarSearch FocusStarFinder::find(const FrameImage& frame, std::optional<FocusPoint> chosen) {
  if (chosen) return find_star_near(frame, chosen->x, chosen->y);
  planes_from_frame(frame, planes_, 1);
  const FloatPlane plane{planes_.plane(0), planes_.width(), planes_.height(), planes_.width()};
  finder_.find(plane, list_);
  for (int k = 0; k < list_.count; ++k) {
    const ListedStar& listed = list_.stars[static_cast<std::size_t>(k)];
    if (listed.saturated) continue;
    StarSearch search = find_star_near(frame, listed.x, guide_y_from_row(frame, listed.row));
    if (search.star && !search.star->saturated) return search;
  }
  return find_brightest_star(frame);
}

void analyse_main_frame(const FrameImage& frame, MainFrameAnalysis& out,
                        std::optional<FocusPoint> chosen, FocusStarFinder* finder) {
  count_levels(frame, out.levels);
  out.stretch = auto_stretch_levels(out.levels);
  FocusStarFinder own;
  out.star = (finder != nullptr ? *finder : own).find(frame, chosen).star;
  out.chosen = chosen.has_value();
}

void analyse_guide_frame(const FrameImage& frame, int32_t guide_x, int32_t guide_y,
                         GuideFrameAnalysis& out) {
  out.guide_x = guide_x;
  out.guide_y = guide_y;
  out.star = measure_star_near(frame, guide_x, guide_y);
}

FrameAnalysis::FrameAnalysis(std::function<void()> ready)
    : ready_(std::move(ready)),
      hand_over_([this](std::size_t lane, const FrameImage& frame, int64_t number,
                        const GuidePosition& guide) { analyse(lane, frame, number, guide); }) {}

FrameAnalysis::~FrameAnalysis() = default;

void FrameAnalysis::analyse_main(const FrameImage& frame) {
  hand_over_.hand_over(kMainLane, frame, {});
}

void FrameAnalysis::analyse_guide(const FrameImage& frame, int32_t guide_x, int32_t guide_y) {
  hand_over_.hand_over(kGuideLane, frame, {guide_x, guide_y});
}

void FrameAnalysis::choose_focus_point(std::optional<FocusPoint> point) {
  const std::lock_guard<std::mutex> lock(mutex_);
  focus_ = point;
  ++focus_choices_;
}

std::optional<FocusPoint> FrameAnalysis::focus_point() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return focus_;
}

std::optional<MainFrameAnalysis> FrameAnalysis::take_main() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(main_result_, std::nullopt);
}

std::optional<GuideFrameAnalysis> FrameAnalysis::take_guide() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(guide_result_, std::nullopt);
}

void FrameAnalysis::analyse(std::size_t lane, const FrameImage& frame, int64_t number,
                            const GuidePosition& guide) {
  if (lane == kMainLane) {
    std::optional<FocusPoint> focus;
    uint64_t focus_choice = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      focus = focus_;
      focus_choice = focus_choices_;
    }
    MainFrameAnalysis main;
    main.frame = number;
    analyse_main_frame(frame, main, focus, &focus_finder_);
    const std::lock_guard<std::mutex> lock(mutex_);
    main_result_ = main;
    // The chosen star drifts: the next frame looks where it is now.
    if (focus && main.star && focus_choice == focus_choices_) {
      focus_ = FocusPoint{main.star->x, main.star->y};
    }
  } else {
    GuideFrameAnalysis result;
    result.frame = number;
    analyse_guide_frame(frame, guide.x, guide.y, result);
    const std::lock_guard<std::mutex> lock(mutex_);
    guide_result_ = result;
  }
  if (ready_) ready_();
}

}  // namespace noctra
