#pragma once
// Star fields with a known transform, for the live stack's tests, its
// benchmark and its fuzz seeds: Gaussian stars integrated over each pixel's
// square, a flat sky, seeded Gaussian noise, optionally rounded to 8 bits.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "imaging/frame_image.h"
#include "imaging/plane_frame.h"
#include "imaging/star_align.h"

namespace noctra::test {

struct SkyStar {
  double x = 0;    // column on the reference grid
  double row = 0;  // stored row on the reference grid
  double flux = 0;
};

struct SkyScene {
  int32_t width = 720;
  int32_t height = 576;
  double background = 20;
  double noise = 2;
  double sigma = 1.1;  // FWHM 2.6 px
  std::vector<SkyStar> stars;
};

// The flux that gives a star of that sigma a peak of snr x noise.
inline double flux_for_peak(double sigma, double noise, double snr) {
  return snr * noise * 2 * M_PI * sigma * sigma;
}

// `count` stars spread over the middle of the grid (a margin of `margin`
// px) at least 8 px apart, with peaks from snr_low to snr_high times the
// noise.
inline std::vector<SkyStar> scattered_stars(const SkyScene& scene, int count, double snr_low,
                                            double snr_high, uint32_t seed, double margin = 40) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<double> across(margin, scene.width - 1 - margin),
      up(margin, scene.height - 1 - margin), unit(0, 1);
  std::vector<SkyStar> stars;
  while (static_cast<int>(stars.size()) < count) {
    const double snr = snr_low * std::pow(snr_high / snr_low, unit(generator));
    const SkyStar star{across(generator), up(generator),
                       flux_for_peak(scene.sigma, scene.noise, snr)};
    if (std::none_of(stars.begin(), stars.end(), [&](const SkyStar& s) {
          return std::hypot(s.x - star.x, s.row - star.row) < 8;
        })) {
      stars.push_back(star);
    }
  }
  return stars;
}

// The scene as a frame sees it: each star moved by reference-to-frame,
// plus the extra light (a trail, say) in `extra` when given.
inline void render_sky(const SkyScene& scene, const RigidTransform& to_frame, uint32_t seed,
                       PlaneBuffer& out, bool quantise = true,
                       const std::vector<float>* extra = nullptr) {
  out.shape(scene.width, scene.height, 1);
  float* plane = out.plane(0);
  std::fill(plane, plane + out.plane_size(), static_cast<float>(scene.background));
  const double r = 1 / (scene.sigma * std::sqrt(2.0));
  const int32_t reach = static_cast<int32_t>(std::ceil(5 * scene.sigma)) + 1;
  for (const SkyStar& s : scene.stars) {
    double x = 0, row = 0;
    to_frame.to_frame(s.x, s.row, x, row);
    const int32_t k0 = static_cast<int32_t>(std::floor(x)),
                  q0 = static_cast<int32_t>(std::floor(row));
    std::vector<double> along(2 * static_cast<std::size_t>(reach) + 1);
    for (int32_t i = -reach; i <= reach; ++i) {
      const int32_t k = k0 + i;
      along[static_cast<std::size_t>(i + reach)] =
          0.5 * (std::erf((k + 0.5 - x) * r) - std::erf((k - 0.5 - x) * r));
    }
    for (int32_t j = -reach; j <= reach; ++j) {
      const int32_t q = q0 + j;
      if (q < 0 || q >= scene.height) continue;
      const double up =
          s.flux * 0.5 * (std::erf((q + 0.5 - row) * r) - std::erf((q - 0.5 - row) * r));
      for (int32_t i = -reach; i <= reach; ++i) {
        const int32_t k = k0 + i;
        if (k < 0 || k >= scene.width) continue;
        plane[static_cast<std::size_t>(q) * static_cast<std::size_t>(scene.width) +
              static_cast<std::size_t>(k)] +=
            static_cast<float>(up * along[static_cast<std::size_t>(i + reach)]);
      }
    }
  }
  std::mt19937 generator(seed);
  std::normal_distribution<float> noise(0.0F, static_cast<float>(scene.noise));
  for (std::size_t i = 0; i < out.plane_size(); ++i) {
    float v = plane[i] + noise(generator) + (extra ? (*extra)[i] : 0.0F);
    if (quantise) v = std::clamp(std::round(v), 0.0F, 255.0F);
    plane[i] = v;
  }
}

// The same as an 8-bit grey frame.
inline FrameImage sky_frame(const SkyScene& scene, const RigidTransform& to_frame, uint32_t seed) {
  PlaneBuffer planes;
  render_sky(scene, to_frame, seed, planes);
  FrameImage frame = *FrameImage::create(scene.width, scene.height);
  for (int32_t q = 0; q < scene.height; ++q) {
    uint8_t* bytes = frame.row(q);
    for (int32_t k = 0; k < scene.width; ++k) {
      const auto v =
          static_cast<uint8_t>(planes.plane(0)[static_cast<std::size_t>(q) * scene.width + k]);
      bytes[3 * k] = bytes[3 * k + 1] = bytes[3 * k + 2] = v;
    }
  }
  return frame;
}

// A transform about the grid's centre.
inline RigidTransform moved(const SkyScene& scene, double dx, double dy, double degrees) {
  RigidTransform t;
  t.cx = (scene.width - 1) / 2.0;
  t.cy = (scene.height - 1) / 2.0;
  t.dx = dx;
  t.dy = dy;
  t.rotation = degrees * M_PI / 180;
  return t;
}

}  // namespace noctra::test
