#include "imaging/calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace noctra {
namespace {

// A grey frame from a function of (x, stored row).
template <typename F>
FrameImage grey_frame(int32_t w, int32_t h, F value) {
  FrameImage frame = *FrameImage::create(w, h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const auto v = static_cast<uint8_t>(std::clamp(std::lround(value(x, y)), 0L, 255L));
      frame.row(y)[3 * x] = frame.row(y)[3 * x + 1] = frame.row(y)[3 * x + 2] = v;
    }
  }
  return frame;
}

FloatPlanes grey_planes(int32_t w, int32_t h, float level) {
  FloatPlanes planes;
  planes.resize(w, h, 1);
  std::fill(planes.samples.begin(), planes.samples.end(), level);
  return planes;
}

MasterFrame master_of(MasterKind kind, FloatPlanes image, double seconds) {
  MasterFrame m;
  m.kind = kind;
  m.image = std::move(image);
  m.times = {seconds, seconds};
  m.frames_combined = 16;
  return m;
}

TEST(MasterCombiner, ClipsWhatOneFrameAloneShows) {
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0, 2);
  MasterCombiner combiner(MasterKind::Dark);
  for (int i = 0; i < 40; ++i) {  // two batches and a part
    FrameImage frame = grey_frame(32, 8, [&](int32_t x, int32_t) { return 50 + x + noise(rng); });
    // A satellite trail through one frame, a cosmic ray through another.
    if (i == 3) std::fill_n(frame.row(4), 32 * 3, uint8_t{250});
    if (i == 30) frame.row(2)[3 * 7] = frame.row(2)[3 * 7 + 1] = frame.row(2)[3 * 7 + 2] = 255;
    ASSERT_TRUE(combiner.add(frame, {2.0, 1.0}));
  }
  EXPECT_FALSE(combiner.add(*FrameImage::create(31, 8), {2, 1}));
  const MasterFrame master = *combiner.finish();
  EXPECT_EQ(master.frames_combined, 40);
  EXPECT_EQ(master.image.channels, 1);
  EXPECT_DOUBLE_EQ(master.times.integration_s, 2.0);
  EXPECT_DOUBLE_EQ(master.times.amplifier_s, 1.0);
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 32; ++x) EXPECT_NEAR(master.image.plane(0)[y * 32 + x], 50 + x, 1.2);
  }
  EXPECT_NEAR(master.noise, 2.0 / std::sqrt(40.0), 0.1);
}

TEST(MasterCombiner, KeepsThreeChannelsWhenAnyFrameHasColour) {
  MasterCombiner combiner(MasterKind::Flat);
  combiner.add(grey_frame(4, 4, [](int32_t, int32_t) { return 100.0; }), {1, 1});
  FrameImage colour = grey_frame(4, 4, [](int32_t, int32_t) { return 100.0; });
  colour.row(0)[2] = 160;  // red of the first pixel
  combiner.add(colour, {1, 1});
  const MasterFrame master = *combiner.finish();
  ASSERT_EQ(master.image.channels, 3);
  EXPECT_FLOAT_EQ(master.image.plane(2)[0], 130.0F);
  EXPECT_FLOAT_EQ(master.image.plane(0)[0], 100.0F);
}

TEST(MasterFlat, TakesOffItsDarkAndDividesByTheMean) {
  FloatPlanes flat = grey_planes(4, 2, 110);
  flat.plane(0)[0] = 60;
  const FloatPlanes dark = grey_planes(4, 2, 10);
  const auto master = make_master_flat(master_of(MasterKind::Flat, flat, 1), &dark);
  ASSERT_TRUE(master);
  EXPECT_FLOAT_EQ(master->image.plane(0)[0], 50.0F / 93.75F);
  EXPECT_FLOAT_EQ(master->image.plane(0)[1], 100.0F / 93.75F);
  EXPECT_FALSE(make_master_flat(master_of(MasterKind::Flat, dark, 1), &dark));  // nothing left
}

