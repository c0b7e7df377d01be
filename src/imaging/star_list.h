#pragma once
// The stars of a frame for the live stack: every star the star measurement
// takes (the background from a clipped ring, the peak over the noise, lit
// neighbours so that a hot pixel is never a star, a close neighbour's light
// taken off), brightest first, up to a fixed count. Stars cut by the frame's
// edge are left out: their centres are not to be trusted for alignment.
//
// Candidates come from one pass over the plane against a coarse map of the
// sky (its level and noise in 64 x 64 pixel tiles), so the amplifier glow's
// corner does not flood the list with candidates. The finder's buffers grow
// with the first frame of a size and are reused: finding the stars of later
// frames touches no heap.

#include <array>
#include <cstdint>
#include <vector>

#include "imaging/star_measure.h"

namespace noctra {

inline constexpr int kStarListCapacity = 200;

struct ListedStar {
  float x = 0;    // column, pixel centres at whole numbers
  float row = 0;  // stored row
  float flux = 0;
  float fwhm = 0;
  float snr = 0;
  bool saturated = false;
};

struct StarList {
  std::array<ListedStar, kStarListCapacity> stars{};
  int count = 0;                          // stars[0 .. count), brightest (by flux) first
  float background = 0;                   // the sky's median level
  float noise = 0;                        // the sky's median noise
  StarMiss miss = StarMiss::NoCandidate;  // why the list is empty; None otherwise

  // Median FWHM of the unsaturated stars (of all when every one is
  // saturated); 0 for an empty list.
  float median_fwhm() const;
};

class StarFinder {
 public:
  // The stars of the plane into out, at most `capacity` (up to
  // kStarListCapacity) of them.
  void find(const FloatPlane& plane, StarList& out, int capacity = kStarListCapacity);

 private:
  struct Candidate {
    int32_t column;
    int32_t row;
    float height;  // above the sky
  };
  void map_sky(const FloatPlane& plane);

  int32_t tiles_x_ = 0;
  int32_t tiles_y_ = 0;
  std::vector<float> tile_level_;
  std::vector<float> tile_noise_;
  std::vector<float> scratch_;
  std::vector<Candidate> candidates_;
};

}  // namespace noctra
