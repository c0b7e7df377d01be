// The live stack on synthetic star fields with a known transform: the star
// list, the alignment's accuracy, the stack's quality and the frames it
// leaves out.

#include "imaging/stack_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "imaging/synthetic_sky.h"

namespace noctra {
namespace {

using test::moved;
using test::render_sky;
using test::SkyScene;

// The RMS distance, over the scene's stars, between where the found and the
// true transform put them.
double transform_error(const SkyScene& scene, const RigidTransform& found,
                       const RigidTransform& truth) {
  double sum = 0;
  for (const test::SkyStar& s : scene.stars) {
    double ax = 0, ay = 0, bx = 0, by = 0;
    found.to_frame(s.x, s.row, ax, ay);
    truth.to_frame(s.x, s.row, bx, by);
    sum += (ax - bx) * (ax - bx) + (ay - by) * (ay - by);
  }
  return std::sqrt(sum / static_cast<double>(scene.stars.size()));
}

TEST(StarList, FindsTheStarsBrightestFirstAndNoHotPixel) {
  SkyScene scene;
  scene.stars = test::scattered_stars(scene, 60, 15, 150, 3);
  PlaneBuffer planes;
  render_sky(scene, moved(scene, 0, 0, 0), 4, planes);
  for (const auto& [k, q] : {std::pair{100, 100}, {400, 300}, {650, 50}}) {
    planes.plane(0)[static_cast<std::size_t>(q) * 720 + k] = 255;
  }
  StarFinder finder;
  StarList list;
  finder.find(planes.view().planes[0], list);
  EXPECT_EQ(list.count, 60);
  EXPECT_EQ(list.miss, StarMiss::None);
  EXPECT_NEAR(list.background, 20, 0.5);
  EXPECT_NEAR(list.noise, 2, 0.3);
  EXPECT_NEAR(list.median_fwhm(), 2.3548 * scene.sigma, 0.15);
  for (int i = 1; i < list.count; ++i) EXPECT_GE(list.stars[i - 1].flux, list.stars[i].flux);
  // Each one of the scene's stars, none twice.
  for (const test::SkyStar& s : scene.stars) {
    int near = 0;
    for (int i = 0; i < list.count; ++i) {
      near += std::hypot(list.stars[i].x - s.x, list.stars[i].row - s.row) < 0.5;
    }
    EXPECT_EQ(near, 1) << s.x << ", " << s.row;
  }
  // A capacity keeps the brightest.
  finder.find(planes.view().planes[0], list, 10);
  EXPECT_EQ(list.count, 10);
}

// Synthetic frames with a known shift and rotation; the error of the found
// transform at the stars, averaged over the skies (each star's centre is
// moved by the noise alone by about 0.8 / SNR px per axis, in both frames).
TEST(StarAlign, RecoversShiftAndRotation) {
  struct Case {
    const char* name;
    int stars;
    double snr_low, snr_high;
    double dx, dy, degrees;
    bool predicted;  // the prediction is near the truth; else it is no move at all
    double limit;    // px RMS at the stars
    AlignMethod method;
  };
  const Case cases[] = {
      {"30 stars, drift and rotation predicted", 30, 20, 200, 23.5, -17.2, 1.0, true, 0.05,
       AlignMethod::Prediction},
      {"30 stars searched by triangles", 30, 20, 200, 41.3, 28.9, -0.8, false, 0.05,
       AlignMethod::Triangles},
      {"200 stars searched by triangles", 200, 10, 200, -28.2, 35.0, 0.6, false, 0.05,
       AlignMethod::Triangles},
      {"5 stars of SNR 20 to 40", 5, 20, 40, -35.6, 12.4, 0.7, false, 0.05, AlignMethod::Triangles},
      {"2 stars", 2, 20, 40, 18.3, -25.1, 0.9, false, 0.1, AlignMethod::Pair},
      {"1 star: a shift with the predicted rotation", 1, 30, 30, 12.2, 8.7, 0.3, true, 0.1,
       AlignMethod::Single},
  };
  constexpr int kSkies = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double mean_error = 0;
    for (int sky = 0; sky < kSkies; ++sky) {
      SkyScene scene;
      scene.stars = test::scattered_stars(scene, c.stars, c.snr_low, c.snr_high, 10 + sky, 90);
      const RigidTransform truth = moved(scene, c.dx, c.dy, c.degrees);
      PlaneBuffer ref_planes, frame_planes;
      render_sky(scene, moved(scene, 0, 0, 0), 100 + sky, ref_planes);
      render_sky(scene, truth, 200 + sky, frame_planes);
      StarFinder finder;
      StarList ref, frame;
      finder.find(ref_planes.view().planes[0], ref);
      finder.find(frame_planes.view().planes[0], frame);
      ASSERT_EQ(ref.count, c.stars);
      const RigidTransform prediction =
          c.predicted ? moved(scene, c.dx + 1.2, c.dy - 0.9, c.degrees) : moved(scene, 0, 0, 0);
      const Alignment a = align_stars(ref, frame, prediction);
      ASSERT_TRUE(a.found) << "sky " << sky;
      EXPECT_EQ(a.method, c.method) << "sky " << sky;
      EXPECT_EQ(a.matched, c.stars);
      mean_error += transform_error(scene, a.transform, truth) / kSkies;
    }
    std::printf("%-45s error %.4f px RMS at the stars (limit %.2f)\n", c.name, mean_error, c.limit);
    EXPECT_LE(mean_error, c.limit);
  }
}

// Sixteen frames drifting tens of pixels and turning a little, two of them
// crossed by a satellite (one among the first four, which the running
// sigma alone could not yet judge).
TEST(StackEngine, SixteenFramesSharpQuietAndWithoutTrails) {
  SkyScene scene;
  scene.stars = test::scattered_stars(scene, 80, 10, 150, 21, 60);
  constexpr int kFrames = 16;
  const std::array<int, 2> trailed{2, 9};
  StackEngine engine;
  PlaneBuffer planes;
  StarFinder finder;
  StarList single;
  double single_fwhm = 0, single_noise = 0;
  std::vector<float> trail(static_cast<std::size_t>(scene.width) * scene.height);
  for (int i = 0; i < kFrames; ++i) {
    const RigidTransform truth = moved(scene, 2.3 * i, -1.7 * i, 0.04 * i);
    std::fill(trail.begin(), trail.end(), 0.0F);
    const bool crossed = std::find(trailed.begin(), trailed.end(), i) != trailed.end();
    if (crossed) {
      // A line 2 px wide at 60 ADU from the bottom left to the top right.
      for (int32_t k = 0; k < scene.width; ++k) {
        const double row = 40 + 0.6 * k;
        for (int32_t q = static_cast<int32_t>(row) - 1; q <= static_cast<int32_t>(row) + 1; ++q) {
          if (q >= 0 && q < scene.height) trail[static_cast<std::size_t>(q) * scene.width + k] = 60;
        }
      }
    }
    render_sky(scene, truth, 500 + i, planes, true, &trail);
    if (!crossed) {
      finder.find(planes.view().planes[0], single);
      single_fwhm += single.median_fwhm() / (kFrames - 2);
      single_noise += single.noise / (kFrames - 2);
    }
    const StackFrameReport report = engine.add(planes.view(), i);
    EXPECT_TRUE(stacked(report.verdict)) << i << " " << frame_verdict_text(report.verdict);
    EXPECT_LT(transform_error(scene, report.transform, truth), 0.05) << i;
  }
  ASSERT_EQ(engine.stacked_frames(), kFrames);
  StarList stacked_stars;
  finder.find(engine.picture().planes[0], stacked_stars);
  const double fwhm_ratio = stacked_stars.median_fwhm() / single_fwhm;
  const double noise_ratio = stacked_stars.noise / (single_noise / std::sqrt(double{kFrames}));
  // Along the trail of frame 9, carried onto the reference grid.
  const float* mean = engine.accumulator().mean(0);
  double trail_light = 0;
  int trail_points = 0;
  const RigidTransform ninth = moved(scene, 2.3 * 9, -1.7 * 9, 0.04 * 9);
  for (int32_t k = 60; k < scene.width - 60; k += 3) {
    double x = 0, row = 0;
    ninth.to_reference(k, 40 + 0.6 * k, x, row);
    if (row < 20 || row > scene.height - 20) continue;
    trail_light += mean[static_cast<std::size_t>(std::lround(row)) * scene.width + std::lround(x)] -
                   stacked_stars.background;
    ++trail_points;
  }
  trail_light /= trail_points;
  std::printf(
      "16 frames: star FWHM %.3f x a single frame's, background noise %.3f x single/sqrt(16), "
      "trail %.3f ADU (one frame's share would be %.2f)\n",
      fwhm_ratio, noise_ratio, trail_light, 60.0 / kFrames);
  EXPECT_LE(fwhm_ratio, 1.1);
  EXPECT_LE(noise_ratio, 1.05);
  EXPECT_LT(std::abs(trail_light), 0.3);
  EXPECT_GT(engine.accumulator().rejected_values(), 2 * 500);
}

// Frames the stack leaves out, each with its reason, in one night's order;
// the stack goes on after each of them.
TEST(StackEngine, LeavesOutFramesWithTheirReasons) {
  enum Kind { kSky, kBlack, kWhite, kSmaller, kBlurred, kOtherField, kScaled };
  struct Step {
    const char* name;
    Kind kind;
    double dx, dy, degrees;
    FrameVerdict verdict;
  };
  const Step steps[] = {
      {"the first frame", kSky, 0, 0, 0, FrameVerdict::Reference},
      {"drifting", kSky, 1, 0.5, 0.02, FrameVerdict::Accepted},
      {"drifting on", kSky, 2, 1, 0.04, FrameVerdict::Accepted},
      {"all black", kBlack, 0, 0, 0, FrameVerdict::NoStars},
      {"all white", kWhite, 0, 0, 0, FrameVerdict::NoStars},
      {"another size", kSmaller, 3, 1.5, 0.06, FrameVerdict::Size},
      {"wind: the stars twice as wide", kBlurred, 3, 1.5, 0.06, FrameVerdict::Fwhm},
      {"another part of the sky", kOtherField, 3, 1.5, 0.06, FrameVerdict::TooFewMatched},
      {"the field 1 % larger: no shift and turn fits it", kScaled, 3, 1.5, 0.06,
       FrameVerdict::Residual},
      {"back to the drift", kSky, 4, 2, 0.08, FrameVerdict::Accepted},
      {"the mount knocked 60 px", kSky, 64, 2, 0.08, FrameVerdict::Jump},
      {"still there", kSky, 65, 2.5, 0.1, FrameVerdict::Jump},
      {"still there: followed", kSky, 66, 3, 0.12, FrameVerdict::Accepted},
      {"drifting from there", kSky, 67, 3.5, 0.14, FrameVerdict::Accepted},
  };
  SkyScene scene;
  scene.stars = test::scattered_stars(scene, 60, 15, 150, 31, 100);
  StackEngine engine;
  PlaneBuffer planes;
  int64_t number = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    SkyScene shown = scene;
    if (step.kind == kBlack || step.kind == kWhite) {
      shown.stars.clear();
      shown.noise = 0;
      shown.background = step.kind == kBlack ? 0 : 255;
    } else if (step.kind == kSmaller) {
      shown.width = 640;
      shown.height = 480;
    } else if (step.kind == kBlurred) {
      shown.sigma *= 2;
      for (test::SkyStar& s : shown.stars) s.flux *= 4;
    } else if (step.kind == kOtherField) {
      shown.stars = test::scattered_stars(scene, 60, 15, 150, 32, 100);
    } else if (step.kind == kScaled) {
      for (test::SkyStar& s : shown.stars) {
        s.x = 359.5 + 1.01 * (s.x - 359.5);
        s.row = 287.5 + 1.01 * (s.row - 287.5);
      }
    }
    render_sky(shown, moved(shown, step.dx, step.dy, step.degrees), 700 + number, planes);
    const StackFrameReport report = engine.add(planes.view(), number++);
    EXPECT_EQ(report.verdict, step.verdict) << frame_verdict_text(report.verdict);
  }
  EXPECT_EQ(engine.stacked_frames(), 6);
  EXPECT_EQ(engine.rejected_frames(), 8);
  engine.reset();
  render_sky(scene, moved(scene, 5, 5, 0), 900, planes);
  EXPECT_EQ(engine.add(planes.view(), number).verdict, FrameVerdict::Reference);
  EXPECT_EQ(engine.stacked_frames(), 1);
}

