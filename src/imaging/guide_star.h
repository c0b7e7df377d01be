#pragma once
// The guide star locator and the guide markers. Positions are guide
// coordinates: x is the pixel column from the left, y = frame height - stored
// row index (y grows downwards like window coordinates). The locator reads
// only the blue byte of each pixel; the markers write only green or red, so
// marking a frame never moves the star the locator finds.

#include <cstdint>

#include "imaging/frame_image.h"

namespace noctra {

// Points closer than this to any edge are refused, which keeps the search
// window and the centroid window around the brightest pixel inside the frame.
inline constexpr int32_t kGuideEdgeMargin = 10;
inline constexpr int32_t kGuideWindowHalfSize = 5;
inline constexpr int32_t kGuideMarkerHalfSize = 10;
inline constexpr uint8_t kGuideMarkerValue = 128;
// Pixel bytes the two markers draw in.
inline constexpr int kGuideMarkerGreen = 1;
inline constexpr int kGuideMarkerRed = 2;

// Finds the brightest pixel within 5 pixels of (x, y), then the
// brightness-weighted centre (above the local background) of the 11 x 11
// pixels around it, in whole pixels. A point within the edge margin or
// outside the frame is refused and leaves out_x and out_y untouched.
void locate_guide_star(const FrameImage& frame, int32_t x, int32_t y, int32_t& out_x,
                       int32_t& out_y);

// Sets byte b (1 green, 2 red) of every pixel of the 21 x 21 square outline
// centred on column cx and stored row r to 128. Each outline pixel is clipped
// to the frame on its own. Any other b draws nothing, so the blue byte is
// never written.
void draw_guide_marker(FrameImage& frame, int32_t cx, int32_t r, int b);

}  // namespace noctra
