#pragma once
// Sub-pixel star measurement for guiding and focusing, beside the integer
// guide locator (which keeps placing the guide markers on whole pixels).
//
// Pixel value: the blue byte of each pixel, as the locator reads it. Frames
// from a monochrome camera have B = G = R, and the guide markers write only
// green and red, so measuring a marked guide frame gives the same star. The
// same measurement runs on a float plane (a calibrated frame, the live
// stack's frames), so every window and the stack judge stars alike.
//
// Coordinates: x is the column with pixel centres at whole numbers (0 is the
// centre of the leftmost column). Vertically a measurement gives both the
// stored row (fractional, pixel centres at whole numbers, 0 = bottom line of
// the picture) and y in guide coordinates, y = frame height - stored row,
// the locator's mapping carried over to fractions, so a star centred on stored
// row q has y = height - q exactly like the locator's result.
//
// A star with a neighbour close enough for their light to mix is measured on
// its own: the neighbour's light, fitted as a Gaussian, is taken off first.
//
// Nothing here allocates: every working array lives on the stack.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "imaging/frame_image.h"

namespace noctra {

// --at and the guide star: the star whose centre is nearest the point given,
// among those within this many pixels of it.
inline constexpr int32_t kStarSearchRadius = 16;
// The background ring around the star's brightest pixel: inner and outer
// radius. Stars up to about 6 px FWHM keep their light inside the inner one.
inline constexpr int32_t kStarRingInner = 16;
inline constexpr int32_t kStarRingOuter = 22;
// Largest radius (from the centre) of the pixels that count for the star.
inline constexpr int32_t kStarApertureLimit = 15;

struct StarMeasurement {
  double x = 0;            // column, pixel centres at whole numbers
  double row = 0;          // stored row, pixel centres at whole numbers
  double y = 0;            // guide coordinates: frame height - row
  double fwhm = 0;         // px, of the Gaussian that matches the star's core
  double elongation = 0;   // (a^2 - b^2) / (a^2 + b^2) of its axes: 0 round, near 1 a line
  double hfd = 0;          // px, diameter of the circle holding half the flux
  double snr = 0;          // (peak - background) / noise
  double peak = 0;         // brightest pixel value (0..255) within one FWHM of the centre
  double flux = 0;         // sum of (value - background) within the aperture
  double background = 0;   // level of the ring around the star
  double noise = 0;        // standard deviation of the ring's pixels
  bool saturated = false;  // a pixel of the star's core reached 255
  bool at_edge = false;    // the aperture runs past an edge of the frame
};

// Why a search found no star, so that a window can tell the user.
enum class StarMiss : uint8_t {
  None,         // a star was found
  OffFrame,     // the point given lies off the frame
  NoCandidate,  // nothing stands out of the sky (within the radius of the point)
  LowSnr,       // the brightest pixel is too faint against the sky's noise
  TooSmall,     // a lone bright pixel (a hot pixel), or narrower than a star
  TooWide,      // wider than a star: glow, a nebula, a star far out of focus
  Blended,      // the light is pulled away by a neighbour or a gradient
  Saturated,    // a saturated patch that cannot be measured
  AtEdge,       // too close to the frame's edge for its background ring
};

// "no candidate", "low SNR", ...: lower case, for a status line or a CSV.
const char* star_miss_text(StarMiss miss);

struct StarSearch {
  std::optional<StarMeasurement> star;
  StarMiss miss = StarMiss::NoCandidate;  // None exactly when star holds one
};

// A picture of float samples (a calibrated frame, one colour channel): row r
// (stored order, 0 = bottom line) starts at data + r * stride.
struct FloatPlane {
  const float* data = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  std::ptrdiff_t stride = 0;  // samples from one row to the next
  float saturation = 255;     // a sample at or above this is saturated
  const float* row(int32_t r) const { return data + static_cast<std::ptrdiff_t>(r) * stride; }
};

inline double guide_y_from_row(const FrameImage& frame, double row) { return frame.height() - row; }
inline double row_from_guide_y(const FrameImage& frame, double y) { return frame.height() - y; }

// The star whose centre is nearest (x, y), a point in guide coordinates,
// among the stars whose centre lies within kStarSearchRadius of it. The star
// is measured around its own centre, wherever the point lies.
StarSearch find_star_near(const FrameImage& frame, double x, double y);
StarSearch find_star_near(const FloatPlane& plane, double x, double y);

// The brightest star of the frame (by the light in its core), found by a
// coarse scan of every third row.
StarSearch find_brightest_star(const FrameImage& frame);

// The star whose brightest pixel is at (column, stored row); a miss when that
// pixel is not the core of a star: too faint against the ring's noise, or a
// single hot pixel.
StarSearch find_star_at(const FrameImage& frame, int32_t column, int32_t row);
StarSearch find_star_at(const FloatPlane& plane, int32_t column, int32_t row);

// The searches above without their reason: nothing when there is no star.
inline std::optional<StarMeasurement> measure_star_near(const FrameImage& frame, double x,
                                                        double y) {
  return find_star_near(frame, x, y).star;
}
inline std::optional<StarMeasurement> measure_brightest_star(const FrameImage& frame) {
  return find_brightest_star(frame).star;
}
inline std::optional<StarMeasurement> measure_star_at(const FrameImage& frame, int32_t column,
                                                      int32_t row) {
  return find_star_at(frame, column, row).star;
}

}  // namespace noctra
