#include "imaging/stack_engine.h"

#include <algorithm>
#include <cmath>

namespace noctra {

namespace {

// Where a jump is judged: 2 px more allowed for each frame since the last
// one stacked; jumps that agree lie this close to one another.
constexpr double kJumpPerFrame = 2.0;
constexpr double kJumpsAgree = 3.0;

RigidTransform identity_for(int32_t width, int32_t height) {
  RigidTransform t;
  t.cx = (width - 1) / 2.0;
  t.cy = (height - 1) / 2.0;
  return t;
}

}  // namespace

const char* frame_verdict_text(FrameVerdict verdict) {
  switch (verdict) {
    case FrameVerdict::Reference:
    case FrameVerdict::Accepted:
      return "";
    case FrameVerdict::NoStars:
      return "no_stars";
    case FrameVerdict::TooFewMatched:
      return "too_few_matched";
    case FrameVerdict::Residual:
      return "residual";
    case FrameVerdict::Fwhm:
      return "fwhm";
    case FrameVerdict::Jump:
      return "jump";
    case FrameVerdict::Size:
      return "size";
    case FrameVerdict::Dropped:
      break;
  }
  return "dropped";
}

int64_t VerdictCounts::left_out() const {
  int64_t total = 0;
  for (const int64_t n : counts) total += n;
  return total - stacked();
}

std::string VerdictCounts::left_out_text() const {
  std::string text;
  for (std::size_t v = 0; v < counts.size(); ++v) {
    const auto verdict = static_cast<FrameVerdict>(v);
    if (counts[v] == 0 || noctra::stacked(verdict)) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(counts[v]) + ' ' + frame_verdict_text(verdict);
  }
  return text;
}

StackEngine::StackEngine(StackOptions options) : options_(options) {
  options_.max_stars = std::clamp(options_.max_stars, 1, kStarListCapacity);
}

void StackEngine::reset() {
  reference_.count = 0;
  reference_fwhm_ = 0;
  rejected_ = 0;
  known_ = 0;
  jumps_ = 0;
}

PlaneFrame StackEngine::picture() const {
  PlaneFrame frame;
  if (!started()) return frame;
  frame.width = stack_.width();
  frame.height = stack_.height();
  frame.channels = stack_.channels();
  for (int c = 0; c < frame.channels; ++c) {
    frame.planes[static_cast<std::size_t>(c)] = {stack_.mean(c), frame.width, frame.height,
                                                 frame.width, 255};
  }
  return frame;
}

StackFrameReport StackEngine::add(const FrameImage& raw, int64_t number) {
  planes_from_frame(raw, raw_planes_);
  return add(raw_planes_.view(), number);
}

const FloatPlane& StackEngine::detection_plane(const PlaneFrame& frame) {
  if (frame.channels == 1) return frame.planes[0];
  // Stars are found in the channels' mean.
  luminance_.shape(frame.width, frame.height, 1);
  const float third = 1.0F / static_cast<float>(frame.channels);
  for (int32_t q = 0; q < frame.height; ++q) {
    float* out =
        luminance_.plane(0) + static_cast<std::size_t>(q) * static_cast<std::size_t>(frame.width);
    std::fill(out, out + frame.width, 0.0F);
    for (int c = 0; c < frame.channels; ++c) {
      const float* in = frame.planes[static_cast<std::size_t>(c)].row(q);
      for (int32_t k = 0; k < frame.width; ++k) out[k] += third * in[k];
    }
  }
  luminance_view_ = luminance_.view(frame.planes[0].saturation).planes[0];
  return luminance_view_;
}

RigidTransform StackEngine::predicted(int64_t number) const {
  RigidTransform p = last_.transform;
  if (known_ < 2 || last_.number == before_.number) return p;
  // The drift and the field rotation go on as they went between the last
  // two frames stacked.
  const double scale = static_cast<double>(number - last_.number) /
                       static_cast<double>(last_.number - before_.number);
  p.dx += scale * (last_.transform.dx - before_.transform.dx);
  p.dy += scale * (last_.transform.dy - before_.transform.dy);
  p.rotation += scale * (last_.transform.rotation - before_.transform.rotation);
  return p;
}

StackFrameReport StackEngine::add(const PlaneFrame& frame, int64_t number) {
  StackFrameReport report = judge(frame, number);
  if (stacked(report.verdict)) {
    stack_.add(frame, report.transform, stars_.noise, options_.kernel);
    before_ = last_;
    last_ = {report.transform, number};
    known_ = std::min(known_ + 1, 2);
  } else {
    ++rejected_;
  }
  return report;
}

StackFrameReport StackEngine::judge(const PlaneFrame& frame, int64_t number) {
  StackFrameReport report;
  report.frame = number;
  const bool shaped = frame.width > 0 && frame.height > 0 &&
                      (frame.channels == 1 || frame.channels == kMaxChannels);
  if (!shaped || (started() && (frame.width != stack_.width() || frame.height != stack_.height() ||
                                frame.channels != stack_.channels()))) {
    report.verdict = FrameVerdict::Size;
    return report;
  }
  finder_.find(detection_plane(frame), stars_, options_.max_stars);
  report.stars = stars_.count;
  report.fwhm = stars_.median_fwhm();
  report.star_miss = stars_.miss;
  if (stars_.count == 0) {
    report.verdict = FrameVerdict::NoStars;
    return report;
  }

  if (!started()) {
    reference_ = stars_;
    reference_fwhm_ = report.fwhm;
    if (stack_.width() != frame.width || stack_.height() != frame.height ||
        stack_.channels() != frame.channels || stack_.frames() != 0) {
      stack_.start(frame.width, frame.height, frame.channels);
    }
    report.transform = identity_for(frame.width, frame.height);
    report.matched = stars_.count;
    report.verdict = FrameVerdict::Reference;
    known_ = 0;
    jumps_ = 0;
    return report;
  }

  const RigidTransform prediction = predicted(number);
  const Alignment alignment = align_stars(reference_, stars_, prediction);
  report.transform = alignment.transform;
  report.method = alignment.method;
  report.matched = alignment.matched;
  report.residual_px = static_cast<float>(alignment.residual_rms);
  const int fewest = std::min(reference_.count, stars_.count);
  if (!alignment.found || alignment.matched < fewest / 4) {
    report.verdict = FrameVerdict::TooFewMatched;
  } else if (alignment.residual_rms > options_.max_residual_px) {
    report.verdict = FrameVerdict::Residual;
  } else if (reference_fwhm_ > 0 && report.fwhm > options_.max_fwhm_ratio * reference_fwhm_) {
    report.verdict = FrameVerdict::Fwhm;
  } else {
    report.verdict = FrameVerdict::Accepted;
    // Jumps are judged once the prediction knows the drift: the first frame
    // after the reference may be anywhere.
    const double allowed = options_.jump_px + kJumpPerFrame * static_cast<double>(std::max<int64_t>(
                                                                  number - last_.number - 1, 0));
    if (known_ >= 2 &&
        alignment.transform.distance_to(prediction, frame.width, frame.height) > allowed) {
      const bool agrees =
          jumps_ > 0 && alignment.transform.distance_to(jumped_.transform, frame.width,
                                                        frame.height) <= kJumpsAgree;
      jumps_ = agrees ? jumps_ + 1 : 1;
      jumped_ = {alignment.transform, number};
      if (jumps_ < options_.jumps_to_follow) {
        report.verdict = FrameVerdict::Jump;
      } else {
        // The field has moved for good: start the prediction again here.
        jumps_ = 0;
        known_ = 0;
      }
    } else {
      jumps_ = 0;
    }
  }
  return report;
}

}  // namespace noctra
