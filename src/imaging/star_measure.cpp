#include "imaging/star_measure.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace noctra {

namespace {

constexpr double kFwhmPerSigma = 2.3548200450309493;  // 2 sqrt(2 ln 2)
constexpr double kTwoLn2 = 1.3862943611198906;
// A sensor pixel integrates the light over its square, which widens a star by
// the variance of a unit box, 1/12 px^2 per axis; the widths reported are
// those of the light before it, so they compare with the optics.
constexpr double kPixelBoxVariance = 1.0 / 12.0;
// For the half-flux radius each pixel's light is spread over n x n points of
// its square, finer for small stars (at least 9 points across the FWHM);
// that widens the profile once more, by (n^2 - 1) / 12 n^2 per axis.
constexpr int32_t kMostSubpixels = 7;
constexpr int32_t kRadiusBins = 512;

constexpr int32_t kMinRingPixels = 24;
constexpr double kClipSigmas = 3.0;
constexpr int kClipRounds = 5;
// Quantised 8-bit noise never looks narrower than this to the clipping.
constexpr double kNoiseFloor = 0.5;
// The noise of rounding to whole levels, for skies without any other.
constexpr double kQuantisationNoise = 0.28867513459481287;
// The brightest pixel must stand this far above the background, and enough
// of its eight neighbours a little less far: a single hot pixel has none.
constexpr double kDetectSigmas = 5.0;
constexpr double kDetectMinimum = 3.0;
constexpr double kNeighbourSigmas = 2.0;
constexpr double kNeighbourMinimum = 2.0;
constexpr int kMinLitNeighbours = 3;

constexpr int32_t kHalfMaxBox = 6;
constexpr int kMomentRounds = 30;
constexpr double kLargestSigma = 6.0;
constexpr double kSmallestSigma = 0.3;

constexpr int32_t kScanRowStep = 3;
constexpr int32_t kScanChunk = 64;
constexpr std::size_t kScanChunkBytes = kScanChunk * kBytesPerPixel;
constexpr int kScanCandidates = 8;
constexpr int32_t kCandidateSpacing = 8;
constexpr int32_t kRefineReach = 3;

constexpr int32_t kSearchSide = 2 * kStarSearchRadius + 1;
constexpr int kMaxNearCandidates = 32;

struct Background {
  double level = 0;
  double noise = 0;
};

int32_t value_at(const FrameImage& frame, int32_t column, int32_t row) {
  return frame.row(row)[static_cast<std::size_t>(column) * kBytesPerPixel];
}

// Mean and standard deviation of a histogram of levels after sigma clipping,
// starting from the median and the median absolute deviation, so that a star
// or a hot pixel in the sample does not drag the first clip window.
Background clipped_statistics(const std::array<uint32_t, 256>& counts, uint32_t total) {
  uint32_t below = 0;
  int32_t median = 0;
  for (; median < 255; ++median) {
    below += counts[static_cast<std::size_t>(median)];
    if (2 * below >= total) break;
  }
  uint32_t within = counts[static_cast<std::size_t>(median)];
  int32_t deviation = 0;
  while (2 * within < total && deviation < 255) {
    ++deviation;
    if (median - deviation >= 0) within += counts[static_cast<std::size_t>(median - deviation)];
    if (median + deviation <= 255) within += counts[static_cast<std::size_t>(median + deviation)];
  }
  double mean = median;
  double spread = std::max(1.4826 * deviation, kNoiseFloor);
  double sd = 0;
  for (int round = 0; round < kClipRounds; ++round) {
    const int32_t lo =
        std::clamp(static_cast<int32_t>(std::ceil(mean - kClipSigmas * spread)), 0, 255);
    const int32_t hi =
        std::clamp(static_cast<int32_t>(std::floor(mean + kClipSigmas * spread)), 0, 255);
    double n = 0, sum = 0, squares = 0;
    for (int32_t v = lo; v <= hi; ++v) {
      const double c = counts[static_cast<std::size_t>(v)];
      n += c;
      sum += c * v;
      squares += c * v * v;
    }
    if (n == 0) break;
    const double new_mean = sum / n;
    sd = std::sqrt(std::max(squares / n - new_mean * new_mean, 0.0));
    const bool settled =
        std::abs(new_mean - mean) < 1e-6 && std::abs(std::max(sd, kNoiseFloor) - spread) < 1e-6;
    mean = new_mean;
    spread = std::max(sd, kNoiseFloor);
    if (settled) break;
  }
  return {mean, sd};
}

// The largest whole dx with dx^2 <= limit; -1 when limit < 0.
int32_t half_chord(int32_t limit) {
  if (limit < 0) return -1;
  int32_t dx = static_cast<int32_t>(std::sqrt(static_cast<double>(limit)));
  while (dx * dx > limit) --dx;
  while ((dx + 1) * (dx + 1) <= limit) ++dx;
  return dx;
}

bool ring_background(const FrameImage& frame, int32_t column, int32_t row, Background& out) {
  std::array<uint32_t, 256> counts{};
  uint32_t total = 0;
  constexpr int32_t inner2 = kStarRingInner * kStarRingInner;
  constexpr int32_t outer2 = kStarRingOuter * kStarRingOuter;
  const int32_t q_lo = std::max(0, row - kStarRingOuter);
  const int32_t q_hi = std::min(frame.height() - 1, row + kStarRingOuter);
  const auto count = [&](const uint8_t* bytes, int32_t from, int32_t to) {
    for (int32_t k = std::max(0, from); k <= std::min(frame.width() - 1, to); ++k) {
      ++counts[bytes[static_cast<std::size_t>(k) * kBytesPerPixel]];
      ++total;
    }
  };
  // Each row of the ring is one or two runs of pixels: those inside the
  // outer circle less those inside the inner one.
  for (int32_t q = q_lo; q <= q_hi; ++q) {
    const uint8_t* bytes = frame.row(q);
    const int32_t dy2 = (q - row) * (q - row);
    const int32_t outer = half_chord(outer2 - 1 - dy2);
    if (dy2 >= inner2) {
      count(bytes, column - outer, column + outer);
    } else {
      const int32_t inner = half_chord(inner2 - 1 - dy2);
      count(bytes, column - outer, column - inner - 1);
      count(bytes, column + inner + 1, column + outer);
    }
  }
  if (total < kMinRingPixels) return false;
  out = clipped_statistics(counts, total);
  return true;
}

// Light in the 3 x 3 pixels around a pixel without the brightest of them:
// high for a star's core, low for a lone hot pixel.
int32_t core_score(const FrameImage& frame, int32_t column, int32_t row) {
  if (column >= 1 && column < frame.width() - 1 && row >= 1 && row < frame.height() - 1) {
    const std::size_t at = static_cast<std::size_t>(column - 1) * kBytesPerPixel;
    int32_t sum = 0, brightest = 0;
    for (int32_t q = row - 1; q <= row + 1; ++q) {
      const uint8_t* p = frame.row(q) + at;
      const int32_t a = p[0], b = p[kBytesPerPixel], c = p[2 * kBytesPerPixel];
      sum += a + b + c;
      brightest = std::max(brightest, std::max(a, std::max(b, c)));
    }
    return sum - brightest;
  }
  int32_t sum = 0, brightest = 0;
  for (int32_t q = std::max(0, row - 1); q <= std::min(frame.height() - 1, row + 1); ++q) {
    for (int32_t k = std::max(0, column - 1); k <= std::min(frame.width() - 1, column + 1); ++k) {
      const int32_t v = value_at(frame, k, q);
      sum += v;
      brightest = std::max(brightest, v);
    }
  }
  return sum - brightest;
}

bool is_star_core(const FrameImage& frame, int32_t column, int32_t row, const Background& bg) {
  const double peak = value_at(frame, column, row) - bg.level;
  if (peak < std::max(kDetectSigmas * bg.noise, kDetectMinimum)) return false;
  const double lit = bg.level + std::max(kNeighbourSigmas * bg.noise, kNeighbourMinimum);
  int neighbours = 0;
  for (int32_t q = std::max(0, row - 1); q <= std::min(frame.height() - 1, row + 1); ++q) {
    for (int32_t k = std::max(0, column - 1); k <= std::min(frame.width() - 1, column + 1); ++k) {
      if ((k != column || q != row) && value_at(frame, k, q) > lit) ++neighbours;
    }
  }
  return neighbours >= kMinLitNeighbours;
}

// Width of the star from the pixels at or above half its peak: the area of
// that disc is pi (FWHM / 2)^2.
double first_sigma(const FrameImage& frame, int32_t column, int32_t row, const Background& bg) {
  const double half = (value_at(frame, column, row) - bg.level) / 2;
  int32_t count = 0;
  for (int32_t q = std::max(0, row - kHalfMaxBox);
       q <= std::min(frame.height() - 1, row + kHalfMaxBox); ++q) {
    for (int32_t k = std::max(0, column - kHalfMaxBox);
         k <= std::min(frame.width() - 1, column + kHalfMaxBox); ++k) {
      if (value_at(frame, k, q) - bg.level >= half) ++count;
    }
  }
  const double radius = std::sqrt(count / M_PI);
  return std::clamp(2 * radius / kFwhmPerSigma, 0.6, 5.0);
}

struct Window {
  int32_t k_lo, k_hi, q_lo, q_hi;
  bool clipped;
};

Window window_around(const FrameImage& frame, double x, double row, double reach) {
  const int32_t k_lo = static_cast<int32_t>(std::ceil(x - reach));
  const int32_t k_hi = static_cast<int32_t>(std::floor(x + reach));
  const int32_t q_lo = static_cast<int32_t>(std::ceil(row - reach));
  const int32_t q_hi = static_cast<int32_t>(std::floor(row + reach));
  Window w{std::max(0, k_lo), std::min(frame.width() - 1, k_hi), std::max(0, q_lo),
           std::min(frame.height() - 1, q_hi), false};
  w.clipped = w.k_lo != k_lo || w.k_hi != k_hi || w.q_lo != q_lo || w.q_hi != q_hi;
  return w;
}

// Centre and width by adaptive moments: moments weighted by a Gaussian whose
// width follows the star's, until both settle. For a Gaussian star the
// weighted offset is the true one scaled by s^2 / (sigma^2 + s^2) and the
// weighted variance sigma^2 s^2 / (sigma^2 + s^2), so each round solves for
// the star directly; the fixed point has the window as wide as the star,
// where the weighting is the best the noise allows.
bool adaptive_moments(const FrameImage& frame, const Background& bg, int32_t ceiling, double& x,
                      double& row, double& sigma2) {
  const double start_x = x, start_row = row;
  double s = std::sqrt(sigma2);
  const double wander = 2 + s;
  std::array<double, 2 * kStarApertureLimit + 1> wx{}, wy{};
  for (int round = 0; round < kMomentRounds; ++round) {
    const double reach = std::clamp(std::ceil(4 * s), 3.0, double{kStarApertureLimit});
    const Window w = window_around(frame, std::round(x), std::round(row), reach);
    if (w.k_lo > w.k_hi || w.q_lo > w.q_hi) return false;
    const double scale = -1.0 / (2 * s * s);
    for (int32_t k = w.k_lo; k <= w.k_hi; ++k)
      wx[static_cast<std::size_t>(k - w.k_lo)] = std::exp(scale * (k - x) * (k - x));
    for (int32_t q = w.q_lo; q <= w.q_hi; ++q)
      wy[static_cast<std::size_t>(q - w.q_lo)] = std::exp(scale * (q - row) * (q - row));
    double s0 = 0, sx = 0, sy = 0, s2 = 0;
    for (int32_t q = w.q_lo; q <= w.q_hi; ++q) {
      const uint8_t* bytes = frame.row(q);
      const double dy = q - row;
      const double weight_row = wy[static_cast<std::size_t>(q - w.q_lo)];
      double r0 = 0, rx = 0, rxx = 0;
      for (int32_t k = w.k_lo; k <= w.k_hi; ++k) {
        const double dx = k - x;
        const int32_t v = bytes[static_cast<std::size_t>(k) * kBytesPerPixel];
        const double light =
            v > ceiling ? 0.0 : (v - bg.level) * wx[static_cast<std::size_t>(k - w.k_lo)];
        r0 += light;
        rx += light * dx;
        rxx += light * dx * dx;
      }
      s0 += weight_row * r0;
      sx += weight_row * rx;
      sy += weight_row * r0 * dy;
      s2 += weight_row * (rxx + r0 * dy * dy);
    }
    if (!(s0 > 0)) return false;
    const double ox = sx / s0, oy = sy / s0;
    const double weighted = (s2 / s0 - ox * ox - oy * oy) / 2;
    if (!(weighted > 0)) return false;
    double star2;
    if (weighted < 0.98 * s * s) {
      star2 = 1.0 / (1.0 / weighted - 1.0 / (s * s));
    } else {
      star2 = 4 * s * s;  // the window is far too narrow: widen it quickly
    }
    const double next_s = std::clamp(std::sqrt(star2), kSmallestSigma, kLargestSigma);
    const double gain = (star2 + s * s) / (s * s);
    double step_x = ox * gain, step_row = oy * gain;
    const double step = std::hypot(step_x, step_row);
    if (step > 2) {
      step_x *= 2 / step;
      step_row *= 2 / step;
    }
    x += step_x;
    row += step_row;
    const bool settled = step < 1e-4 && std::abs(next_s - s) < 1e-4 * s;
    s = next_s;
    if (std::hypot(x - start_x, row - start_row) > wander) return false;
    if (settled) break;
  }
  if (s >= kLargestSigma) return false;
  sigma2 = s * s;
  return true;
}

std::optional<StarMeasurement> measure(const FrameImage& frame, int32_t column, int32_t row) {
  if (column < 0 || column >= frame.width() || row < 0 || row >= frame.height())
    return std::nullopt;
  Background bg;
  if (!ring_background(frame, column, row, bg)) return std::nullopt;
  if (!is_star_core(frame, column, row, bg)) return std::nullopt;

  // Pixels brighter than this star's core belong to a brighter neighbour and
  // count as sky, so that its light cannot pull the centre over to it.
  int32_t core_peak = 0;
  for (int32_t q = std::max(0, row - 1); q <= std::min(frame.height() - 1, row + 1); ++q) {
    for (int32_t k = std::max(0, column - 1); k <= std::min(frame.width() - 1, column + 1); ++k) {
      core_peak = std::max(core_peak, value_at(frame, k, q));
    }
  }
  const int32_t ceiling = core_peak + static_cast<int32_t>(std::ceil(std::max(3 * bg.noise, 2.0)));

  StarMeasurement m;
  m.x = column;
  m.row = row;
  const double first = first_sigma(frame, column, row, bg);
  double sigma2 = first * first;
  if (!adaptive_moments(frame, bg, ceiling, m.x, m.row, sigma2)) return std::nullopt;
  const double star2 = sigma2 - kPixelBoxVariance;
  if (star2 < kSmallestSigma * kSmallestSigma) return std::nullopt;
  m.fwhm = kFwhmPerSigma * std::sqrt(star2);

  // Flux, core and half-flux radius over a disc of 1.5 FWHM and a pixel,
  // which holds all but a trace of a Gaussian star's light and no more sky
  // noise than it must.
  const double aperture = std::clamp(1.5 * m.fwhm + 1, 3.0, double{kStarApertureLimit});
  const int32_t subpixels =
      std::clamp(static_cast<int32_t>(std::ceil(9 / m.fwhm)), 2, kMostSubpixels);
  const double core = std::max(m.fwhm, 1.5);
  const Window w = window_around(frame, m.x, m.row, aperture);
  m.at_edge = w.clipped;
  const double aperture2 = aperture * aperture, core2 = core * core;
  const double reach = aperture + 0.5 * std::sqrt(2.0);
  const double bin_scale = kRadiusBins / (reach * reach);
  std::array<double, kRadiusBins> ring_light{};
  double flux = 0;
  int32_t pixels = 0;
  int32_t peak = 0;
  for (int32_t q = w.q_lo; q <= w.q_hi; ++q) {
    const uint8_t* bytes = frame.row(q);
    const double dy = q - m.row;
    for (int32_t k = w.k_lo; k <= w.k_hi; ++k) {
      const double dx = k - m.x;
      const double d2 = dx * dx + dy * dy;
      if (d2 > aperture2) continue;
      const int32_t v = bytes[static_cast<std::size_t>(k) * kBytesPerPixel];
      const double light = v > ceiling ? 0.0 : v - bg.level;
      flux += light;
      ++pixels;
      if (d2 <= core2 && v <= ceiling) peak = std::max(peak, v);
      const double share = light / (subpixels * subpixels);
      for (int32_t i = 0; i < subpixels; ++i) {
        const double sy = dy + (i + 0.5) / subpixels - 0.5;
        for (int32_t j = 0; j < subpixels; ++j) {
          const double sx = dx + (j + 0.5) / subpixels - 0.5;
          const int32_t bin =
              std::min(static_cast<int32_t>((sx * sx + sy * sy) * bin_scale), kRadiusBins - 1);
          ring_light[static_cast<std::size_t>(bin)] += share;
        }
      }
    }
  }
  if (!(flux > 0) || pixels == 0) return std::nullopt;

  double enclosed = 0, half2 = -1;
  for (int32_t b = 0; b < kRadiusBins; ++b) {
    const double light = ring_light[static_cast<std::size_t>(b)];
    if (enclosed + light >= flux / 2 && light > 0) {
      half2 = (b + (flux / 2 - enclosed) / light) / bin_scale;
      break;
    }
    enclosed += light;
  }
  if (half2 < 0) return std::nullopt;
  const double subpixel_variance = (subpixels * subpixels - 1) / (12.0 * subpixels * subpixels);
  const double widening = kTwoLn2 * (kPixelBoxVariance + subpixel_variance);
  m.hfd = 2 * std::sqrt(std::max(half2 - widening, 0.0));

  m.y = guide_y_from_row(frame, m.row);
  m.flux = flux;
  m.background = bg.level;
  m.noise = bg.noise;
  m.peak = peak;
  m.saturated = peak >= 255;
  // The peak over the sky's noise: the star's own photon noise would need
  // the camera's gain, which an analogue video signal does not tell, and an
  // aperture ratio would depend on the aperture.
  m.snr = (peak - bg.level) / std::max(bg.noise, kQuantisationNoise);
  return m;
}

struct Candidate {
  int32_t column = 0;
  int32_t row = 0;
  int32_t score = 0;
};

// The best few places of a coarse scan, at most one per neighbourhood.
class CandidateList {
 public:
  int32_t floor() const { return count_ < kScanCandidates ? 0 : lowest_; }
  int size() const { return count_; }
  Candidate& operator[](int i) { return items_[static_cast<std::size_t>(i)]; }

