// Calibration against the simulated camera, exposures driven through its
// port: amplifier switching off (the amplifier is on the whole exposure), a
// 10 s light frame, 16-frame masters, every frame field-selected as the
// sequencer does.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "camera_fakes.h"
#include "imaging/calibration.h"
#include "imaging/field_selection.h"

namespace noctra {
namespace {

using test::SkyRig;

constexpr int kMasterFrames = 16;
constexpr int32_t kRowStep = 2;  // the long field's rows are doubled

struct Shot {
  FrameImage frame;
  ExposureTimes times;
};

// The simulated camera with a note of each exposure's clocks as it is read out.
struct TimedRig : SkyRig {
  SimExposure seen;
  explicit TimedRig(SimSkyOptions options = {}) : SkyRig(options) {
    device.add_listener([this](uint8_t) {
      if (camera->last_readout()) seen = *camera->last_readout();
    });
  }
};

// One exposure of `ms`, field-selected, with the clocks the camera saw.
Shot expose(TimedRig& rig, int32_t ms) {
  rig.port.exposure_start_sequence();
  rig.clock.advance(ms);
  FrameHolder holder = rig.grab_holder(TriggerCode::Main);
  select_field(holder);
  return {std::move(*holder),
          {(rig.seen.end_ms - rig.seen.start_ms) / 1000.0, rig.seen.amplifier_ms / 1000.0}};
}

MasterFrame master_of(TimedRig& rig, MasterKind kind, int32_t ms) {
  MasterCombiner combiner(kind);
  for (int i = 0; i < kMasterFrames; ++i) {
    Shot shot = expose(rig, ms);
    EXPECT_TRUE(combiner.add(shot.frame, shot.times));
  }
  return *combiner.finish();
}

// The glow corner (top right, 40 x 40) above the frame's median, in a
// picture's difference from the perfect sensor's (which takes off the stars
// that happen to be there). Pixels that saturated in the light frame (a star
// on the glow) are left out: nothing can bring them back.
double corner_excess(const FloatPlanes& image, const FloatPlanes& perfect,
                     const FrameImage& light) {
  std::vector<float> difference(image.plane_size());
  for (std::size_t i = 0; i < difference.size(); ++i)
    difference[i] = image.plane(0)[i] - perfect.plane(0)[i];
  double sum = 0;
  int n = 0;
  for (int32_t y = image.height - 40; y < image.height; ++y) {
    for (int32_t x = image.width - 40; x < image.width; ++x) {
      if (light.row(y)[3 * x] == 255) continue;
      sum += difference[static_cast<std::size_t>(y) * image.width + x];
      ++n;
    }
  }
  std::nth_element(difference.begin(), difference.begin() + difference.size() / 2,
                   difference.end());
  return sum / n - difference[difference.size() / 2];
}

class SimCalibration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig_ = std::make_unique<TimedRig>();
    rig_->camera->set_covered(true);
    bias_ = std::make_unique<MasterFrame>(master_of(*rig_, MasterKind::Bias, 0));
    dark_ = std::make_unique<MasterFrame>(master_of(*rig_, MasterKind::Dark, 10000));
    short_dark_ = std::make_unique<MasterFrame>(master_of(*rig_, MasterKind::Dark, 5000));
    rig_->camera->set_covered(false);
    light_ = std::make_unique<Shot>(expose(*rig_, 10000));
    // The same sky at the same moment through a sensor without dark signal.
    TimedRig perfect(SimSkyOptions{.dark_signal = false});
    perfect.clock.advance(rig_->clock.now_ms() - perfect.clock.now_ms() - 10050);
    const Shot reference = expose(perfect, 10000);
    reference_ = std::make_unique<FloatPlanes>();
    frame_to_planes(reference.frame, *reference_);
  }
  static void TearDownTestSuite() {
    rig_.reset();
    light_.reset();
  }

  static CalibrationReport calibrate(const MasterFrame& dark, FloatPlanes& out) {
    auto calibrator = Calibrator::prepare({bias_.get(), &dark, nullptr}, kRowStep);
    EXPECT_TRUE(calibrator);
    return calibrator->calibrate(light_->frame, light_->times, {}, out);
  }

