#pragma once
// The stack shown stretched: its faint sky lifted out of the dark. Black 2.8
// sigma below the sky's median (the background's peak: the median of a sky
// that is mostly background, sigma from its median absolute deviation), the
// sky then shown at a quarter of the range through a midtones transfer
// curve, white at the brightest pixel so that no star's core is cut. One
// set of levels for every channel, so a colour stack keeps its balance.

#include <cstdint>
#include <vector>

#include "imaging/frame_image.h"
#include "imaging/plane_frame.h"

namespace noctra {

inline constexpr float kStretchShadowSigmas = 2.8F;
inline constexpr float kStretchSkyLevel = 0.25F;

struct StackStretch {
  float black = 0;       // shown as 0
  float white = 255;     // shown as 1; above black
  float midtone = 0.5F;  // the level (0..1 between black and white) shown as a half

  // The shown level (0..1) of a value.
  float apply(float value) const;
};

// Levels from the planes' pixels (every few of them); scratch is reused.
StackStretch auto_stack_stretch(const PlaneFrame& stack, std::vector<float>& scratch);

// The planes stretched into an 8-bit frame of their size (B = G = R for one
// plane), for the view.
void render_stretched(const PlaneFrame& stack, const StackStretch& stretch, FrameImage& out);

// The planes stretched to 16 bits, interleaved (grey, or R G B), top line
// first, as a PNG file takes them.
void stretched_rows16(const PlaneFrame& stack, const StackStretch& stretch,
                      std::vector<uint16_t>& out);

}  // namespace noctra