  void offer(int32_t column, int32_t row, int32_t score) {
    for (int i = 0; i < count_; ++i) {
      Candidate& c = items_[static_cast<std::size_t>(i)];
      if (std::abs(c.column - column) <= kCandidateSpacing &&
          std::abs(c.row - row) <= kCandidateSpacing) {
        if (score > c.score) c = {column, row, score};
        update_lowest();
        return;
      }
    }
    if (count_ < kScanCandidates) {
      items_[static_cast<std::size_t>(count_++)] = {column, row, score};
    } else {
      for (Candidate& c : items_) {
        if (c.score == lowest_) {
          c = {column, row, score};
          break;
        }
      }
    }
    update_lowest();
  }

 private:
  void update_lowest() {
    lowest_ = items_[0].score;
    for (int i = 1; i < count_; ++i)
      lowest_ = std::min(lowest_, items_[static_cast<std::size_t>(i)].score);
  }

  std::array<Candidate, kScanCandidates> items_{};
  int count_ = 0;
  int32_t lowest_ = 0;
};

}  // namespace

std::optional<StarMeasurement> measure_star_at(const FrameImage& frame, int32_t column,
                                               int32_t row) {
  return measure(frame, column, row);
}

std::optional<StarMeasurement> measure_brightest_star(const FrameImage& frame) {
  const int32_t width = frame.width();
  const int32_t height = frame.height();
  CandidateList candidates;
  // Every third row: a star a few pixels wide always has a bright row among
  // them. Pixels are scored by the lower of themselves and their right-hand
  // neighbour, so a lone hot pixel scores as the sky around it. A chunk whose
  // bytes (all three colours) are no brighter than the weakest candidate so
  // far is skipped without looking at its pixels, which is nearly all of
  // the sky once a few stars have been seen.
  for (int32_t row = std::min(1, height - 1); row < height; row += kScanRowStep) {
    const uint8_t* bytes = frame.row(row);
    for (int32_t start = 0; start < width; start += kScanChunk) {
      const int32_t end = std::min(width, start + kScanChunk);
      const uint8_t* chunk = bytes + static_cast<std::size_t>(start) * kBytesPerPixel;
      const std::size_t chunk_bytes = static_cast<std::size_t>(end - start) * kBytesPerPixel;
      uint8_t brightest = 0;
      if (chunk_bytes == kScanChunkBytes) {
        // A fixed count the compiler turns into a few vector instructions.
        for (std::size_t i = 0; i < kScanChunkBytes; ++i) brightest = std::max(brightest, chunk[i]);
      } else {
        for (std::size_t i = 0; i < chunk_bytes; ++i) brightest = std::max(brightest, chunk[i]);
      }
      if (brightest <= candidates.floor()) continue;
      for (int32_t k = start; k < end; ++k) {
        const int32_t v = bytes[static_cast<std::size_t>(k) * kBytesPerPixel];
        const int32_t right =
            k + 1 < width ? bytes[static_cast<std::size_t>(k + 1) * kBytesPerPixel] : v;
        const int32_t score = std::min(v, right);
        if (score > candidates.floor()) candidates.offer(k, row, score);
      }
    }
  }

  // Each candidate moves to the best core nearby, at full resolution, and is
  // ranked by that core's light.
  for (int i = 0; i < candidates.size(); ++i) {
    Candidate& c = candidates[i];
    Candidate best{c.column, c.row, -1};
    for (int32_t q = std::max(0, c.row - kRefineReach);
         q <= std::min(height - 1, c.row + kRefineReach); ++q) {
      for (int32_t k = std::max(0, c.column - kRefineReach);
           k <= std::min(width - 1, c.column + kRefineReach); ++k) {
        const int32_t score = core_score(frame, k, q);
        if (score > best.score) best = {k, q, score};
      }
    }
    c = best;
  }
  for (int i = 1; i < candidates.size(); ++i) {
    for (int j = i; j > 0 && candidates[j].score > candidates[j - 1].score; --j) {
      std::swap(candidates[j], candidates[j - 1]);
    }
  }
  // A star whose aperture is whole comes first: the brightest "star" at an
  // edge is often the amplifier glow in its corner, and a cut star's focus
  // numbers are not to be trusted anyway.
  std::optional<StarMeasurement> at_edge;
  for (int i = 0; i < candidates.size(); ++i) {
    auto m = measure(frame, candidates[i].column, candidates[i].row);
    if (m && !m->at_edge) return m;
    if (m && !at_edge) at_edge = m;
  }
  return at_edge;
}

