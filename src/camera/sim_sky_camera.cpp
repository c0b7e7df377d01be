#include "camera/sim_sky_camera.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include "imaging/frame_image.h"

namespace noctra {

namespace {

constexpr float kPedestal = 10.0F;        // black level, ADU
constexpr float kSkyPerSecond = 8.0F;     // ADU per second of exposure
constexpr float kReadNoise = 2.0F;        // ADU per readout
constexpr float kElectronsPerAdu = 4.0F;  // shot noise
constexpr float kShortFieldSeconds = 0.020F;
// Dark current of the uncooled sensor: its mean and its spread over the
// pixels, as a share of the mean.
constexpr float kDarkPerSecond = 0.5F;
constexpr float kDarkSpread = 0.3F;
// Without amplifier switching a 10 s exposure shows tens of ADU of glow in
// the corner and still does not saturate there.
constexpr float kGlowPerSecond = 10.0F;    // at the corner, ADU per second of amplifier
constexpr float kGlowFalloffPx = 50.0F;    // e-folding: faint by 150 px
constexpr float kGuideStarFlux = 1500.0F;  // ADU per second
constexpr float kFaintestStarFlux = 10.0F;
constexpr int kHotPixelCount = 40;
// The flat light: ADU per second at the centre, the vignetting's scale (as a
// share of the half diagonal: the corners get about 70 %), and the dust.
constexpr float kFlatLightPerSecond = 120.0F;
constexpr double kVignettingScale = 2.25;
constexpr int kDustShadows = 5;

// Point spread: a Gaussian of FWHM 2.5 px, tabulated in eight sub-pixel
// phases so that each star costs only multiplications.
constexpr double kPsfSigma = 2.5 / 2.3548;
constexpr int kPsfRadius = 5;
constexpr int kPsfTaps = 2 * kPsfRadius + 1;
constexpr int kPsfPhases = 8;

// A slow drift of about 0.3 px/s plus a wobble of a few pixels over a few
// minutes, like a mount tracking a little off.
constexpr double kDriftX = 0.26;
constexpr double kDriftY = 0.15;
constexpr double kWobbleX = 2.5, kWobblePeriodX = 240.0;
constexpr double kWobbleY = 1.5, kWobblePeriodY = 180.0;

constexpr std::size_t kGaussTableSize = 1 << 16;

// The galaxy: an exponential disc seen at a slant, its centre 45 px right of
// and 30 px above the guide star. At its centre it adds 0.6 ADU a second, a
// little over 1 ADU in a 2 s exposure whose noise is near 3 ADU.
constexpr double kGalaxyRight = 45.0;
constexpr double kGalaxyUp = 30.0;
constexpr double kGalaxyPeakPerSecond = 0.6;
constexpr double kGalaxyScalePx = 7.0;
constexpr double kGalaxyAxisRatio = 0.45;
constexpr double kGalaxyAngle = 35.0 * std::numbers::pi / 180;
constexpr int32_t kGalaxyReach = 45;

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double wrap_into(double v, double size) {
  v = std::fmod(v, size);
  return v < 0 ? v + size : v;
}

}  // namespace

SimSkyCamera::SimSkyCamera(Clock& clock, EventPump& pump, StillWindowRegistry& windows, LogSink log,
                           SimSkyOptions options)
    : clock_(clock), pump_(pump), windows_(windows), log_(std::move(log)), options_(options),
      epoch_ms_(clock.now_ms()) {
  options_.width = std::clamp(options_.width, 80, 4096);
  options_.height = std::clamp(options_.height, 80, 4096);
  const int32_t w = options_.width;
  const int32_t h = options_.height;
  std::mt19937_64 rng(options_.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);

  stars_.push_back({w / 2 + 0.3, h / 2 - 0.4, kGuideStarFlux});
  for (int32_t i = 1; i < std::max(options_.star_count, 1); ++i) {
    // Counts rise steeply towards faint stars: N(>F) ~ 1/F.
    const double u = 0.02 + 0.98 * unit(rng);
    stars_.push_back({unit(rng) * w, unit(rng) * h, static_cast<float>(kFaintestStarFlux / u)});
  }
  std::uniform_int_distribution<int32_t> column(0, w - 1), row(0, h - 1);
  for (int i = 0; i < kHotPixelCount; ++i) {
    hot_pixels_.push_back({column(rng), row(rng), static_cast<float>(20.0 + 180.0 * unit(rng))});
  }

  glow_.resize(static_cast<std::size_t>(w) * h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      // Top-right corner of the picture: last column, last stored row.
      const double d = std::hypot(double(w - 1 - x), double(h - 1 - y));
      glow_[static_cast<std::size_t>(y) * w + x] =
          kGlowPerSecond * static_cast<float>(std::exp(-d / kGlowFalloffPx));
    }
  }