  static inline std::unique_ptr<TimedRig> rig_;
  static inline std::unique_ptr<MasterFrame> bias_, dark_, short_dark_;
  static inline std::unique_ptr<Shot> light_;
  static inline std::unique_ptr<FloatPlanes> reference_;
};

TEST_F(SimCalibration, GlowCornerIsFlatAfterCalibration) {
  FloatPlanes raw, calibrated;
  frame_to_planes(light_->frame, raw);
  EXPECT_GT(corner_excess(raw, *reference_, light_->frame), 20.0);
  const CalibrationReport report = calibrate(*dark_, calibrated);
  EXPECT_NEAR(corner_excess(calibrated, *reference_, light_->frame), 0.0, 0.5) << "k " << report.k;
  EXPECT_NEAR(report.time_ratio, 1.0, 1e-9);
  EXPECT_NEAR(report.unmodelled_glow_s, 0.0, 1e-9);
}

TEST_F(SimCalibration, ADarkOfAnotherExposureIsScaled) {
  FloatPlanes calibrated;
  const CalibrationReport report = calibrate(*short_dark_, calibrated);
  EXPECT_NEAR(report.time_ratio, 2.0, 0.01);
  EXPECT_NEAR(corner_excess(calibrated, *reference_, light_->frame), 0.0, 1.0) << "k " << report.k;
}

TEST_F(SimCalibration, HotPixelsGoAndTheNoiseStaysNearAPerfectSensors) {
  FloatPlanes calibrated;
  const CalibrationReport report = calibrate(*dark_, calibrated);
  const double sigma = background_noise(*reference_, 0);
  EXPECT_LE(report.background_noise[0], 1.1 * sigma);
  // The hot pixels of the long field (the short field's were dropped).
  int hot = 0, gone = 0;
  for (const auto& p : rig_->camera->hot_pixel_positions()) {
    if (p.y % 2 != 0) continue;
    ++hot;
    const std::size_t i = static_cast<std::size_t>(p.y) * calibrated.width + p.x;
    EXPECT_GT(light_->frame.row(p.y)[3 * p.x] - reference_->plane(0)[i], 5 * sigma);
    if (std::abs(calibrated.plane(0)[i] - reference_->plane(0)[i]) < 5 * sigma) ++gone;
  }
  ASSERT_GT(hot, 10);
  EXPECT_GE(gone, 0.99 * hot) << gone << " of " << hot;
  EXPECT_GE(report.hot_pixels_corrected, 2 * hot);
}

// The flat light through the optics: darker corners, which the master flat
// evens out in a frame taken with the same light.
TEST_F(SimCalibration, TheFlatLightsMasterEvensOutTheVignetting) {
  rig_->camera->set_flat_light(true);
  const MasterFrame combined = master_of(*rig_, MasterKind::Flat, 1000);
  const Shot lit = expose(*rig_, 1000);
  rig_->camera->set_flat_light(false);
  const auto flat = make_master_flat(combined, &bias_->image);
  ASSERT_TRUE(flat);
  const auto mean_at = [](const FloatPlanes& image, int32_t x0, int32_t y0) {
    double sum = 0;
    for (int32_t y = y0; y < y0 + 20; ++y) {
      for (int32_t x = x0; x < x0 + 20; ++x) sum += image.plane(0)[y * image.width + x];
    }
    return sum / 400;
  };
  EXPECT_NEAR(mean_at(flat->image, 0, 0) / mean_at(flat->image, 310, 230), 0.7, 0.05);
  auto calibrator = Calibrator::prepare({bias_.get(), nullptr, &*flat}, kRowStep);
  FloatPlanes calibrated;
  calibrator->calibrate(lit.frame, lit.times, {}, calibrated);
  EXPECT_NEAR(mean_at(calibrated, 0, 0) / mean_at(calibrated, 310, 230), 1.0, 0.02);
}

}  // namespace
}  // namespace noctra
