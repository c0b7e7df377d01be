#include "app/frame_analysis.h"

#include <utility>

namespace noctra {

void analyse_main_frame(const FrameImage& frame, MainFrameAnalysis& out) {
  count_levels(frame, out.levels);
  out.stretch = auto_stretch_levels(out.levels);
  out.star = measure_brightest_star(frame);
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
    MainFrameAnalysis main;
    main.frame = number;
    analyse_main_frame(frame, main);
    const std::lock_guard<std::mutex> lock(mutex_);
    main_result_ = main;
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