  kernels_.resize(kPsfPhases * kPsfTaps);
  for (int p = 0; p < kPsfPhases; ++p) {
    double sum = 0;
    for (int k = 0; k < kPsfTaps; ++k) {
      const double d = (k - kPsfRadius) - double(p) / kPsfPhases;
      const double v = std::exp(-d * d / (2 * kPsfSigma * kPsfSigma));
      kernels_[p * kPsfTaps + k] = static_cast<float>(v);
      sum += v;
    }
    for (int k = 0; k < kPsfTaps; ++k) kernels_[p * kPsfTaps + k] /= static_cast<float>(sum);
  }

  std::normal_distribution<float> normal(0.0F, 1.0F);
  gauss_table_.resize(kGaussTableSize);
  for (auto& g : gauss_table_) g = normal(rng);
  rate_.resize(static_cast<std::size_t>(w) * h);

  // The sensor's own pattern and the optics' dust come from a generator of
  // their own, so the sky stays what the seed always gave.
  std::mt19937_64 sensor_rng(options_.seed ^ 0x6A09E667F3BCC908ULL);
  dark_.assign(static_cast<std::size_t>(w) * h, 0.0F);
  if (options_.dark_signal) {
    for (auto& d : dark_)
      d = std::max(0.0F, kDarkPerSecond * (1 + kDarkSpread * normal(sensor_rng)));
    for (const auto& hot : hot_pixels_)
      dark_[static_cast<std::size_t>(hot.y) * w + hot.x] += hot.rate;
  } else {
    std::fill(glow_.begin(), glow_.end(), 0.0F);
  }
  struct Dust {
    double x, y, radius, depth;
  };
  std::vector<Dust> dust;
  for (int i = 0; i < kDustShadows; ++i) {
    dust.push_back({unit(sensor_rng) * w, unit(sensor_rng) * h, 6 + 10 * unit(sensor_rng),
                    0.08 + 0.12 * unit(sensor_rng)});
  }
  flat_.resize(static_cast<std::size_t>(w) * h);
  const double scale = kVignettingScale * 0.5 * std::hypot(double(w), double(h));
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const double r = std::hypot(x - 0.5 * (w - 1), y - 0.5 * (h - 1)) / scale;
      double light = 1 / ((1 + r * r) * (1 + r * r));
      // An out-of-focus speck shows as a ring-shaped shadow with a lighter middle.
      for (const Dust& d : dust) {
        const double q = std::hypot(x - d.x, y - d.y) / d.radius;
        if (q < 1) light *= 1 - d.depth * (0.5 + 0.5 * q);
      }
      flat_[static_cast<std::size_t>(y) * w + x] = static_cast<float>(light);
    }
  }
}

std::vector<SimSkyCamera::Pixel> SimSkyCamera::hot_pixel_positions() const {
  std::vector<Pixel> positions;
  if (!options_.dark_signal) return positions;
  for (const auto& hot : hot_pixels_) positions.push_back({hot.x, hot.y});
  return positions;
}

void SimSkyCamera::accumulate_amplifier(int32_t now) {
  const int32_t elapsed = std::max(wrap_sub(now, last_write_ms_), 0);
  if (amplifier_on_) {
    if (main_.active) main_.amplifier_ms = wrap_add(main_.amplifier_ms, elapsed);
    if (guide_.active) guide_.amplifier_ms = wrap_add(guide_.amplifier_ms, elapsed);
  }
  last_write_ms_ = now;
}

void SimSkyCamera::start(RunningExposure& exposure, int32_t now) {
  exposure.active = true;
  exposure.start_ms = now;
  exposure.amplifier_ms = 0;
}

