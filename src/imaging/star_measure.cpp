#include "imaging/star_measure.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

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
constexpr std::size_t kClipStartSamples = 200;
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

// Other stars whose brightest pixel lies this close are fitted and taken off
// before the star is measured; closer than kNeighbourLeast a peak belongs to
// the star itself.
constexpr int32_t kNeighbourReach = 20;
constexpr double kNeighbourLeast = 3.0;
constexpr int kMostNeighbours = 6;
constexpr int kDeblendRounds = 3;
// The fits while deblending need not settle as finely as the measurement's,
// and a star that moved less than this between rounds has settled.
constexpr int kDeblendMomentRounds = 10;
constexpr double kDeblendSettled = 0.02;
// Light below this (sigmas of the sky's noise, and ADU) is none.
constexpr double kNegligibleSigmas = 0.5;
constexpr double kNegligibleLight = 0.2;
// The fitted neighbours are drawn over a box that holds the background ring
// and every window the moments may wander to.
constexpr int32_t kModelReach = kStarRingOuter + 8;
constexpr int32_t kModelSide = 2 * kModelReach + 1;

constexpr std::size_t kRingCapacity = (2 * kStarRingOuter + 1) * (2 * kStarRingOuter + 1);
// The sky around a point given to the nearest-star search, sampled on every
// other pixel out to the search radius and a ring beyond; a pixel must stand
// this far above it to be worth measuring.
constexpr int32_t kNearSkyReach = kStarSearchRadius + kStarRingOuter;
constexpr int32_t kNearSkyStep = 2;
constexpr std::size_t kNearSkySamples =
    (2 * kNearSkyReach / kNearSkyStep + 1) * (2 * kNearSkyReach / kNearSkyStep + 1);
constexpr double kNearCandidateSigmas = 3.0;
constexpr double kNearCandidateMinimum = 2.0;
constexpr int kMaxNearCandidates = 32;
constexpr std::size_t kStatisticsCapacity = std::max(kRingCapacity, kNearSkySamples);

double square(double v) { return v * v; }

// The blue byte of a frame's pixels.
class BlueBytes {
 public:
  explicit BlueBytes(const FrameImage& frame) : frame_(frame) {}
  int32_t width() const { return frame_.width(); }
  int32_t height() const { return frame_.height(); }
  float saturation() const { return 255.0F; }
  float operator()(int32_t k, int32_t q) const {
    return frame_.row(q)[static_cast<std::size_t>(k) * kBytesPerPixel];
  }

 private:
  const FrameImage& frame_;
};

class PlaneSamples {
 public:
  explicit PlaneSamples(const FloatPlane& plane) : plane_(plane) {}
  int32_t width() const { return plane_.width; }
  int32_t height() const { return plane_.height; }
  float saturation() const { return plane_.saturation; }
  float operator()(int32_t k, int32_t q) const { return plane_.row(q)[k]; }

 private:
  const FloatPlane& plane_;
};

// A star's light as a Gaussian: what is taken off when a neighbour is measured.
struct GaussModel {
  double x = 0;
  double row = 0;
  double sigma2 = 1;
  double amplitude = 0;
  double elongation = 0;
};

// The sum of some fitted stars over a square of pixels around one point.
class ModelBox {
 public:
  void place(int32_t column, int32_t row) {
    k0_ = column - kModelReach;
    q0_ = row - kModelReach;
    values_.fill(0.0F);
  }

  void add(const GaussModel& model) {
    if (!(model.amplitude > 0) || !(model.sigma2 > 0)) return;
    const double reach = 5 * std::sqrt(model.sigma2);
    const int32_t i_lo = std::max(0, static_cast<int32_t>(std::floor(model.x - reach)) - k0_);
    const int32_t i_hi =
        std::min(kModelSide - 1, static_cast<int32_t>(std::ceil(model.x + reach)) - k0_);
    const int32_t j_lo = std::max(0, static_cast<int32_t>(std::floor(model.row - reach)) - q0_);
    const int32_t j_hi =
        std::min(kModelSide - 1, static_cast<int32_t>(std::ceil(model.row + reach)) - q0_);
    if (i_lo > i_hi || j_lo > j_hi) return;
    std::array<float, kModelSide> along{};
    const double scale = -1.0 / (2 * model.sigma2);
    for (int32_t i = i_lo; i <= i_hi; ++i) {
      along[static_cast<std::size_t>(i)] =
          static_cast<float>(std::exp(scale * square(k0_ + i - model.x)));
    }
    for (int32_t j = j_lo; j <= j_hi; ++j) {
      const float up =
          static_cast<float>(model.amplitude * std::exp(scale * square(q0_ + j - model.row)));
      float* out = &values_[static_cast<std::size_t>(j) * kModelSide];
      for (int32_t i = i_lo; i <= i_hi; ++i) out[i] += up * along[static_cast<std::size_t>(i)];
    }
  }

