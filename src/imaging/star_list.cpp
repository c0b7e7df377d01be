#include "imaging/star_list.h"

#include <algorithm>
#include <cmath>

namespace noctra {

namespace {

constexpr int32_t kTile = 64;
constexpr int32_t kTileStep = 4;  // a tile's sky from every fourth pixel of every fourth row
constexpr float kMadToSigma = 1.4826F;
constexpr float kClipSigmas = 3.0F;
constexpr float kLeastSpread = 0.5F;  // quantised noise never looks narrower to the clip
// A candidate stands this far above its tile's sky (the measurement then
// asks 5 sigma of its own ring), with lit neighbours as a star has.
constexpr float kCandidateSigmas = 4.0F;
constexpr float kCandidateMinimum = 2.5F;
constexpr float kLitSigmas = 2.0F;
constexpr float kLitMinimum = 2.0F;
constexpr int kLeastLitNeighbours = 3;
// Candidates kept for each star wanted: enough for the faint end of the list
// when some candidates turn out not to be stars.
constexpr int kCandidatesPerStar = 4;
// Two measurements this close are one star found twice.
constexpr float kSameStar = 2.0F;
// More elongated than this is a piece of a trail (a satellite, an aircraft),
// not a star.
constexpr double kMostElongation = 0.5;

float median_of(float* values, std::size_t n) {
  if (n == 0) return 0;
  const std::size_t middle = n / 2;
  std::nth_element(values, values + middle, values + n);
  return values[middle];
}

}  // namespace

float StarList::median_fwhm() const {
  std::array<float, kStarListCapacity> widths;
  std::size_t n = 0;
  for (int i = 0; i < count; ++i) {
    if (!stars[static_cast<std::size_t>(i)].saturated)
      widths[n++] = stars[static_cast<std::size_t>(i)].fwhm;
  }
  if (n == 0) {
    for (int i = 0; i < count; ++i) widths[n++] = stars[static_cast<std::size_t>(i)].fwhm;
  }
  return median_of(widths.data(), n);
}

void StarFinder::map_sky(const FloatPlane& plane) {
  tiles_x_ = (plane.width + kTile - 1) / kTile;
  tiles_y_ = (plane.height + kTile - 1) / kTile;
  const auto tiles = static_cast<std::size_t>(tiles_x_) * static_cast<std::size_t>(tiles_y_);
  tile_level_.resize(tiles);
  tile_noise_.resize(tiles);
  scratch_.resize(std::max<std::size_t>(tiles, 2 * kTile * kTile));
  for (int32_t ty = 0; ty < tiles_y_; ++ty) {
    for (int32_t tx = 0; tx < tiles_x_; ++tx) {
      std::size_t n = 0;
      for (int32_t q = ty * kTile; q < std::min(plane.height, (ty + 1) * kTile); q += kTileStep) {
        const float* row = plane.row(q);
        for (int32_t k = tx * kTile; k < std::min(plane.width, (tx + 1) * kTile); k += kTileStep) {
          if (std::isfinite(row[k])) scratch_[n++] = row[k];
        }
      }
      // The median and, the median absolute deviation being too coarse on
      // 8-bit samples, the deviation of the samples within 3 of its sigmas.
      const float level = median_of(scratch_.data(), n);
      float* deviations = scratch_.data() + n;
      for (std::size_t i = 0; i < n; ++i) deviations[i] = std::abs(scratch_[i] - level);
      const float limit =
          kClipSigmas * std::max(kMadToSigma * median_of(deviations, n), kLeastSpread);
      double count = 0, squares = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const double d = scratch_[i] - level;
        if (std::abs(d) > limit) continue;
        count += 1;
        squares += d * d;
      }
      const std::size_t at = static_cast<std::size_t>(ty) * tiles_x_ + static_cast<std::size_t>(tx);
      tile_level_[at] = level;
      tile_noise_[at] = count > 0 ? static_cast<float>(std::sqrt(squares / count)) : 0.0F;
    }
  }
}

