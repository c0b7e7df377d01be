#include "camera/camera_setup.h"

#include <gtest/gtest.h>

#include "camera_fakes.h"

namespace noctra {
namespace {

using test::FakeClock;
using test::FakePump;
using test::LogLines;
using Bytes = std::vector<uint8_t>;

TEST(CameraSetup, SimulatedCameraSeesThePortAndTheTraceSeesEveryByte) {
  FakeClock clock;
  FakePump pump(clock);
  LogLines log;
  Bytes traced;
  std::string error;
  auto setup = CameraSetup::open({"sim", "sim", [&](uint8_t b) { traced.push_back(b); }}, clock,
                                 pump, log.sink(), &error);
  ASSERT_NE(setup, nullptr) << error;
  EXPECT_EQ(setup->port_name(), "sim");
  EXPECT_EQ(setup->source_name(), "sim");
  pump.on_tick = [&] { setup->acquisition().still_trigger(); };

  auto grab = [&](int32_t exposure_ms) {
    setup->port().exposure_start_sequence();
    clock.advance(exposure_ms);
    setup->port().amplifier_on();
    setup->acquisition().set_pending_trigger_code(kTriggerMain);
    FrameHolder holder;
    setup->acquisition().acquire_frame(holder);
    EXPECT_TRUE(holder.has_value());
    int64_t even = 0;
    for (int y = 100; y < 200; y += 2) even += holder->row(y)[300];
    return even;
  };
  setup->port().camera_idle();
  const int64_t dark = grab(100);
  const int64_t bright = grab(5000);
  EXPECT_GT(bright, dark + 50 * 30);  // 8 ADU/s of sky over 50 rows
  EXPECT_EQ(traced.size(), 2U + 2 * (5 + 1 + 1));
  EXPECT_EQ(traced[2], 0x27);
}

TEST(CameraSetup, ExplicitDevicesThatFailAreErrors) {
  FakeClock clock;
  FakePump pump(clock);
  std::string error;
  EXPECT_EQ(CameraSetup::open({"ppdev:/dev/no-such-parport", "sim", {}}, clock, pump, nullptr,
                              &error),
            nullptr);
  EXPECT_EQ(error.rfind("camera port: ppdev:/dev/no-such-parport: ", 0), 0U) << error;
  EXPECT_EQ(CameraSetup::open({"sim", "v4l2:/dev/no-such-video", {}}, clock, pump, nullptr, &error),
            nullptr);
  EXPECT_EQ(error.rfind("video source: v4l2:/dev/no-such-video: ", 0), 0U) << error;
  // A device node that is no video device at all.
  EXPECT_EQ(CameraSetup::open({"sim", "v4l2:/dev/null", {}}, clock, pump, nullptr, &error), nullptr);
  EXPECT_EQ(error.rfind("video source: v4l2:/dev/null: ", 0), 0U) << error;
}

TEST(CameraSetup, SwitchingSourceKeepsTheOldOneOnFailure) {
  FakeClock clock;
  FakePump pump(clock);
  LogLines log;
  auto setup = CameraSetup::open({"sim", "sim", {}}, clock, pump, log.sink(), nullptr);
  ASSERT_NE(setup, nullptr);
  const FrameSource* before = setup->acquisition().source();
  std::string error;
  EXPECT_FALSE(setup->switch_source("v4l2:/dev/no-such-video", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(setup->acquisition().source(), before);
  EXPECT_TRUE(setup->switch_source("sim", &error));
  EXPECT_NE(setup->acquisition().source(), before);
  // The new simulated camera is the one listening: an exposure shows light.
  pump.on_tick = [&] { setup->acquisition().still_trigger(); };
  setup->port().exposure_start_sequence();
  clock.advance(8000);
  setup->acquisition().set_pending_trigger_code(kTriggerMain);
  FrameHolder holder;
  setup->acquisition().acquire_frame(holder);
  ASSERT_TRUE(holder.has_value());
  EXPECT_GT(holder->row(100)[3 * 300], 50);  // 10 + 8 ADU/s x 8 s, give or take a star
}

}  // namespace
}  // namespace noctra