  float at(int32_t k, int32_t q) const {
    const auto i = static_cast<uint32_t>(k - k0_), j = static_cast<uint32_t>(q - q0_);
    if (i >= static_cast<uint32_t>(kModelSide) || j >= static_cast<uint32_t>(kModelSide)) return 0;
    return values_[static_cast<std::size_t>(j) * kModelSide + i];
  }

 private:
  int32_t k0_ = 0;
  int32_t q0_ = 0;
  std::array<float, kModelSide * kModelSide> values_{};
};

// The pixels with the fitted neighbours taken off.
template <typename Pixels>
class Subtracted {
 public:
  Subtracted(const Pixels& pixels, const ModelBox& models) : pixels_(pixels), models_(models) {}
  int32_t width() const { return pixels_.width(); }
  int32_t height() const { return pixels_.height(); }
  float saturation() const { return pixels_.saturation(); }
  float operator()(int32_t k, int32_t q) const { return pixels_(k, q) - models_.at(k, q); }

 private:
  const Pixels& pixels_;
  const ModelBox& models_;
};

struct Background {
  double level = 0;
  double noise = 0;
};

// The lower median (the value with half the samples at or below it) of n
// samples; reorders them.
float lower_median(float* values, std::size_t n) {
  const std::size_t middle = (n + 1) / 2 - 1;
  std::nth_element(values, values + middle, values + n);
  return values[middle];
}