void StarFinder::find(const FloatPlane& plane, StarList& out, int capacity) {
  out.count = 0;
  out.miss = StarMiss::NoCandidate;
  out.background = out.noise = 0;
  capacity = std::clamp(capacity, 0, kStarListCapacity);
  if (plane.data == nullptr || plane.width <= 0 || plane.height <= 0 || capacity == 0) return;
  map_sky(plane);
  const std::size_t tiles = tile_level_.size();
  std::copy(tile_level_.begin(), tile_level_.end(), scratch_.begin());
  out.background = median_of(scratch_.data(), tiles);
  std::copy(tile_noise_.begin(), tile_noise_.end(), scratch_.begin());
  out.noise = median_of(scratch_.data(), tiles);

  // One pass: the tops of everything that stands out of its tile's sky and
  // has lit neighbours, the highest few kept in a heap (lowest on top).
  const auto higher = [](const Candidate& a, const Candidate& b) { return a.height > b.height; };
  const std::size_t most = static_cast<std::size_t>(capacity) * kCandidatesPerStar;
  candidates_.clear();
  candidates_.reserve(most);
  for (int32_t q = 0; q < plane.height; ++q) {
    const float* row = plane.row(q);
    for (int32_t k = 0; k < plane.width; ++k) {
      const std::size_t tile =
          static_cast<std::size_t>(q / kTile) * tiles_x_ + static_cast<std::size_t>(k / kTile);
      const float level = tile_level_[tile], noise = tile_noise_[tile];
      const float v = row[k];
      if (!(v >= level + std::max(kCandidateSigmas * noise, kCandidateMinimum))) continue;
      const float lit = level + std::max(kLitSigmas * noise, kLitMinimum);
      bool top = true;
      int lit_count = 0;
      for (int32_t dq = -1; dq <= 1 && top; ++dq) {
        if (q + dq < 0 || q + dq >= plane.height) continue;
        const float* near = plane.row(q + dq);
        for (int32_t dk = -1; dk <= 1; ++dk) {
          if ((dk == 0 && dq == 0) || k + dk < 0 || k + dk >= plane.width) continue;
          const float other = near[k + dk];
          // Ties go to the first in scan order, so a flat top gives one candidate.
          top = !(other > v || (other == v && (dq < 0 || (dq == 0 && dk < 0))));
          if (!top) break;
          if (other > lit) ++lit_count;
        }
      }
      if (!top || lit_count < kLeastLitNeighbours) continue;
      const Candidate candidate{k, q, v - level};
      if (!std::isfinite(candidate.height)) continue;
      if (candidates_.size() == most) {
        if (candidate.height <= candidates_.front().height) continue;
        std::pop_heap(candidates_.begin(), candidates_.end(), higher);
        candidates_.back() = candidate;
      } else {
        candidates_.push_back(candidate);
      }
      std::push_heap(candidates_.begin(), candidates_.end(), higher);
    }
  }
  std::sort(candidates_.begin(), candidates_.end(), higher);

  StarMiss first_miss = StarMiss::NoCandidate;
  const auto known = [&](float x, float row) {
    for (int i = 0; i < out.count; ++i) {
      const ListedStar& s = out.stars[static_cast<std::size_t>(i)];
      if (std::abs(s.x - x) < kSameStar && std::abs(s.row - row) < kSameStar) return true;
    }
    return false;
  };
  for (const Candidate& c : candidates_) {
    if (out.count == capacity) break;
    if (known(static_cast<float>(c.column), static_cast<float>(c.row))) continue;
    const StarSearch search = find_star_at(plane, c.column, c.row);
    StarMiss miss = search.miss;
    if (search.star && search.star->at_edge) miss = StarMiss::AtEdge;
    if (search.star && search.star->elongation > kMostElongation) miss = StarMiss::TooWide;
    if (miss != StarMiss::None) {
      if (first_miss == StarMiss::NoCandidate) first_miss = miss;
      continue;
    }
    const StarMeasurement& m = *search.star;
    if (known(static_cast<float>(m.x), static_cast<float>(m.row))) continue;
    out.stars[static_cast<std::size_t>(out.count++)] = {
        static_cast<float>(m.x),    static_cast<float>(m.row), static_cast<float>(m.flux),
        static_cast<float>(m.fwhm), static_cast<float>(m.snr), m.saturated};
  }
  std::sort(out.stars.begin(), out.stars.begin() + out.count,
            [](const ListedStar& a, const ListedStar& b) { return a.flux > b.flux; });
  out.miss = out.count > 0 ? StarMiss::None : first_miss;
}

}  // namespace noctra
