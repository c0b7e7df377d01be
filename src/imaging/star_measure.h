#pragma once
// Sub-pixel star measurement for guiding and focusing, beside the integer
// guide locator (which keeps placing the guide markers on whole pixels).
//
// Pixel value: the blue byte of each pixel, as the locator reads it. Frames
// from a monochrome camera have B = G = R, and the guide markers write only
// green and red, so measuring a marked guide frame gives the same star.
//
// Coordinates: x is the column with pixel centres at whole numbers (0 is the
// centre of the leftmost column). Vertically a measurement gives both the
// stored row (fractional, pixel centres at whole numbers, 0 = bottom line of
// the picture) and y in guide coordinates, y = frame height - stored row,
// the locator's mapping carried over to fractions, so a star centred on stored
// row q has y = height - q exactly like the locator's result.
//
// Nothing here allocates: every working array lives on the stack.

#include <cstdint>
#include <optional>

#include "imaging/frame_image.h"

namespace noctra {

// A star is looked for within this many columns and rows of the point given.
inline constexpr int32_t kStarSearchRadius = 10;
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
  double hfd = 0;          // px, diameter of the circle holding half the flux
  double snr = 0;          // (peak - background) / noise
  double peak = 0;         // brightest pixel value (0..255) within one FWHM of the centre
  double flux = 0;         // sum of (value - background) within the aperture
  double background = 0;   // level of the ring around the star
  double noise = 0;        // standard deviation of the ring's pixels
  bool saturated = false;  // a pixel of the star's core reached 255
  bool at_edge = false;    // the aperture runs past an edge of the frame
};

inline double guide_y_from_row(const FrameImage& frame, double row) { return frame.height() - row; }
inline double row_from_guide_y(const FrameImage& frame, double y) { return frame.height() - y; }

// The star nearest (x, y), a point in guide coordinates, among the stars whose
// brightest pixel lies within kStarSearchRadius columns and rows of it (a
// square around the point, cut by the frame's edges). Nothing when there is
// none, or the point is farther than that from the frame.
std::optional<StarMeasurement> measure_star_near(const FrameImage& frame, double x, double y);

// The brightest star of the frame (by the light in its core), found by a
// coarse scan of every third row. Nothing when the frame holds no star.
std::optional<StarMeasurement> measure_brightest_star(const FrameImage& frame);

// The star whose brightest pixel is at (column, stored row), measured as the
// two searches above do. Nothing when that pixel is not the core of a star:
// too faint against the ring's noise, or a single hot pixel.
std::optional<StarMeasurement> measure_star_at(const FrameImage& frame, int32_t column,
                                               int32_t row);

}  // namespace noctra
