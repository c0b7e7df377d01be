// The capture call of one exposure: what each readout grabs, with which
// trigger codes, and what each outcome leaves in the holders.

#include "camera/exposure_capture.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/fake_acquirer.h"

namespace noctra {
namespace {

TEST(CaptureExposure, ReadoutsAndOutcomes) {
  struct Case {
    const char* what;
    Readout readout;
    bool available;
    std::deque<bool> failures;
    std::vector<int> codes;
    CaptureOutcome outcome;
    // The frame holder afterwards: 0 none, 1 the frame it had, 2 a new one.
    int frame, first;
    CaptureMode mode = CaptureMode::LowRes;
    KeptField field = KeptField::Both;
  };
  const Case cases[] = {
      {"low res",
       Readout::LowRes,
       true,
       {},
       {0x37},
       CaptureOutcome::NewFrame,
       2,
       1,
       CaptureMode::LowRes,
       KeptField::Odd},
      {"low res, nothing came",
       Readout::LowRes,
       true,
       {true},
       {0x37},
       CaptureOutcome::NoFrame,
       0,
       1},
      {"high res",
       Readout::HighRes,
       true,
       {},
       {0x35, 0x37},
       CaptureOutcome::NewFrame,
       2,
       2,
       CaptureMode::HighRes,
       KeptField::Both},
      {"high res, no first frame",
       Readout::HighRes,
       true,
       {true},
       {0x35},
       CaptureOutcome::FirstFailed,
       1,
       0},
      {"high res, no second frame",
       Readout::HighRes,
       true,
       {false, true},
       {0x35, 0x37},
       CaptureOutcome::NoFrame,
       0,
       2},
      {"guide",
       Readout::Guide,
       true,
       {},
       {0x35},
       CaptureOutcome::NewFrame,
       2,
       1,
       CaptureMode::LowRes,
       KeptField::Odd},
      {"no source", Readout::HighRes, false, {}, {}, CaptureOutcome::NoSource, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimPortDevice device(0x30);
    CameraPort port(device);
    test::FakeAcquirer acquirer;
    acquirer.available = c.available;
    acquirer.failures = c.failures;
    acquirer.width = 64;
    acquirer.height = 300;
    // The odd field is the bright one; High Res frames differ by trigger code.
    acquirer.paint = [](FrameImage& frame, TriggerCode code) {
      for (int32_t r = 0; r < frame.height(); ++r)
        std::memset(frame.row(r), r % 2 ? 90 : 20 + static_cast<int>(code), frame.stride());
    };
    FrameHolder frame = FrameImage::create(8, 8), first = FrameImage::create(8, 8);
    const Capture capture = capture_exposure(acquirer, port, c.readout, true, frame, &first);
    EXPECT_EQ(device.log(), std::vector<uint8_t>{0x34});  // the amplifier on first
    EXPECT_EQ(acquirer.codes, c.codes);
    EXPECT_EQ(capture.outcome, c.outcome);
    const auto state = [](const FrameHolder& h) { return !h ? 0 : h->width() == 8 ? 1 : 2; };
    EXPECT_EQ(state(frame), c.frame);
    EXPECT_EQ(state(first), c.first);
    if (c.outcome != CaptureOutcome::NewFrame) continue;
    EXPECT_EQ(capture.metadata.mode, c.mode);
    EXPECT_EQ(capture.metadata.field, c.field);
    EXPECT_TRUE(capture.metadata.amp_switching);
    // Field selection doubled the bright odd rows over the even ones.
    if (c.readout != Readout::HighRes) {
      EXPECT_EQ(frame->row(0)[0], 90);
    }
  }
}

}  // namespace
}  // namespace noctra
