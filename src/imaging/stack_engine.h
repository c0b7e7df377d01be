#pragma once
// The live stack: each frame's stars listed, aligned to the reference frame
// (the first frame with a star after a start or reset), judged, and added to
// the stack or left out with its reason. A rejected frame is only left out
// of the stack; the recording keeps it.
//
// Frames come as float planes (calibrated frames) or as raw frames from the
// camera, stacked uncalibrated. Mono frames (B = G = R) stack one channel,
// colour frames three; the reference decides, and a frame of another size or
// channel count is left out. After the first frame of a size nothing is
// allocated: the stack's memory stays what the first frame set.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/frame_image.h"
#include "imaging/plane_frame.h"
#include "imaging/stack_accumulator.h"
#include "imaging/star_align.h"
#include "imaging/star_list.h"

namespace noctra {

enum class FrameVerdict : uint8_t {
  Reference,      // the stack's reference frame: stacked as it is
  Accepted,       // aligned and stacked
  NoStars,        // no star found in the frame
  TooFewMatched,  // its stars do not match enough of the reference's
  Residual,       // the matched stars fit the transform worse than 1 px RMS
  Fwhm,           // its stars are wider than 1.5 x the reference's (cloud, wind, a knock)
  Jump,           // far from where the frames before predict it
  Size,           // another size or channel count than the stack's
  Dropped,        // never looked at: the stacking was behind (see StackSession)
};

// The reason as the stack's CSV writes it: "" for a stacked frame,
// "no_stars", "too_few_matched", "residual", "fwhm", "jump", "size",
// "dropped".
const char* frame_verdict_text(FrameVerdict verdict);
inline bool stacked(FrameVerdict verdict) {
  return verdict == FrameVerdict::Reference || verdict == FrameVerdict::Accepted;
}

// Frames judged, by verdict.
struct VerdictCounts {
  std::array<int64_t, static_cast<std::size_t>(FrameVerdict::Dropped) + 1> counts{};
  void add(FrameVerdict verdict) { ++counts[static_cast<std::size_t>(verdict)]; }
  int64_t of(FrameVerdict verdict) const { return counts[static_cast<std::size_t>(verdict)]; }
  int64_t stacked() const { return of(FrameVerdict::Reference) + of(FrameVerdict::Accepted); }
  int64_t left_out() const;
  // "1 jump, 2 fwhm", the reasons of the frames left out; empty for none.
  std::string left_out_text() const;
};

struct StackFrameReport {
  int64_t frame = 0;  // the frame's number in the recording
  FrameVerdict verdict = FrameVerdict::NoStars;
  StarMiss star_miss = StarMiss::None;  // why no star, for NoStars
  AlignMethod method = AlignMethod::None;
  RigidTransform transform;  // reference to frame, when aligned
  int stars = 0;
  int matched = 0;
  float residual_px = 0;
  float fwhm = 0;  // the median of the frame's stars
  // The k its dark was taken off with, when a dark was (set by the caller
  // that calibrated the frame).
  std::optional<double> dark_scale;
};

struct StackOptions {
  Resampling kernel = Resampling::Bilinear;
  int max_stars = kStarListCapacity;
  double max_residual_px = 1.0;
  double max_fwhm_ratio = 1.5;
  // A frame further than this (px, at the frame's corners; plus 2 px for
  // every frame since the last one stacked) from the prediction is a jump.
  double jump_px = 20;
  // After this many jumps in a row that agree with one another the field has
  // really moved (the mount was knocked): the last of them is stacked and
  // the prediction starts again from it.
  int jumps_to_follow = 3;
};

class StackEngine {
 public:
  explicit StackEngine(StackOptions options = {});

  // A new, empty stack: the next frame with a star is its reference. The
  // memory of the old one is kept for a stack of the same size.
  void reset();

  StackFrameReport add(const PlaneFrame& frame, int64_t number);
  // A raw frame from the camera, stacked as it is (saturation at 255).
  StackFrameReport add(const FrameImage& raw, int64_t number);

  bool started() const { return reference_.count > 0; }
  int64_t stacked_frames() const { return stack_.frames(); }
  int64_t rejected_frames() const { return rejected_; }
  float reference_fwhm() const { return reference_fwhm_; }
  const StackOptions& options() const { return options_; }

  // The stack's mean, one plane per channel; empty before the reference.
  PlaneFrame picture() const;
  const StackAccumulator& accumulator() const { return stack_; }

 private:
  RigidTransform predicted(int64_t number) const;
  StackFrameReport judge(const PlaneFrame& frame, int64_t number);
  const FloatPlane& detection_plane(const PlaneFrame& frame);

  StackOptions options_;
  StarFinder finder_;
  StarList reference_;
  StarList stars_;
  StackAccumulator stack_;
  PlaneBuffer raw_planes_;
  PlaneBuffer luminance_;
  FloatPlane luminance_view_;
  float reference_fwhm_ = 0;
  int64_t rejected_ = 0;

  // The last two frames stacked, for the prediction.
  struct Known {
    RigidTransform transform;
    int64_t number = 0;
  };
  Known last_;
  Known before_;
  int known_ = 0;  // how many of last_ and before_ hold a frame
  // Jumps in a row that agree, and the last of them.
  int jumps_ = 0;
  Known jumped_;
};

}  // namespace noctra