std::optional<StarMeasurement> measure_star_near(const FrameImage& frame, double x, double y) {
  const double row_f = row_from_guide_y(frame, y);
  if (!std::isfinite(x) || !std::isfinite(row_f)) return std::nullopt;
  if (x < -kStarSearchRadius || x > frame.width() - 1 + kStarSearchRadius ||
      row_f < -kStarSearchRadius || row_f > frame.height() - 1 + kStarSearchRadius) {
    return std::nullopt;
  }
  const int32_t column = static_cast<int32_t>(std::lround(x));
  const int32_t row = static_cast<int32_t>(std::lround(row_f));
  const Window w = window_around(frame, column, row, kStarSearchRadius);
  if (w.k_lo > w.k_hi || w.q_lo > w.q_hi) return std::nullopt;

  // The window's own level and noise pick out the pixels worth measuring;
  // the measurement then takes its background from the ring.
  std::array<int32_t, kSearchSide * kSearchSide> scores{};
  std::array<uint32_t, 256> counts{};
  const int32_t side = w.k_hi - w.k_lo + 1;
  uint32_t total = 0;
  for (int32_t q = w.q_lo; q <= w.q_hi; ++q) {
    for (int32_t k = w.k_lo; k <= w.k_hi; ++k) {
      scores[static_cast<std::size_t>((q - w.q_lo) * side + (k - w.k_lo))] =
          core_score(frame, k, q);
      ++counts[static_cast<std::size_t>(value_at(frame, k, q))];
      ++total;
    }
  }
  const Background sky = clipped_statistics(counts, total);
  const double wanted = sky.level + std::max(kDetectSigmas * sky.noise, kDetectMinimum);

  struct Near {
    int32_t column, row;
    double distance2;
  };
  std::array<Near, kMaxNearCandidates> near{};
  int found = 0;
  const auto score_at = [&](int32_t k, int32_t q) {
    return scores[static_cast<std::size_t>((q - w.q_lo) * side + (k - w.k_lo))];
  };
  for (int32_t q = w.q_lo; q <= w.q_hi; ++q) {
    for (int32_t k = w.k_lo; k <= w.k_hi; ++k) {
      if (value_at(frame, k, q) < wanted) continue;
      const int32_t score = score_at(k, q);
      bool is_peak = true;
      for (int32_t dq = -1; dq <= 1 && is_peak; ++dq) {
        for (int32_t dk = -1; dk <= 1; ++dk) {
          const int32_t nk = k + dk, nq = q + dq;
          if ((dk == 0 && dq == 0) || nk < w.k_lo || nk > w.k_hi || nq < w.q_lo || nq > w.q_hi)
            continue;
          // Ties go to the first in scan order, so a flat top gives one peak.
          const int32_t other = score_at(nk, nq);
          if (other > score || (other == score && (dq < 0 || (dq == 0 && dk < 0)))) {
            is_peak = false;
            break;
          }
        }
      }
      if (!is_peak) continue;
      const double d2 = (k - x) * (k - x) + (q - row_f) * (q - row_f);
      if (found < kMaxNearCandidates) {
        near[static_cast<std::size_t>(found++)] = {k, q, d2};
      } else {
        auto farthest = std::max_element(
            near.begin(), near.end(),
            [](const Near& a, const Near& b) { return a.distance2 < b.distance2; });
        if (d2 < farthest->distance2) *farthest = {k, q, d2};
      }
    }
  }
  std::sort(near.begin(), near.begin() + found,
            [](const Near& a, const Near& b) { return a.distance2 < b.distance2; });
  for (int i = 0; i < found; ++i) {
    if (auto m = measure(frame, near[static_cast<std::size_t>(i)].column,
                         near[static_cast<std::size_t>(i)].row)) {
      return m;
    }
  }
  return std::nullopt;
}

}  // namespace noctra
