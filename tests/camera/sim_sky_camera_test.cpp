#include "camera/sim_sky_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "camera_fakes.h"
#include "imaging/field_selection.h"
#include "imaging/stack_engine.h"

namespace noctra {
namespace {

using test::FakeClock;
using test::FakePump;
using test::LogLines;
using test::SkyRig;

struct FieldSums {
  int32_t even = 0;
  int32_t odd = 0;
};

// The brightness patch the field selection compares: stored rows 20..79,
// pixels 10..39, blue bytes.
FieldSums patch_sums(const FrameImage& f) {
  FieldSums sums;
  for (int k = 0; k < 30; ++k) {
    for (int s = 0; s < 30; ++s) {
      sums.even += f.row(20 + 2 * k)[3 * (10 + s)];
      sums.odd += f.row(21 + 2 * k)[3 * (10 + s)];
    }
  }
  return sums;
}

// Mean of the blue bytes of one field over a rectangle of the frame.
double field_mean(const FrameImage& f, int parity, int x0, int y0, int x1, int y1) {
  double sum = 0;
  int n = 0;
  for (int y = y0; y < y1; ++y) {
    if (y % 2 != parity) continue;
    for (int x = x0; x < x1; ++x, ++n) sum += f.row(y)[3 * x];
  }
  return sum / n;
}

// The centre of light of the long field around a point, sky taken off.
SimSkyCamera::Position centroid(const FrameImage& f, double cx, double cy, int radius = 8) {
  double sx = 0, sy = 0, s = 0;
  for (int y = int(cy) - radius; y <= int(cy) + radius; ++y) {
    if (y % 2 != 0 || y < 0 || y >= f.height()) continue;
    for (int x = int(cx) - radius; x <= int(cx) + radius; ++x) {
      if (x < 0 || x >= f.width()) continue;
      const double v = std::max(0, f.row(y)[3 * x] - 30);
      sx += v * x;
      sy += v * y;
      s += v;
    }
  }
  return {sx / s, sy / s};
}

TEST(SimSkyCamera, LongerExposureGivesABrighterLongField) {
  SkyRig rig;
  const FrameImage short_frame = rig.expose(500);
  const FrameImage long_frame = rig.expose(4000);
  const FieldSums a = patch_sums(short_frame);
  const FieldSums b = patch_sums(long_frame);
  // Sky of 8 ADU/s over 900 samples: 3.5 s more light is about 25,000.
  EXPECT_GT(b.even - a.even, 15000);
  EXPECT_NEAR(b.odd, a.odd, 2000);
  // Field selection keeps the even (long) field in both.
  EXPECT_GT(a.even, a.odd);
  EXPECT_GT(b.even, b.odd);
  EXPECT_TRUE(rig.log.lines.empty());
}

TEST(SimSkyCamera, FrameHoldsLightUpToTheTriggerWriteAndNoneAfter) {
  // Both rigs write the trigger code after 2 s of exposure; the button of the
  // prompt one is pressed on the next tick, the late one's 5 s later.
  auto grab_pressed_after = [](SkyRig& rig, int ticks) {
    rig.port.exposure_start_sequence();
    rig.clock.advance(2000);
    rig.port.amplifier_on();
    rig.port.write_trigger_code(TriggerCode::Main);
    rig.pump.on_tick = [&rig, ticks, n = 0]() mutable {
      if (++n != ticks) return;
      if (auto press = rig.windows.find_capture_button()) (*press)();
    };
    FrameHolder holder;
    rig.acquisition.acquire_frame(holder, TriggerCode::Main);
    EXPECT_TRUE(holder.has_value());
    return patch_sums(*holder);
  };
  SkyRig prompt_rig, late_rig;
  const FieldSums p = grab_pressed_after(prompt_rig, 1);
  const FieldSums l = grab_pressed_after(late_rig, 100);
  EXPECT_NEAR(l.even, p.even, 1500);  // noise only; 5 s more would add ~36,000
  EXPECT_GT(p.even, p.odd + 10000);   // and the 2 s are there
}

TEST(SimSkyCamera, AmplifierOffLowersTheCornerGlow) {
  SkyRig on_rig, off_rig;
  on_rig.port.exposure_start_sequence();
  off_rig.port.exposure_start_sequence();
  off_rig.port.amplifier_off();
  on_rig.clock.advance(3000);
  off_rig.clock.advance(3000);
  const FrameImage on = on_rig.grab(TriggerCode::Main);
  const FrameImage off = off_rig.grab(TriggerCode::Main);
  // Top-right corner of the picture: the last columns and stored rows.
  const double corner_on = field_mean(on, 0, 600, 440, 640, 480);
  const double corner_off = field_mean(off, 0, 600, 440, 640, 480);
  const double far_on = field_mean(on, 0, 100, 100, 200, 200);
  const double far_off = field_mean(off, 0, 100, 100, 200, 200);
  EXPECT_GT(corner_on - corner_off, 10.0);  // about 17 ADU after 3 s
  EXPECT_NEAR(far_on, far_off, 3.0);        // the glow falls off well before here
}

TEST(SimSkyCamera, GuideStarDriftsBetweenGuideFrames) {
  SkyRig rig;
  rig.port.exposure_start_sequence();
  rig.clock.advance(500);
  const FrameImage first = rig.grab(TriggerCode::Guide);
  const auto expected_first = rig.camera->guide_star_position(500 - 250);
  rig.port.guide_start_sequence();
  rig.clock.advance(20000);
  rig.port.guide_start_sequence();
  rig.clock.advance(500);
  const FrameImage second = rig.grab(TriggerCode::Guide);
  const auto expected_second = rig.camera->guide_star_position(20550 + 250);

  const auto a = centroid(first, expected_first.x, expected_first.y);
  const auto b = centroid(second, expected_second.x, expected_second.y);
  EXPECT_NEAR(a.x, expected_first.x, 1.0);
  EXPECT_NEAR(b.x, expected_second.x, 1.0);
  const double moved = std::hypot(b.x - a.x, b.y - a.y);
  EXPECT_GT(moved, 3.0);  // 0.3 px/s for 20 s, give or take the wobble
  EXPECT_LT(moved, 15.0);
}

TEST(SimSkyCamera, PortDecoding) {
  SkyRig rig;
  rig.port.exposure_start_sequence();
  EXPECT_TRUE(rig.camera->main_exposing());
  EXPECT_TRUE(rig.camera->guide_exposing());
  rig.clock.advance(300);
  rig.port.write_trigger_code(TriggerCode::Guide);
  EXPECT_TRUE(rig.camera->main_exposing()) << "0x35 must not end the main exposure";
  EXPECT_FALSE(rig.camera->guide_exposing());
  ASSERT_TRUE(rig.camera->last_readout().has_value());
  EXPECT_EQ(rig.camera->last_readout()->end_ms - rig.camera->last_readout()->start_ms, 300);

  rig.port.guide_start_sequence();
  EXPECT_TRUE(rig.camera->guide_exposing());
  rig.clock.advance(200);
  rig.port.amplifier_off();
  rig.clock.advance(700);
  rig.port.amplifier_on();
  rig.clock.advance(100);
  rig.port.write_trigger_code(TriggerCode::Main);
  EXPECT_FALSE(rig.camera->main_exposing());
  const SimExposure main = *rig.camera->last_readout();
  EXPECT_EQ(main.end_ms - main.start_ms, 1300);
  EXPECT_EQ(main.amplifier_ms, 600);  // 300 + 200 + 100 with the line on
}

TEST(SimSkyCamera, SameSeedSameSkyOtherSeedOtherSky) {
  FakeClock clock;
  FakePump pump(clock);
  StillWindowRegistry windows;
  SimSkyCamera a(clock, pump, windows, nullptr, {.seed = 7});
  SimSkyCamera b(clock, pump, windows, nullptr, {.seed = 7});
  SimSkyCamera c(clock, pump, windows, nullptr, {.seed = 8});
  const SimExposure e{0, 2000, 0};
  const auto fa = a.render(e);
  EXPECT_EQ(fa, b.render(e));
  EXPECT_NE(fa, c.render(e));
  // Saturation, never wrap-around: a very long exposure pins at 255.
  auto frame = copy_delivered_image(a.render({0, 600000, 0}));
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(patch_sums(*frame).even, 255 * 900);
}

TEST(SimSkyCamera, UnpressedRequestTimesOutWithOneLogLine) {
  FakeClock clock;
  FakePump pump(clock);
  StillWindowRegistry windows;
  LogLines log;
  SimSkyCamera camera(clock, pump, windows, log.sink(), {.press_timeout_ms = 1000});
  EXPECT_FALSE(camera.acquire().has_value());
  EXPECT_EQ(log.lines.size(), 1U);
  EXPECT_EQ(windows.open_count(), 0U);
}

TEST(SimSkyCamera, FrameSizeIsTheSizeOfTheFramesItRenders) {
  FakeClock clock;
  FakePump pump(clock);
  StillWindowRegistry windows;
  SimSkyCamera camera(clock, pump, windows, nullptr, {.width = 320, .height = 250});
  EXPECT_EQ(camera.frame_size(), (FrameSize{320, 250}));
  auto frame = copy_delivered_image(camera.render({0, 1000, 0}));
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ((FrameSize{frame->width(), frame->height()}), camera.frame_size());
}

}  // namespace
}  // namespace noctra