// Mean and standard deviation of the samples after sigma clipping, starting
// from the median and the median absolute deviation, so that a star or a hot
// pixel in the sample does not drag the first clip window. scratch holds as
// many samples.
Background clipped_statistics(const float* values, float* scratch, std::size_t n) {
  // The start needs only to be robust: a few hundred of the samples, evenly
  // taken, give it.
  const std::size_t step = std::max<std::size_t>(1, n / kClipStartSamples);
  std::size_t taken = 0;
  for (std::size_t i = 0; i < n; i += step) scratch[taken++] = values[i];
  const float median = lower_median(scratch, taken);
  for (std::size_t i = 0; i < taken; ++i) scratch[i] = std::abs(scratch[i] - median);
  const double deviation = lower_median(scratch, taken);
  double mean = median;
  double spread = std::max(1.4826 * deviation, kNoiseFloor);
  double sd = 0;
  for (int round = 0; round < kClipRounds; ++round) {
    const double lo = mean - kClipSigmas * spread, hi = mean + kClipSigmas * spread;
    double count = 0, sum = 0, squares = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = values[i];
      if (v < lo || v > hi) continue;
      count += 1;
      sum += v;
      squares += v * v;
    }
    if (count == 0) break;
    const double new_mean = sum / count;
    sd = std::sqrt(std::max(squares / count - new_mean * new_mean, 0.0));
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

template <typename Pixels>
bool ring_background(const Pixels& px, int32_t column, int32_t row, Background& out) {
  std::array<float, kRingCapacity> values;
  std::array<float, kRingCapacity> scratch;
  std::size_t total = 0;
  constexpr int32_t inner2 = kStarRingInner * kStarRingInner;
  constexpr int32_t outer2 = kStarRingOuter * kStarRingOuter;
  const int32_t q_lo = std::max(0, row - kStarRingOuter);
  const int32_t q_hi = std::min(px.height() - 1, row + kStarRingOuter);
  const auto take = [&](int32_t q, int32_t from, int32_t to) {
    for (int32_t k = std::max(0, from); k <= std::min(px.width() - 1, to); ++k) {
      // Samples that are not numbers (a float plane may hold them) are no sky.
      if (const float v = px(k, q); std::isfinite(v)) values[total++] = v;
    }
  };
  // Each row of the ring is one or two runs of pixels: those inside the
  // outer circle less those inside the inner one.
  for (int32_t q = q_lo; q <= q_hi; ++q) {
    const int32_t dy2 = (q - row) * (q - row);
    const int32_t outer = half_chord(outer2 - 1 - dy2);
    if (dy2 >= inner2) {
      take(q, column - outer, column + outer);
    } else {
      const int32_t inner = half_chord(inner2 - 1 - dy2);
      take(q, column - outer, column - inner - 1);
      take(q, column + inner + 1, column + outer);
    }
  }
  if (total < kMinRingPixels) return false;
  out = clipped_statistics(values.data(), scratch.data(), total);
  return std::isfinite(out.level) && std::isfinite(out.noise);
}

// Light in the 3 x 3 pixels around a pixel without the brightest of them:
// high for a star's core, low for a lone hot pixel.
template <typename Pixels>
float core_score(const Pixels& px, int32_t column, int32_t row) {
  float sum = 0, brightest = -std::numeric_limits<float>::infinity();
  for (int32_t q = std::max(0, row - 1); q <= std::min(px.height() - 1, row + 1); ++q) {
    for (int32_t k = std::max(0, column - 1); k <= std::min(px.width() - 1, column + 1); ++k) {
      const float v = px(k, q);
      sum += v;
      brightest = std::max(brightest, v);
    }
  }
  return sum - brightest;
}

// Whether (column, row) has the best core score within `reach` pixels; ties
// go to the first in scan order, so a flat top gives one peak.
template <typename Pixels>
bool is_core_peak(const Pixels& px, int32_t column, int32_t row, int32_t reach) {
  const float score = core_score(px, column, row);
  for (int32_t q = std::max(0, row - reach); q <= std::min(px.height() - 1, row + reach); ++q) {
    for (int32_t k = std::max(0, column - reach); k <= std::min(px.width() - 1, column + reach);
         ++k) {
      if (k == column && q == row) continue;
      const float other = core_score(px, k, q);
      const bool earlier = q < row || (q == row && k < column);
      if (other > score || (other == score && earlier)) return false;
    }
  }
  return true;
}

template <typename Pixels>
int lit_neighbours(const Pixels& px, int32_t column, int32_t row, const Background& bg) {
  const double lit = bg.level + std::max(kNeighbourSigmas * bg.noise, kNeighbourMinimum);
  int neighbours = 0;
  for (int32_t q = std::max(0, row - 1); q <= std::min(px.height() - 1, row + 1); ++q) {
    for (int32_t k = std::max(0, column - 1); k <= std::min(px.width() - 1, column + 1); ++k) {
      if ((k != column || q != row) && px(k, q) > lit) ++neighbours;
    }
  }
  return neighbours;
}

double detection_level(const Background& bg) {
  return bg.level + std::max(kDetectSigmas * bg.noise, kDetectMinimum);
}

// Width of the star from the pixels at or above half its peak: the area of
// that disc is pi (FWHM / 2)^2.
template <typename Pixels>
double first_sigma(const Pixels& px, int32_t column, int32_t row, const Background& bg) {
  const double half = (px(column, row) - bg.level) / 2;
  int32_t count = 0;
  for (int32_t q = std::max(0, row - kHalfMaxBox);
       q <= std::min(px.height() - 1, row + kHalfMaxBox); ++q) {
    for (int32_t k = std::max(0, column - kHalfMaxBox);
         k <= std::min(px.width() - 1, column + kHalfMaxBox); ++k) {
      if (px(k, q) - bg.level >= half) ++count;
    }
  }
  const double radius = std::sqrt(count / M_PI);
  return std::clamp(2 * radius / kFwhmPerSigma, 0.6, 5.0);
}

struct Window {
  int32_t k_lo, k_hi, q_lo, q_hi;
  bool clipped;
};

template <typename Pixels>
Window window_around(const Pixels& px, double x, double row, double reach) {
  const int32_t k_lo = static_cast<int32_t>(std::ceil(x - reach));
  const int32_t k_hi = static_cast<int32_t>(std::floor(x + reach));
  const int32_t q_lo = static_cast<int32_t>(std::ceil(row - reach));
  const int32_t q_hi = static_cast<int32_t>(std::floor(row + reach));
  Window w{std::max(0, k_lo), std::min(px.width() - 1, k_hi), std::max(0, q_lo),
           std::min(px.height() - 1, q_hi), false};
  w.clipped = w.k_lo != k_lo || w.k_hi != k_hi || w.q_lo != q_lo || w.q_hi != q_hi;
  return w;
}

enum class MomentsEnd { Settled, Empty, NoLight, Wandered, TooWide };

// Centre and width by adaptive moments: moments weighted by a Gaussian whose
// width follows the star's, until both settle. For a Gaussian star the
// weighted offset is the true one scaled by s^2 / (sigma^2 + s^2) and the
// weighted variance sigma^2 s^2 / (sigma^2 + s^2), so each round solves for
// the star directly; the fixed point has the window as wide as the star,
// where the weighting is the best the noise allows. Pixels above the ceiling
// count as sky. The star's peak comes out too, from the weighted light.
template <typename Pixels>
MomentsEnd adaptive_moments(const Pixels& px, const Background& bg, double ceiling,
                            GaussModel& star, int rounds = kMomentRounds) {
  double x = star.x, row = star.row;
  double s = std::sqrt(star.sigma2);
  const double wander = 2 + s;
  double amplitude = 0, elongation = 0;
  std::array<double, 2 * kStarApertureLimit + 1> wx{}, wy{};
  for (int round = 0; round < rounds; ++round) {
    const double reach = std::clamp(std::ceil(4 * s), 3.0, double{kStarApertureLimit});
    const Window w = window_around(px, std::round(x), std::round(row), reach);
    if (w.k_lo > w.k_hi || w.q_lo > w.q_hi) return MomentsEnd::Empty;
    const double scale = -1.0 / (2 * s * s);
    for (int32_t k = w.k_lo; k <= w.k_hi; ++k)
      wx[static_cast<std::size_t>(k - w.k_lo)] = std::exp(scale * (k - x) * (k - x));
    for (int32_t q = w.q_lo; q <= w.q_hi; ++q)
      wy[static_cast<std::size_t>(q - w.q_lo)] = std::exp(scale * (q - row) * (q - row));
    double s0 = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
    for (int32_t q = w.q_lo; q <= w.q_hi; ++q) {
      const double dy = q - row;
      const double weight_row = wy[static_cast<std::size_t>(q - w.q_lo)];
      double r0 = 0, rx = 0, rxx = 0;
      for (int32_t k = w.k_lo; k <= w.k_hi; ++k) {
        const double dx = k - x;
        const double v = px(k, q);
        const double light =
            v > ceiling ? 0.0 : (v - bg.level) * wx[static_cast<std::size_t>(k - w.k_lo)];
        r0 += light;
        rx += light * dx;
        rxx += light * dx * dx;
      }
      s0 += weight_row * r0;
      sx += weight_row * rx;
      sy += weight_row * r0 * dy;
      sxx += weight_row * rxx;
      sxy += weight_row * rx * dy;
      syy += weight_row * r0 * dy * dy;
    }
    if (!(s0 > 0)) return MomentsEnd::NoLight;
    const double ox = sx / s0, oy = sy / s0;
    const double cxx = sxx / s0 - ox * ox, cyy = syy / s0 - oy * oy, cxy = sxy / s0 - ox * oy;
    const double weighted = (cxx + cyy) / 2;
    if (!(weighted > 0) || !std::isfinite(ox) || !std::isfinite(oy)) return MomentsEnd::NoLight;
    double star2;
    if (weighted < 0.98 * s * s) {
      star2 = 1.0 / (1.0 / weighted - 1.0 / (s * s));
    } else {
      star2 = 4 * s * s;  // the window is far too narrow: widen it quickly
    }
    // s0 = A 2 pi sigma^2 s^2 / (sigma^2 + s^2) for a Gaussian of peak A.
    amplitude = s0 * (star2 + s * s) / (2 * M_PI * star2 * s * s);
    // The star's own variances along its axes, out of the weighted ones as
    // its width is above.
    const double spread = std::hypot((cxx - cyy) / 2, cxy);
    const auto unweighted = [&](double v) {
      return v > 0 && v < 0.98 * s * s ? 1.0 / (1.0 / v - 1.0 / (s * s)) : 4 * s * s;
    };
    const double major = unweighted(weighted + spread), minor = unweighted(weighted - spread);
    elongation = std::clamp((major - minor) / (major + minor), 0.0, 1.0);
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
    if (std::hypot(x - star.x, row - star.row) > wander) return MomentsEnd::Wandered;
    if (settled) break;
  }
  if (s >= kLargestSigma) return MomentsEnd::TooWide;
  star = {x, row, s * s, amplitude, elongation};
  return MomentsEnd::Settled;
}

StarSearch missed(StarMiss why) { return {std::nullopt, why}; }

StarMiss miss_of(MomentsEnd end) {
  switch (end) {
    case MomentsEnd::Empty:
      return StarMiss::AtEdge;
    case MomentsEnd::NoLight:
      return StarMiss::LowSnr;
    case MomentsEnd::Wandered:
      return StarMiss::Blended;
    case MomentsEnd::TooWide:
      return StarMiss::TooWide;
    case MomentsEnd::Settled:
      break;
  }
  return StarMiss::None;
}

// Centre, width, flux and half-flux diameter of the star whose brightest
// pixel is (column, row), from `light` (the pixels, or the pixels less the
// fitted neighbours) over the background bg. `pixels` tells saturation.
template <typename Pixels, typename Light>
StarSearch measure_light(const Pixels& pixels, const Light& light, int32_t column, int32_t row,
                         const Background& bg) {
  // Pixels brighter than this star's core belong to a brighter neighbour and
  // count as sky, so that its light cannot pull the centre over to it.
  double core_peak = -std::numeric_limits<double>::infinity();
  bool saturated_core = false;
  for (int32_t q = std::max(0, row - 1); q <= std::min(pixels.height() - 1, row + 1); ++q) {
    for (int32_t k = std::max(0, column - 1); k <= std::min(pixels.width() - 1, column + 1); ++k) {
      core_peak = std::max(core_peak, double{light(k, q)});
      saturated_core = saturated_core || pixels(k, q) >= pixels.saturation();
    }
  }
  const auto failed = [&](StarMiss why) {
    return missed(saturated_core ? StarMiss::Saturated : why);
  };
  const double ceiling = core_peak + std::ceil(std::max(3 * bg.noise, 2.0));

  const double first = first_sigma(light, column, row, bg);
  GaussModel fit{double(column), double(row), first * first, 0};
  if (const MomentsEnd end = adaptive_moments(light, bg, ceiling, fit); end != MomentsEnd::Settled)
    return failed(miss_of(end));
  const double star2 = fit.sigma2 - kPixelBoxVariance;
  if (star2 < kSmallestSigma * kSmallestSigma) return failed(StarMiss::TooSmall);
  StarMeasurement m;
  m.x = fit.x;
  m.row = fit.row;
  m.fwhm = kFwhmPerSigma * std::sqrt(star2);
  m.elongation = fit.elongation;

  // Flux, core and half-flux radius over a disc of 1.5 FWHM and a pixel,
  // which holds all but a trace of a Gaussian star's light and no more sky
  // noise than it must.
  const double aperture = std::clamp(1.5 * m.fwhm + 1, 3.0, double{kStarApertureLimit});
  const int32_t subpixels =
      std::clamp(static_cast<int32_t>(std::ceil(9 / m.fwhm)), 2, kMostSubpixels);
  const double core = std::max(m.fwhm, 1.5);
  const Window w = window_around(light, m.x, m.row, aperture);
  m.at_edge = w.clipped;
  const double aperture2 = aperture * aperture, core2 = core * core;
  const double reach = aperture + 0.5 * std::sqrt(2.0);
  const double bin_scale = kRadiusBins / (reach * reach);
  std::array<double, kRadiusBins> ring_light{};
  double flux = 0;
  int32_t pixel_count = 0;
  double peak = -std::numeric_limits<double>::infinity();
  bool saturated = false;
  for (int32_t q = w.q_lo; q <= w.q_hi; ++q) {
    const double dy = q - m.row;
    for (int32_t k = w.k_lo; k <= w.k_hi; ++k) {
      const double dx = k - m.x;
      const double d2 = dx * dx + dy * dy;
      if (d2 > aperture2) continue;
      const double v = light(k, q);
      const double star_light = v > ceiling ? 0.0 : v - bg.level;
      flux += star_light;
      ++pixel_count;
      if (d2 <= core2 && v <= ceiling) {
        peak = std::max(peak, v);
        saturated = saturated || pixels(k, q) >= pixels.saturation();
      }
      const double share = star_light / (subpixels * subpixels);
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
  if (!(flux > 0) || pixel_count == 0) return failed(StarMiss::LowSnr);

  double enclosed = 0, half2 = -1;
  for (int32_t b = 0; b < kRadiusBins; ++b) {
    const double ring = ring_light[static_cast<std::size_t>(b)];
    if (enclosed + ring >= flux / 2 && ring > 0) {
      half2 = (b + (flux / 2 - enclosed) / ring) / bin_scale;
      break;
    }
    enclosed += ring;
  }
  if (half2 < 0) return failed(StarMiss::LowSnr);
  const double subpixel_variance = (subpixels * subpixels - 1) / (12.0 * subpixels * subpixels);
  const double widening = kTwoLn2 * (kPixelBoxVariance + subpixel_variance);
  m.hfd = 2 * std::sqrt(std::max(half2 - widening, 0.0));

  m.y = pixels.height() - m.row;
  m.flux = flux;
  m.background = bg.level;
  m.noise = bg.noise;
  m.peak = peak;
  m.saturated = saturated;
  // The peak over the sky's noise: the star's own photon noise would need
  // the camera's gain, which an analogue video signal does not tell, and an
  // aperture ratio would depend on the aperture.
  m.snr = (peak - bg.level) / std::max(bg.noise, kQuantisationNoise);
  return {m, StarMiss::None};
}

// The other stars' brightest pixels within kNeighbourReach of (column, row),
// brightest first, as first guesses of their light; the count.
template <typename Pixels>
int find_neighbours(const Pixels& px, int32_t column, int32_t row, const Background& bg,
                    std::array<GaussModel, kMostNeighbours>& out) {
  const double wanted = detection_level(bg);
  int count = 0;
  for (int32_t q = std::max(0, row - kNeighbourReach);
       q <= std::min(px.height() - 1, row + kNeighbourReach); ++q) {
    for (int32_t k = std::max(0, column - kNeighbourReach);
         k <= std::min(px.width() - 1, column + kNeighbourReach); ++k) {
      const double d2 = square(k - column) + square(q - row);
      if (d2 < square(kNeighbourLeast) || d2 > square(kNeighbourReach)) continue;
      const float v = px(k, q);
      if (!(v >= wanted)) continue;
      // The top of a star (ties go to the first in scan order); a lone hot
      // pixel has no lit neighbours.
      bool top = true;
      for (int32_t dq = -1; dq <= 1 && top; ++dq) {
        for (int32_t dk = -1; dk <= 1; ++dk) {
          const int32_t nk = k + dk, nq = q + dq;
          if ((dk == 0 && dq == 0) || nk < 0 || nk >= px.width() || nq < 0 || nq >= px.height())
            continue;
          const float other = px(nk, nq);
          if (other > v || (other == v && (dq < 0 || (dq == 0 && dk < 0)))) {
            top = false;
            break;
          }
        }
      }
      if (!top || lit_neighbours(px, k, q, bg) < kMinLitNeighbours) continue;
      const double first = first_sigma(px, k, q, bg);
      const GaussModel guess{double(k), double(q), first * first, v - bg.level};
      int at = count < kMostNeighbours ? count++ : kMostNeighbours;
      if (at == kMostNeighbours) {
        if (guess.amplitude <= out[kMostNeighbours - 1].amplitude) continue;
        at = kMostNeighbours - 1;
      }
      while (at > 0 && out[static_cast<std::size_t>(at - 1)].amplitude < guess.amplitude) {
        out[static_cast<std::size_t>(at)] = out[static_cast<std::size_t>(at - 1)];
        --at;
      }
      out[static_cast<std::size_t>(at)] = guess;
    }
  }
  return count;
}

template <typename Pixels>
StarSearch measure(const Pixels& px, int32_t column, int32_t row) {
  if (column < 0 || column >= px.width() || row < 0 || row >= px.height())
    return missed(StarMiss::OffFrame);
  Background bg;
  if (!ring_background(px, column, row, bg)) return missed(StarMiss::AtEdge);
  if (!(px(column, row) >= detection_level(bg))) {
    return missed(px(column, row) >= px.saturation() ? StarMiss::Saturated : StarMiss::LowSnr);
  }
  if (lit_neighbours(px, column, row, bg) < kMinLitNeighbours) return missed(StarMiss::TooSmall);

  std::array<GaussModel, kMostNeighbours> neighbours;
  int count = find_neighbours(px, column, row, bg, neighbours);
  // A neighbour whose light is lost in the noise before it reaches the
  // window this star is measured in leaves it alone.
  const double first = first_sigma(px, column, row, bg);
  const double window = std::max(3.0, std::ceil(4 * first)) + 1;
  const double negligible = std::max(kNegligibleSigmas * bg.noise, kNegligibleLight);
  count = static_cast<int>(
      std::remove_if(neighbours.begin(), neighbours.begin() + count,
                     [&](const GaussModel& n) {
                       const double gap =
                           std::max(0.0, std::hypot(n.x - column, n.row - row) - window);
                       return n.amplitude * std::exp(-gap * gap / (2 * n.sigma2)) < negligible;
                     }) -
      neighbours.begin());
  if (count == 0) return measure_light(px, px, column, row, bg);

  // Each neighbour is fitted with this star and the other neighbours taken
  // off, then this star with the neighbours taken off; a few rounds settle
  // both. A "neighbour" that settles onto this star is part of it.
  GaussModel self{double(column), double(row), first * first, px(column, row) - bg.level};
  ModelBox models;
  for (int round = 0; round < kDeblendRounds; ++round) {
    for (int i = 0; i < count; ++i) {
      GaussModel& n = neighbours[static_cast<std::size_t>(i)];
      if (!(n.amplitude > 0)) continue;
      models.place(static_cast<int32_t>(std::lround(n.x)),
                   static_cast<int32_t>(std::lround(n.row)));
      models.add(self);
      for (int j = 0; j < count; ++j) {
        if (j != i) models.add(neighbours[static_cast<std::size_t>(j)]);
      }
      GaussModel fit = n;
      // A peak that cannot be fitted is noise on this star's flank, or a
      // hot pixel: taking off a guess at it would do more harm than good.
      if (adaptive_moments(Subtracted(px, models), bg, std::numeric_limits<double>::infinity(), fit,
                           kDeblendMomentRounds) == MomentsEnd::Settled) {
        n = fit;
      } else {
        n.amplitude = 0;
      }
      if (std::hypot(n.x - self.x, n.row - self.row) < kNeighbourLeast) n.amplitude = 0;
      for (int j = 0; j < i; ++j) {
        const GaussModel& other = neighbours[static_cast<std::size_t>(j)];
        if (other.amplitude > 0 && std::hypot(n.x - other.x, n.row - other.row) < kNeighbourLeast)
          n.amplitude = 0;
      }
    }
    models.place(column, row);
    for (int j = 0; j < count; ++j) models.add(neighbours[static_cast<std::size_t>(j)]);
    // The last round's fit of this star is the measurement below.
    if (round + 1 == kDeblendRounds) break;
    GaussModel fit{double(column), double(row), first * first, 0};
    if (adaptive_moments(Subtracted(px, models), bg, std::numeric_limits<double>::infinity(), fit,
                         kDeblendMomentRounds) != MomentsEnd::Settled) {
      continue;
    }
    const bool settled = std::hypot(fit.x - self.x, fit.row - self.row) < kDeblendSettled;
    self = fit;
    if (settled) break;
  }
  const Subtracted alone(px, models);
  Background own = bg;
  ring_background(alone, column, row, own);
  return measure_light(px, alone, column, row, own);
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

template <typename Pixels>
StarSearch search_near(const Pixels& px, double x, double row_f) {
  constexpr double radius = kStarSearchRadius;
  if (!std::isfinite(x) || !std::isfinite(row_f) || x < -radius || x > px.width() - 1 + radius ||
      row_f < -radius || row_f > px.height() - 1 + radius) {
    return missed(StarMiss::OffFrame);
  }
  const int32_t column = static_cast<int32_t>(std::lround(x));
  const int32_t row = static_cast<int32_t>(std::lround(row_f));

  // The sky of the area picks out the pixels worth measuring; each
  // measurement then takes its background from its own ring. The area is
  // wide enough that a broad star does not lift its sky.
  std::array<float, kStatisticsCapacity> values;
  std::array<float, kStatisticsCapacity> scratch;
  std::size_t total = 0;
  const Window sky = window_around(px, column, row, kNearSkyReach);
  for (int32_t q = sky.q_lo; q <= sky.q_hi; q += kNearSkyStep) {
    for (int32_t k = sky.k_lo; k <= sky.k_hi; k += kNearSkyStep) {
      if (const float v = px(k, q); std::isfinite(v)) values[total++] = v;
    }
  }
  if (total == 0) return missed(StarMiss::OffFrame);
  const Background area = clipped_statistics(values.data(), scratch.data(), total);
  const double wanted =
      area.level + std::max(kNearCandidateSigmas * area.noise, kNearCandidateMinimum);

  struct Near {
    int32_t column, row;
    double distance2;
  };
  std::array<Near, kMaxNearCandidates> near{};
  int found = 0;
  constexpr double reach = radius + 2;  // a peak lies within a pixel or two of the centre
  const Window w = window_around(px, column, row, std::ceil(reach) + 1);
  for (int32_t q = w.q_lo; q <= w.q_hi; ++q) {
    for (int32_t k = w.k_lo; k <= w.k_hi; ++k) {
      const double d2 = square(k - x) + square(q - row_f);
      if (d2 > reach * reach || !(px(k, q) >= wanted) || !is_core_peak(px, k, q, 1)) continue;
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

  StarSearch best = missed(StarMiss::NoCandidate);
  double best_distance = std::numeric_limits<double>::infinity();
  for (int i = 0; i < found; ++i) {
    const Near& c = near[static_cast<std::size_t>(i)];
    if (std::sqrt(c.distance2) > best_distance + 2) break;
    StarSearch s = measure(px, c.column, c.row);
    if (!s.star) {
      if (!best.star && best.miss == StarMiss::NoCandidate) best.miss = s.miss;
      continue;
    }
    const double d = std::hypot(s.star->x - x, s.star->row - row_f);
    if (d <= radius && d < best_distance) {
      best = s;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace

const char* star_miss_text(StarMiss miss) {
  switch (miss) {
    case StarMiss::None:
      return "";
    case StarMiss::OffFrame:
      return "off the frame";
    case StarMiss::NoCandidate:
      return "no candidate";
    case StarMiss::LowSnr:
      return "low SNR";
    case StarMiss::TooSmall:
      return "too small";
    case StarMiss::TooWide:
      return "too wide";
    case StarMiss::Blended:
      return "blended";
    case StarMiss::Saturated:
      return "saturated";
    case StarMiss::AtEdge:
      return "at the edge";
  }
  return "unknown";
}

StarSearch find_star_at(const FrameImage& frame, int32_t column, int32_t row) {
  return measure(BlueBytes(frame), column, row);
}

StarSearch find_star_at(const FloatPlane& plane, int32_t column, int32_t row) {
  return measure(PlaneSamples(plane), column, row);
}

StarSearch find_star_near(const FrameImage& frame, double x, double y) {
  return search_near(BlueBytes(frame), x, row_from_guide_y(frame, y));
}

StarSearch find_star_near(const FloatPlane& plane, double x, double y) {
  return search_near(PlaneSamples(plane), x, plane.height - y);
}

StarSearch find_brightest_star(const FrameImage& frame) {
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
  const BlueBytes px(frame);
  for (int i = 0; i < candidates.size(); ++i) {
    Candidate& c = candidates[i];
    Candidate best{c.column, c.row, -1};
    for (int32_t q = std::max(0, c.row - kRefineReach);
         q <= std::min(height - 1, c.row + kRefineReach); ++q) {
      for (int32_t k = std::max(0, c.column - kRefineReach);
           k <= std::min(width - 1, c.column + kRefineReach); ++k) {
        const auto score = static_cast<int32_t>(core_score(px, k, q));
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
  StarSearch at_edge = missed(StarMiss::NoCandidate);
  for (int i = 0; i < candidates.size(); ++i) {
    StarSearch m = measure(px, candidates[i].column, candidates[i].row);
    if (m.star && !m.star->at_edge) return m;
    if (m.star ? !at_edge.star : at_edge.miss == StarMiss::NoCandidate) at_edge = m;
  }
  return at_edge;
}

}  // namespace noctra
