#include "app/frame_analysis.h"

#include <cstring>
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
    : ready_(std::move(ready)), worker_([this] { run(); }) {}

FrameAnalysis::~FrameAnalysis() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void FrameAnalysis::hand_over(Lane& lane, const FrameImage& frame, int32_t guide_x,
                              int32_t guide_y) {
  std::optional<FrameImage> block;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (lane.waiting) ++dropped_;
    block = lane.waiting ? std::move(lane.waiting) : std::move(lane.spare);
    lane.waiting.reset();
    lane.spare.reset();
  }
  // The copy is made outside the lock: the worker may go on meanwhile.
  if (block && block->width() == frame.width() && block->height() == frame.height()) {
    std::memcpy(block->pixels(), frame.pixels(), frame.rows_size());
  } else {
    block = frame.clone();
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    lane.waiting = std::move(block);
    lane.waiting_number = lane.handed_over++;
    lane.guide_x = guide_x;
    lane.guide_y = guide_y;
  }
  wake_.notify_one();
}

void FrameAnalysis::analyse_main(const FrameImage& frame) { hand_over(main_, frame, 0, 0); }

void FrameAnalysis::choose_focus_point(std::optional<FocusPoint> point) {
  const std::lock_guard<std::mutex> lock(mutex_);
  focus_ = point;
  ++focus_choices_;
}

std::optional<FocusPoint> FrameAnalysis::focus_point() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return focus_;
}

void FrameAnalysis::analyse_guide(const FrameImage& frame, int32_t guide_x, int32_t guide_y) {
  hand_over(guide_, frame, guide_x, guide_y);
}

std::optional<MainFrameAnalysis> FrameAnalysis::take_main() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(main_result_, std::nullopt);
}

std::optional<GuideFrameAnalysis> FrameAnalysis::take_guide() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(guide_result_, std::nullopt);
}

int64_t FrameAnalysis::dropped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void FrameAnalysis::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || main_.waiting || guide_.waiting; });
    if (stopping_) return;
    Lane& lane = guide_.waiting ? guide_ : main_;
    FrameImage frame = std::move(*lane.waiting);
    lane.waiting.reset();
    const int64_t number = lane.waiting_number;
    const int32_t guide_x = lane.guide_x, guide_y = lane.guide_y;
    const std::optional<FocusPoint> focus = focus_;
    const uint64_t focus_choice = focus_choices_;
    lock.unlock();
    MainFrameAnalysis main;
    GuideFrameAnalysis guide;
    if (&lane == &main_) {
      main.frame = number;
      analyse_main_frame(frame, main, focus, &focus_finder_);
    } else {
      guide.frame = number;
      analyse_guide_frame(frame, guide_x, guide_y, guide);
    }
    lock.lock();
    if (&lane == &main_) {
      main_result_ = main;
      // The chosen star drifts: the next frame looks where it is now.
      if (focus && main.star && focus_choice == focus_choices_) {
        focus_ = FocusPoint{main.star->x, main.star->y};
      }
    } else {
      guide_result_ = guide;
    }
    // A newer frame copied into a fresh block meanwhile keeps its own.
    if (!lane.spare) lane.spare = std::move(frame);
    lock.unlock();
    if (ready_) ready_();
    lock.lock();
  }
}

}  // namespace noctra
