#pragma once
// Rigid alignment of a frame's stars to the reference frame's: a shift and a
// rotation (the scale is the camera's and never changes), found
//   - from the transform predicted from the frames before, when the stars
//     fall where it puts them (a slow drift never needs a search);
//   - otherwise, with 3 or more stars on both sides, by matching triangles of
//     neighbouring stars through their side ratios (and, the scale being
//     fixed, their longest side), the triangles' transforms voting;
//   - with 2 stars, from the pair whose separation agrees;
//   - with 1 star, as a shift that keeps the predicted rotation.
// Then a least-squares fit over every matched pair, weighted by the stars'
// signal-to-noise ratios, drops the pairs that do not fit and fits again.
//
// Coordinates: x the column, y the stored row (y up the picture), both with
// pixel centres at whole numbers. Nothing here allocates.

#include <array>
#include <cstdint>

#include "imaging/star_list.h"

namespace noctra {

// Carries a point of the reference frame onto the frame:
//   frame = centre + R(rotation) (reference - centre) + (dx, dy).
// The centre is the reference frame's centre, so (dx, dy) is how far the
// picture's middle has moved and the rotation is about it.
struct RigidTransform {
  double dx = 0;
  double dy = 0;
  double rotation = 0;  // radians, counter-clockwise as the picture is shown
  double cx = 0;
  double cy = 0;

  void to_frame(double x, double y, double& fx, double& fy) const;
  void to_reference(double fx, double fy, double& x, double& y) const;
  // The largest distance between where the two transforms put the corners of
  // a width x height frame.
  double distance_to(const RigidTransform& other, int32_t width, int32_t height) const;
};

enum class AlignMethod : uint8_t { None, Prediction, Triangles, Pair, Single };

struct Alignment {
  bool found = false;
  RigidTransform transform;
  AlignMethod method = AlignMethod::None;
  int matched = 0;          // pairs in the final fit
  double residual_rms = 0;  // px, of the matched pairs after the fit
};

// The reference's and the frame's stars, and the transform the frames before
// predict (the last transform for the first frames). Not found when fewer
// stars match than min(3, either count).
Alignment align_stars(const StarList& reference, const StarList& frame,
                      const RigidTransform& prediction);

}  // namespace noctra