// Colour frames stack three channels, each on its own; a grey frame after
// them does not fit the stack.
TEST(StackEngine, ColourFramesStackThreeChannels) {
  SkyScene scene;
  scene.width = 320;
  scene.height = 240;
  scene.stars = test::scattered_stars(scene, 30, 20, 150, 41, 30);
  StackEngine engine;
  for (int i = 0; i < 3; ++i) {
    FrameImage frame = test::sky_frame(scene, moved(scene, 1.5 * i, 0.5 * i, 0), 60 + i);
    for (int32_t q = 0; q < frame.height(); ++q) {
      uint8_t* p = frame.row(q);
      for (int32_t k = 0; k < frame.width(); ++k, p += 3) {
        p[1] = static_cast<uint8_t>(p[0] * 3 / 4);  // green
        p[2] = static_cast<uint8_t>(p[0] / 2);      // red
      }
    }
    EXPECT_TRUE(stacked(engine.add(frame, i).verdict)) << i;
  }
  const PlaneFrame picture = engine.picture();
  ASSERT_EQ(picture.channels, 3);
  double blue = 0, green = 0, red = 0;
  for (int32_t k = 0; k < picture.width; ++k) {
    blue += picture.planes[0].row(120)[k];
    green += picture.planes[1].row(120)[k];
    red += picture.planes[2].row(120)[k];
  }
  EXPECT_NEAR(green / blue, 0.75, 0.03);
  EXPECT_NEAR(red / blue, 0.5, 0.03);
  EXPECT_EQ(engine.add(test::sky_frame(scene, moved(scene, 5, 2, 0), 70), 3).verdict,
            FrameVerdict::Size);
}

}  // namespace
}  // namespace noctra