void SimSkyCamera::read_out(RunningExposure& exposure, int32_t now) {
  // A trigger with no exposure running reads out an empty one.
  readout_ = SimExposure{exposure.active ? exposure.start_ms : now, now,
                         exposure.active ? exposure.amplifier_ms : 0};
  exposure.active = false;
}

void SimSkyCamera::on_port_write(uint8_t byte) {
  const int32_t now = camera_now();
  accumulate_amplifier(now);
  const uint8_t code = byte & 0x3F;
  const bool after_start_pair = history_[2] == 0x37 && history_[3] == 0x27;
  if (code == 0x37 && history_[0] == 0x27) {
    start(main_, now);
    start(guide_, now);
  } else if (code == 0x37) {
    read_out(main_, now);
  } else if (code == 0x35) {
    read_out(guide_, now);
  } else if (code == 0x34 && history_[0] == 0x14 && history_[1] == 0x34 && !after_start_pair) {
    start(guide_, now);
  }
  amplifier_on_ = (byte & 0x04) != 0;
  history_[3] = history_[2];
  history_[2] = history_[1];
  history_[1] = history_[0];
  history_[0] = code;
}

SimSkyCamera::Position SimSkyCamera::drift(double seconds) const {
  const double tau = 2 * std::numbers::pi;
  return {kDriftX * seconds + kWobbleX * std::sin(tau * seconds / kWobblePeriodX),
          kDriftY * seconds + kWobbleY * std::sin(tau * seconds / kWobblePeriodY + 1.0)};
}

SimSkyCamera::Position SimSkyCamera::guide_star_position(int32_t camera_ms) const {
  const Position d = drift(camera_ms / 1000.0);
  return {wrap_into(stars_[0].x + d.x, options_.width),
          wrap_into(stars_[0].y + d.y, options_.height)};
}

SimSkyCamera::Position SimSkyCamera::sky_position(Position at_start, double seconds) const {
  const double turn = options_.rotation_deg_per_min * seconds / 60 * std::numbers::pi / 180;
  const double c = std::cos(turn), s = std::sin(turn);
  const double x = at_start.x - stars_[0].x, y = at_start.y - stars_[0].y;
  const Position d = drift(seconds);
  return {stars_[0].x + c * x - s * y + d.x, stars_[0].y + s * x + c * y + d.y};
}

SimSkyCamera::Position SimSkyCamera::galaxy_centre() const {
  return {stars_[0].x + kGalaxyRight, stars_[0].y + kGalaxyUp};
}

void SimSkyCamera::render_rates(double seconds) {
  const int32_t w = options_.width;
  const int32_t h = options_.height;
  if (options_.covered) {
    std::fill(rate_.begin(), rate_.end(), 0.0F);
    return;
  }
  if (options_.flat_light) {
    for (std::size_t i = 0; i < rate_.size(); ++i) rate_[i] = kFlatLightPerSecond * flat_[i];
    return;
  }
  std::fill(rate_.begin(), rate_.end(), kSkyPerSecond);

  for (const auto& star : stars_) {
    const Position at = sky_position({star.x, star.y}, seconds);
    const double px = wrap_into(at.x, w);
    const double py = wrap_into(at.y, h);
    int32_t ix = static_cast<int32_t>(std::floor(px));
    int32_t iy = static_cast<int32_t>(std::floor(py));
    int phase_x = static_cast<int>(std::lround((px - ix) * kPsfPhases));
    int phase_y = static_cast<int>(std::lround((py - iy) * kPsfPhases));
    if (phase_x == kPsfPhases) {
      phase_x = 0;
      ++ix;
    }
    if (phase_y == kPsfPhases) {
      phase_y = 0;
      ++iy;
    }
    const float* kx = &kernels_[phase_x * kPsfTaps];
    const float* ky = &kernels_[phase_y * kPsfTaps];
    for (int j = 0; j < kPsfTaps; ++j) {
      const int32_t y = (iy + j - kPsfRadius + h) % h;
      float* out_row = &rate_[static_cast<std::size_t>(y) * w];
      const float fy = star.flux * ky[j];
      for (int k = 0; k < kPsfTaps; ++k) {
        const int32_t x = (ix + k - kPsfRadius + w) % w;
        out_row[x] += fy * kx[k];
      }
    }
  }

  // The galaxy turns with the field: its axes by the same angle.
  const Position centre = sky_position(galaxy_centre(), seconds);
  const double angle =
      kGalaxyAngle + options_.rotation_deg_per_min * seconds / 60 * std::numbers::pi / 180;
  const double c = std::cos(angle), s = std::sin(angle);
  const auto gx = static_cast<int32_t>(std::lround(centre.x));
  const auto gy = static_cast<int32_t>(std::lround(centre.y));
  for (int32_t y = std::max(0, gy - kGalaxyReach); y <= std::min(h - 1, gy + kGalaxyReach); ++y) {
    for (int32_t x = std::max(0, gx - kGalaxyReach); x <= std::min(w - 1, gx + kGalaxyReach); ++x) {
      const double along = c * (x - centre.x) + s * (y - centre.y);
      const double across = (-s * (x - centre.x) + c * (y - centre.y)) / kGalaxyAxisRatio;
      rate_[static_cast<std::size_t>(y) * w + x] += static_cast<float>(
          kGalaxyPeakPerSecond * std::exp(-std::hypot(along, across) / kGalaxyScalePx));
    }
  }
}