// After field selection a hot pixel shows on both rows of its pair; its
// neighbours in its own field are two rows away.
TEST(HotPixels, MapFindsTheDoubledPixelAndNotTheGlow) {
  std::mt19937 rng(2);
  std::normal_distribution<float> noise(0, 0.3F);
  FloatPlanes dark = grey_planes(64, 48, 0);
  for (int32_t y = 0; y < 48; y += 2) {
    for (int32_t x = 0; x < 64; ++x) {
      const float v = 12 + 40 * std::exp(-std::hypot(63.0F - x, 47.0F - y) / 50) + noise(rng);
      dark.plane(0)[y * 64 + x] = dark.plane(0)[(y + 1) * 64 + x] = v;
    }
  }
  dark.plane(0)[20 * 64 + 10] = dark.plane(0)[21 * 64 + 10] = 40;
  const auto hot = find_hot_pixels(dark, 2);
  ASSERT_EQ(hot.size(), 1U);
  EXPECT_EQ(hot[0], (std::vector<int32_t>{20 * 64 + 10, 21 * 64 + 10}));

  FloatPlanes light = dark;
  EXPECT_EQ(correct_hot_pixels(light, hot, 2), 2);
  const float around = dark.plane(0)[22 * 64 + 10];
  EXPECT_NEAR(light.plane(0)[20 * 64 + 10], around, 1.0);
  EXPECT_NEAR(light.plane(0)[21 * 64 + 10], around, 1.0);
}

TEST(HotPixels, LoneCorrectionTakesSinglePixelsAndLeavesStars) {
  struct Case {
    const char* name;
    float fwhm;  // 0: a single hot pixel
    float height;
    int32_t corrected;
  };
  for (const Case c :
       {Case{"hot pixel", 0, 60, 1}, Case{"hot pixel under 8 sigma", 0, 6, 0},
        Case{"star of 2.5 px", 2.5F, 200, 0}, Case{"star of 1.6 px", 1.6F, 200, 0}}) {
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0, 1);
    FloatPlanes image = grey_planes(40, 40, 0);
    const float s = c.fwhm / 2.3548F;
    for (int32_t y = 0; y < 40; ++y) {
      for (int32_t x = 0; x < 40; ++x) {
        const float r2 = float((x - 20) * (x - 20) + (y - 20) * (y - 20));
        const float peak = c.fwhm > 0 ? std::exp(-r2 / (2 * s * s)) : (r2 == 0 ? 1.0F : 0.0F);
        image.plane(0)[y * 40 + x] = 30 + c.height * peak + noise(rng);
      }
    }
    EXPECT_EQ(correct_lone_hot_pixels(image, {1.0}, 1), c.corrected) << c.name;
  }
  // A lone hot pixel in a field-selected frame is a pair of rows: only
  // neighbours two rows away see it stand alone.
  FloatPlanes doubled = grey_planes(40, 40, 30);
  doubled.plane(0)[20 * 40 + 10] = doubled.plane(0)[21 * 40 + 10] = 90;
  FloatPlanes one_row_apart = doubled;
  EXPECT_EQ(correct_lone_hot_pixels(one_row_apart, {1.0}, 1), 0);
  EXPECT_EQ(correct_lone_hot_pixels(doubled, {1.0}, 2), 2);
  EXPECT_EQ(doubled.plane(0)[21 * 40 + 10], 30.0F);
}

