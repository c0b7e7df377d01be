#include "camera/camera_setup.h"

#include <gtest/gtest.h>

#include "camera_fakes.h"

namespace noctra {
namespace {

using test::FakeClock;
using test::FakePump;
using test::LogLines;
using Bytes = std::vector<uint8_t>;

struct SetupRig {
  FakeClock clock;
  FakePump pump{clock};
  LogLines log;
  std::unique_ptr<CameraSetup> setup;

  explicit SetupRig(CameraSetupOptions choice) {
    Result<std::unique_ptr<CameraSetup>> opened =
        CameraSetup::open(std::move(choice), clock, pump, log.sink());
    EXPECT_TRUE(opened.ok()) << opened.message();
    if (opened) setup = std::move(*opened);
    pump.on_tick = [this] { setup->acquisition().still_trigger(); };
  }

  FrameHolder expose(int32_t exposure_ms) {
    setup->port().exposure_start_sequence();
    clock.advance(exposure_ms);
    setup->port().amplifier_on();
    FrameHolder holder;
    setup->acquisition().acquire_frame(holder, TriggerCode::Main);
    return holder;
  }
};

TEST(CameraSetup, SimulatedCameraSeesThePortAndTheTraceSeesEveryByte) {
  Bytes traced;
  SetupRig rig({"sim", "sim", [&](uint8_t b) { traced.push_back(b); }});
  ASSERT_NE(rig.setup, nullptr);
  EXPECT_EQ(rig.setup->port_name(), "sim");
  EXPECT_EQ(rig.setup->source_name(), "sim");
  auto even_rows = [&](int32_t exposure_ms) {
    const FrameHolder holder = rig.expose(exposure_ms);
    EXPECT_TRUE(holder.has_value());
    int64_t even = 0;
    for (int y = 100; holder && y < 200; y += 2) even += holder->row(y)[300];
    return even;
  };
  rig.setup->port().camera_idle();
  const int64_t dark = even_rows(100);
  const int64_t bright = even_rows(5000);
  EXPECT_GT(bright, dark + 50 * 30);  // 8 ADU/s of sky over 50 rows
  EXPECT_EQ(traced.size(), 2U + 2 * (5 + 1 + 1));
  EXPECT_EQ(traced[2], 0x27);
}

TEST(CameraSetup, ExplicitDevicesThatFailAreErrors) {
  FakeClock clock;
  FakePump pump(clock);
  const struct {
    const char* port;
    const char* source;
    const char* error_start;
  } cases[] = {
      {"ppdev:/dev/no-such-parport", "sim", "camera port: ppdev:/dev/no-such-parport: "},
      {"sim", "v4l2:/dev/no-such-video", "video source: v4l2:/dev/no-such-video: "},
      // A device node that is no video device at all.
      {"sim", "v4l2:/dev/null", "video source: v4l2:/dev/null: "},
  };
  for (const auto& c : cases) {
    const Result<std::unique_ptr<CameraSetup>> opened =
        CameraSetup::open({c.port, c.source, {}}, clock, pump, nullptr);
    EXPECT_FALSE(opened.ok());
    EXPECT_EQ(opened.message().rfind(c.error_start, 0), 0U) << opened.message();
  }
}

TEST(CameraSetup, SwitchingSourceKeepsTheOldOneOnFailure) {
  SetupRig rig({"sim", "sim", {}});
  ASSERT_NE(rig.setup, nullptr);
  const FrameSource* before = rig.setup->acquisition().source();
  const Status refused = rig.setup->switch_source("v4l2:/dev/no-such-video");
  EXPECT_FALSE(refused);
  EXPECT_FALSE(refused.message().empty());
  EXPECT_EQ(rig.setup->acquisition().source(), before);
  EXPECT_TRUE(rig.setup->switch_source("sim"));
  EXPECT_NE(rig.setup->acquisition().source(), before);
  // The new simulated camera is the one listening: an exposure shows light.
  const FrameHolder holder = rig.expose(8000);
  ASSERT_TRUE(holder.has_value());
  EXPECT_GT(holder->row(100)[3 * 300], 50);  // 10 + 8 ADU/s x 8 s, give or take a star
}

}  // namespace
}  // namespace noctra