std::vector<uint8_t> SimSkyCamera::render(const SimExposure& exposure) {
  const int32_t w = options_.width;
  const int32_t h = options_.height;
  const float long_seconds = std::max(wrap_sub(exposure.end_ms, exposure.start_ms), 0) / 1000.0F;
  const float glow_seconds = std::max(exposure.amplifier_ms, 0) / 1000.0F;
  const double mid =
      (exposure.start_ms + 0.5 * wrap_sub(exposure.end_ms, exposure.start_ms)) / 1000.0;
  render_rates(mid);

  const std::size_t stride = *row_stride_for(w, 24);
  std::vector<uint8_t> dib(
      kBitmapHeaderSize + stride * static_cast<std::size_t>(h) + kFrameTrailingBytes, 0);
  BitmapInfoHeader header;
  header.width = w;
  header.height = h;
  header.size_image = static_cast<uint32_t>(stride * static_cast<std::size_t>(h));
  write_bitmap_header(header, dib.data());

  uint64_t noise_state = options_.seed ^ (0xD1B54A32D192ED03ULL * ++frames_rendered_);
  for (int32_t y = 0; y < h; ++y) {
    const bool long_field = (y % 2) == 0;
    const float seconds = long_field ? long_seconds : kShortFieldSeconds;
    const float* rate_row = &rate_[static_cast<std::size_t>(y) * w];
    const float* dark_row = &dark_[static_cast<std::size_t>(y) * w];
    const float* glow_row = &glow_[static_cast<std::size_t>(y) * w];
    uint8_t* out = dib.data() + kBitmapHeaderSize + static_cast<std::size_t>(y) * stride;
    for (int32_t x = 0; x < w; ++x) {
      float signal = (rate_row[x] + dark_row[x]) * seconds;
      if (long_field) signal += glow_row[x] * glow_seconds;
      const float sigma = std::sqrt(kReadNoise * kReadNoise + signal / kElectronsPerAdu);
      const float gauss = gauss_table_[splitmix64(noise_state) & (kGaussTableSize - 1)];
      const float value = std::clamp(kPedestal + signal + sigma * gauss, 0.0F, 255.0F);
      const auto grey = static_cast<uint8_t>(static_cast<int>(value + 0.5F));
      out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = grey;
    }
  }
  return dib;
}

std::optional<std::vector<uint8_t>> SimSkyCamera::acquire() {
  const StillPress press = wait_for_still_press(windows_, clock_, pump_, options_.press_timeout_ms);
  if (press != StillPress::Pressed) {
    if (press == StillPress::TimedOut && log_) {
      log_(still_press_missed_text(name(), options_.press_timeout_ms));
    }
    return std::nullopt;
  }
  // Without a read-out the picture shows only what one video field collects.
  const int32_t now = camera_now();
  const SimExposure exposure = readout_.value_or(SimExposure{now, now, 0});
  readout_.reset();
  return render(exposure);
}

}  // namespace noctra
