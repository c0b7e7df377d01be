#include "camera/camera_port.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace noctra {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(CameraPort, EachOperationWritesTheseBytesFromThisStart) {
  const struct {
    const char* what;
    uint8_t start;
    std::function<void(CameraPort&)> operation;
    Bytes written;
  } cases[] = {
      {"idle keeps the top bits", 0xC0, &CameraPort::camera_idle, {0xEF, 0xFF}},
      {"amplifier off keeps the top bits", 0xFF, &CameraPort::amplifier_off, {0xFB}},
      {"trigger keeps the top bits",
       0xFF,
       [](CameraPort& p) { p.write_trigger_code(TriggerCode::Main); },
       {0xF7}},
      {"exposure start",
       0xFF,
       &CameraPort::exposure_start_sequence,
       {0x27, 0x37, 0x34, 0x14, 0x34}},
      {"guide start", 0xC0, &CameraPort::guide_start_sequence, {0x34, 0x14, 0x34}},
      {"amplifier already on", 0x34, &CameraPort::amplifier_on, {0x34}},
      {"amplifier off", 0x34, &CameraPort::amplifier_off, {0x30}},
      {"amplifier on", 0x30, &CameraPort::amplifier_on, {0x34}},
  };
  for (const auto& c : cases) {
    SimPortDevice dev(c.start);
    CameraPort port(dev);
    c.operation(port);
    EXPECT_EQ(dev.log(), c.written) << c.what;
    EXPECT_EQ(port.read_camera_port(), c.written.back()) << c.what;
  }
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

}  // namespace
}  // namespace noctra
