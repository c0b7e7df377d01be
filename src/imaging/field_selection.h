#pragma once
// Field selection: an interlaced frame's two fields can differ in brightness
// (the camera reads its long exposure into one of them), so the brighter field
// is kept and each of its rows is doubled over its neighbour.

#include <cstdint>
#include <optional>

#include "imaging/frame_image.h"

namespace noctra {

// Sums of the first (blue) byte over the 30 x 30 sample points of each field:
// stored rows 20..78 (even) or 21..79 (odd), pixels 10..39.
struct FieldSums {
  int32_t even = 0;
  int32_t odd = 0;
};

inline constexpr int32_t kSamplePatchMinWidth = 40;
inline constexpr int32_t kSamplePatchMinHeight = 80;
// Frames of this many rows or fewer are not interlaced video and stay as they are.
inline constexpr int32_t kFieldSelectionMaxUntouchedHeight = 240;

// True when the sample patch lies inside the frame's rows.
bool has_sample_patch(const FrameImage& frame);

// The two field sums, or {0, 0} for a frame too small to hold the sample
// patch (nothing outside the rows is read).
FieldSums measure_fields(const FrameImage& frame);

enum class FieldParity { Even, Odd };

// The field select_field keeps in this frame (the brighter; ties keep the
// even one), or nothing when it leaves the frame untouched.
std::optional<FieldParity> field_to_keep(const FrameImage& frame);

// Keeps the brighter field (ties keep the even one) by copying each of its
// rows over the other row of its pair. An empty holder, a frame of 240 rows
// or fewer, and a frame too narrow for the sample patch are left untouched.
// When the odd field wins in a frame of odd height, the unpaired top row is
// also overwritten by the odd row below it, so the whole picture shows one
// field.
void select_field(FrameHolder& holder);

}  // namespace noctra
