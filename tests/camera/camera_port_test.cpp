#include "camera/camera_port.h"

#include <gtest/gtest.h>

#include <vector>

namespace noctra {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(CameraPort, TopBitsSurviveIdleAmplifierAndTrigger) {
  SimPortDevice dev(0xC0);
  CameraPort port(dev);
  port.camera_idle();
  EXPECT_EQ(dev.log(), (Bytes{0xEF, 0xFF}));
  EXPECT_EQ(port.read_camera_port(), 0xFF);
  port.amplifier_off();
  EXPECT_EQ(port.read_camera_port(), 0xFB);
  port.write_trigger_code(kTriggerMain);
  EXPECT_EQ(port.read_camera_port(), 0xF7);
}

TEST(CameraPort, SequencesAreWholeBytesInOrder) {
  SimPortDevice dev(0xC0);
  CameraPort port(dev);
  port.camera_idle();
  dev.clear_log();
  port.exposure_start_sequence();
  EXPECT_EQ(dev.log(), (Bytes{0x27, 0x37, 0x34, 0x14, 0x34}));
  EXPECT_EQ(port.read_camera_port(), 0x34);
  dev.clear_log();
  port.guide_start_sequence();
  EXPECT_EQ(dev.log(), (Bytes{0x34, 0x14, 0x34}));
}

TEST(CameraPort, IdleFromAnyStartEndsWithLowSixBitsSetAndBitFourPulsed) {
  for (int start = 0; start < 256; ++start) {
    SimPortDevice dev(static_cast<uint8_t>(start));
    CameraPort port(dev);
    port.camera_idle();
    ASSERT_EQ(dev.log().size(), 2u);
    EXPECT_EQ(dev.log()[0] & 0x10, 0) << start;
    EXPECT_EQ(dev.log()[1], (start & 0xC0) | 0x3F) << start;
  }
}

TEST(CameraPort, AmplifierTouchesOnlyBitTwo) {
  SimPortDevice dev(0x34);
  CameraPort port(dev);
  port.amplifier_on();
  EXPECT_EQ(port.read_camera_port(), 0x34);  // already on in the exposure patterns
  port.amplifier_off();
  EXPECT_EQ(port.read_camera_port(), 0x30);
  port.amplifier_on();
  EXPECT_EQ(port.read_camera_port(), 0x34);
}

}  // namespace
}  // namespace noctra