namespace noctra {
namespace {

// A rendered picture as a frame, the long field's rows doubled as the
// program keeps them.
FrameImage main_frame_of(const std::vector<uint8_t>& dib) {
  FrameHolder frame = FrameImage::from_header(dib.data());
  std::memcpy(frame->pixels(), dib.data() + kBitmapHeaderSize, frame->rows_size());
  select_field(frame);
  return std::move(*frame);
}

// The median of the long field's pixels in a rectangle, the noise's
// standard deviation about it.
std::pair<double, double> field_median(const FrameImage& f, int x0, int y0, int x1, int y1) {
  std::vector<int> values;
  for (int y = y0 + y0 % 2; y < y1; y += 2) {
    for (int x = x0; x < x1; ++x) values.push_back(f.row(y)[3 * x]);
  }
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  const double median = values[values.size() / 2];
  double squares = 0;
  for (const int v : values) squares += (v - median) * (v - median);
  return {median, std::sqrt(squares / values.size())};
}

TEST(SimSkyCamera, GalaxyBelowOneFramesNoiseShowsInSixteen) {
  SkyRig rig;
  const auto centre = rig.camera->sky_position(rig.camera->galaxy_centre(), 1.0);
  const int gx = static_cast<int>(centre.x), gy = static_cast<int>(centre.y);
  double core = 0, sky = 0, single_noise = 0;
  for (int i = 0; i < 16; ++i) {
    const FrameImage frame = main_frame_of(rig.camera->render({0, 2000, 0}));
    core += field_mean(frame, gy % 2, gx - 2, gy - 2, gx + 3, gy + 3) / 16;
    const auto [level, noise] = field_median(frame, gx - 120, gy - 40, gx - 80, gy + 40);
    sky += level / 16;
    single_noise = noise;
  }
  std::printf("galaxy core %.2f over a sky of %.2f, a frame's noise %.2f\n", core - sky, sky,
              single_noise);
  // Its centre adds 1.2 ADU to a 2 s frame, whose noise is more than twice that.
  EXPECT_GT(single_noise, 2.4);
  EXPECT_GT(core - sky, 0.45);
  EXPECT_LT(core - sky, 1.2);
}

TEST(SimSkyCamera, FieldTurnsAboutTheGuideStar) {
  SkyRig rig({.rotation_deg_per_min = 6});
  // A point 100 px right of the guide star turns by 1 degree in 10 s,
  // counter-clockwise, about the guide star wherever the drift takes it.
  const auto guide = rig.camera->guide_star_position(0);
  const auto later = rig.camera->guide_star_position(10000);
  const auto a = rig.camera->sky_position({guide.x + 100, guide.y}, 0);
  const auto b = rig.camera->sky_position({guide.x + 100, guide.y}, 10);
  const double c = std::cos(M_PI / 180), s = std::sin(M_PI / 180);
  EXPECT_NEAR(b.x - later.x, c * (a.x - guide.x) - s * (a.y - guide.y), 1e-9);
  EXPECT_NEAR(b.y - later.y, s * (a.x - guide.x) + c * (a.y - guide.y), 1e-9);
  // The stack finds the 3 degrees between two frames 30 s apart.
  StackEngine engine;
  EXPECT_EQ(engine.add(main_frame_of(rig.camera->render({0, 2000, 0})), 0).verdict,
            FrameVerdict::Reference);
  const StackFrameReport turned =
      engine.add(main_frame_of(rig.camera->render({30000, 32000, 0})), 1);
  EXPECT_EQ(turned.verdict, FrameVerdict::Accepted);
  EXPECT_NEAR(turned.transform.rotation * 180 / M_PI, 3.0, 0.05);
}

}  // namespace
}  // namespace noctra