TEST(Calibrator, FitsKAndScalesByTheIntegrationTimes) {
  // Thermal signal with a glow and a pattern; the light took 1.3 times the
  // dark current the exposure ratio promises (a warmer night).
  std::mt19937 rng(4);
  std::normal_distribution<float> noise(0, 1);
  FloatPlanes bias = grey_planes(120, 96, 10), dark = bias;
  std::vector<float> thermal(dark.plane_size());
  for (int32_t y = 0; y < 96; ++y) {
    for (int32_t x = 0; x < 120; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * 120 + x;
      thermal[i] = 4 + 2 * noise(rng) + 60 * std::exp(-std::hypot(119.0F - x, 95.0F - y) / 25);
      dark.plane(0)[i] += thermal[i];
    }
  }
  const MasterFrame b = master_of(MasterKind::Bias, bias, 0.1),
                    d = master_of(MasterKind::Dark, dark, 5.1);
  const FrameImage light = grey_frame(120, 96, [&](int32_t x, int32_t y) {
    return 10 + 70 + 1.3 * 0.5 * thermal[y * 120 + x] + 2 * noise(rng);
  });
  const auto calibrator = Calibrator::prepare({&b, &d, nullptr}, 1);
  ASSERT_TRUE(calibrator);
  FloatPlanes out;
  const CalibrationReport fitted = calibrator->calibrate(light, {2.6, 2.6}, {}, out);
  EXPECT_NEAR(fitted.time_ratio, 0.5, 1e-12);
  EXPECT_NEAR(fitted.k, 1.3, 0.03);
  EXPECT_NEAR(fitted.unmodelled_glow_s, 0.0, 1e-12);
  EXPECT_LT(fitted.background_noise[0], 2.6);
  CalibrationOptions fixed;
  fixed.fixed_k = 1.0;
  const CalibrationReport at_ratio = calibrator->calibrate(light, {2.6, 2.6}, fixed, out);
  EXPECT_EQ(at_ratio.k, 1.0);
  EXPECT_GT(at_ratio.background_noise[0], fitted.background_noise[0]);
  // With switching the amplifier is on for the read-out only: an on-time
  // the master's rule does not predict is reported.
  EXPECT_NEAR(calibrator->calibrate(light, {2.6, 0.5}, fixed, out).unmodelled_glow_s, -2.1, 1e-9);
}

TEST(Calibrator, NeverAppliesMastersOfAnotherSize) {
  const MasterFrame dark = master_of(MasterKind::Dark, grey_planes(16, 8, 30), 1);
  const MasterFrame other = master_of(MasterKind::Flat, grey_planes(8, 8, 1), 1);
  std::string why;
  EXPECT_FALSE(Calibrator::prepare({nullptr, &dark, &other}, 1, &why));
  EXPECT_EQ(why, "the masters differ in size");
  const auto calibrator = Calibrator::prepare({nullptr, &dark, nullptr}, 1);
  FloatPlanes out;
  const FrameImage light = grey_frame(8, 8, [](int32_t, int32_t) { return 40.0; });
  EXPECT_FALSE(calibrator->calibrate(light, {1, 1}, {}, out).dark_applied);
  EXPECT_EQ(out.plane(0)[0], 40.0F);
  const FrameImage fits = grey_frame(16, 8, [](int32_t, int32_t) { return 40.0; });
  EXPECT_TRUE(calibrator->calibrate(fits, {1, 1}, {}, out).dark_applied);
  EXPECT_EQ(out.plane(0)[0], 10.0F);
}

// Frames one pixel wide or tall have neighbours on one side only.
TEST(Calibrator, HandlesFramesOfOnePixelWidthOrHeight) {
  for (const auto& [w, h] : {std::pair{1, 9}, std::pair{9, 1}, std::pair{1, 1}}) {
    FloatPlanes dark = grey_planes(w, h, 10);
    dark.plane(0)[0] = 200;
    const MasterFrame d = master_of(MasterKind::Dark, dark, 1);
    const auto calibrator = Calibrator::prepare({nullptr, &d, nullptr}, 2);
    FloatPlanes out;
    FrameImage light = grey_frame(w, h, [](int32_t, int32_t) { return 250.0; });
    calibrator->calibrate(light, {1, 1}, {}, out);
    EXPECT_EQ(out.plane(0)[w * h - 1], w * h > 1 ? 240.0F : 50.0F) << w << " x " << h;
    correct_hot_pixels_in_frame(light, calibrator->hot_pixels(), 2);
    ASSERT_TRUE(render_display_frame(out, light));
    EXPECT_EQ(light.row(h - 1)[3 * (w - 1)], w * h > 1 ? 240 : 50);
  }
}

}  // namespace
}  // namespace noctra
