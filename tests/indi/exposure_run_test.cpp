#include "indi/exposure_run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "camera/camera_port.h"
#include "camera/port_device.h"
#include "imaging/frame_test_support.h"
#include "indi/camera_chips.h"

namespace noctra::indi {
namespace {

class FakeInstantClock : public InstantClock {
 public:
  Instant now() override { return {1'800'000'000'000'000 + mono_us, mono_us}; }
  void advance_ms(int64_t ms) { mono_us += ms * 1000; }
  int64_t mono_us = 5'000'000;
};

// Stands in for Acquisition: on each request the capture button is pressed
// after press_after_ms (the trigger code goes out as the still trigger writes
// it) and a frame comes whose even and odd stored rows hold the values given
// for that trigger code, delivered deliver_after_ms later and stamped by the
// "device" buffer_stamp_us after the press; like Acquisition, it keeps the
// timing of the last frame it delivered.
class FakeAcquirer : public FrameAcquirer {
 public:
  FakeAcquirer(CameraPort& port, FakeInstantClock& clock) : port_(port), clock_(clock) {}

  bool source_available() override { return true; }
  bool busy() const override { return false; }
  void still_trigger() override {
    if (!pending_ || !press) return;
    port_.write_trigger_code(*pending_);
    pending_.reset();
  }
  void acquire_frame(FrameHolder& holder, TriggerCode code) override {
    requested.push_back(static_cast<int>(code));
    pending_ = code;
    clock_.advance_ms(press_after_ms);
    still_trigger();
    const int64_t pressed_us = clock_.mono_us;
    clock_.advance_ms(deliver_after_ms);
    holder.reset();
    if (!deliver || pending_) return;
    last_timing_ = {};
    last_timing_.end = port_.last_trigger();
    last_timing_.delivered = clock_.now();
    last_timing_.source_mono_us = pressed_us + buffer_stamp_us;
    FrameImage frame = test::make_frame(64, 300);
    for (int32_t r = 0; r < frame.height(); ++r) {
      const uint8_t value = code == TriggerCode::Main ? (r % 2 ? main_odd : main_even)
                                                      : (r % 2 ? first_odd : first_even);
      std::memset(frame.row(r), value, frame.stride());
    }
    holder = std::move(frame);
  }
  FrameTiming last_timing() const override { return last_timing_; }
  const std::optional<TriggerCode>& pending_trigger() const { return pending_; }

  bool press = true;
  bool deliver = true;
  int64_t press_after_ms = 3;
  int64_t deliver_after_ms = 2;
  int64_t buffer_stamp_us = 700;
  uint8_t main_even = 100, main_odd = 40, first_even = 30, first_odd = 90;
  std::vector<int> requested;

 private:
  CameraPort& port_;
  FakeInstantClock& clock_;
  std::optional<TriggerCode> pending_;
  FrameTiming last_timing_;
};

class ExposureRunTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> bytes_since(std::size_t from) const {
    return {device_.log().begin() + static_cast<std::ptrdiff_t>(from), device_.log().end()};
  }

  SimPortDevice device_{0x3F};
  FakeInstantClock clock_;
  CameraPort port_{device_, &clock_};
  FakeAcquirer acquirer_{port_, clock_};
  ExposureRun run_{port_, acquirer_};
};

struct ByteCase {
  const char* name;
  ExposureOptions options;
  std::vector<uint8_t> bytes;
  std::vector<int> trigger_codes;
  int64_t guide_us = 0;  // the two chips: a guide exposure begun with the main one
};

TEST_F(ExposureRunTest, WritesTheSequencersBytesInOrder) {
  const std::vector<ByteCase> cases = {
      {"low res",
       {CaptureMode::LowRes, false},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x34, 0x37, 0x2F, 0x3F},
       {0x37}},
      {"low res, amp off",
       {CaptureMode::LowRes, true},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x30, 0x34, 0x37, 0x33, 0x2F, 0x3F},
       {0x37}},
      {"high res",
       {CaptureMode::HighRes, false},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x34, 0x35, 0x37, 0x2F, 0x3F},
       {0x35, 0x37}},
      {"high res, amp off",
       {CaptureMode::HighRes, true},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x30, 0x34, 0x35, 0x37, 0x33, 0x2F, 0x3F},
       {0x35, 0x37}},
  };
  for (const ByteCase& c : cases) {
    SCOPED_TRACE(c.name);
    acquirer_.requested.clear();
    const std::size_t from = device_.log().size();
    run_.begin(c.options);
    EXPECT_TRUE(run_.exposing());
    const ExposureResult result = run_.finish();
    EXPECT_FALSE(run_.exposing());
    EXPECT_TRUE(result.frame.has_value());
    EXPECT_EQ(bytes_since(from), c.bytes);
    EXPECT_EQ(acquirer_.requested, c.trigger_codes);
  }
}

TEST_F(ExposureRunTest, TakesThePortsStartAndTheMainAcquisitionsInstants) {
  const std::optional<Instant> start = run_.begin({CaptureMode::HighRes, true});
  ASSERT_TRUE(start);
  EXPECT_EQ(start->mono_us, 5'000'000);
  EXPECT_EQ(start, port_.exposure_started());
  clock_.advance_ms(1000);
  const ExposureResult result = run_.finish();
  ASSERT_TRUE(result.timing.start && result.timing.end && result.first_trigger);
  EXPECT_EQ(*result.timing.start, *start);
  // Each acquisition presses 3 ms after it starts waiting and delivers 2 ms
  // after the press.
  EXPECT_EQ(result.first_trigger->mono_us - start->mono_us, 1'003'000);
  EXPECT_EQ(result.timing.end->mono_us - start->mono_us, 1'008'000);
  ASSERT_TRUE(result.timing.delivered);
  EXPECT_EQ(result.timing.delivered->mono_us - start->mono_us, 1'010'000);
  EXPECT_EQ(result.timing.source_mono_us, result.timing.end->mono_us + 700);
  EXPECT_EQ(result.metadata.mode, CaptureMode::HighRes);
  EXPECT_EQ(result.metadata.field, KeptField::Both);
  EXPECT_TRUE(result.metadata.amp_switching);
}

TEST_F(ExposureRunTest, AnExposureWithoutAFrameKeepsNoInstantsOfTheFrameBefore) {
  run_.begin({});
  ASSERT_TRUE(run_.finish().timing.end);
  acquirer_.press = false;
  run_.begin({});
  const ExposureResult failed = run_.finish();
  EXPECT_TRUE(failed.timing.start);
  EXPECT_FALSE(failed.timing.end);
  EXPECT_FALSE(failed.timing.delivered);
  EXPECT_FALSE(failed.timing.source_mono_us);
}

TEST(ExposureRunWithoutClock, APortWithoutClockLeavesTheInstantsEmpty) {
  SimPortDevice device(0x3F);
  CameraPort port(device);
  FakeInstantClock clock;
  FakeAcquirer acquirer(port, clock);
  ExposureRun run(port, acquirer);
  EXPECT_FALSE(run.begin({}));
  const ExposureResult result = run.finish();
  EXPECT_TRUE(result.frame);
  EXPECT_FALSE(result.timing.start);
  EXPECT_FALSE(result.timing.end);
}

TEST_F(ExposureRunTest, LowResKeepsTheBrighterFieldAndSaysWhich) {
  acquirer_.main_even = 20;
  acquirer_.main_odd = 80;
  run_.begin({});
  const ExposureResult result = run_.finish();
  ASSERT_TRUE(result.frame);
  EXPECT_EQ(result.metadata.field, KeptField::Odd);
  EXPECT_EQ(result.metadata.mode, CaptureMode::LowRes);
  EXPECT_FALSE(result.metadata.amp_switching);
  EXPECT_EQ(result.frame->row(0)[0], 80);
  EXPECT_EQ(result.frame->row(1)[0], 80);
}

// The code of a press that never came stays pending, as in a recording: the
// next press the still trigger finds writes it.
TEST_F(ExposureRunTest, AnUnpressedAcquisitionGivesNoFrameAndLeavesItsCodePending) {
  acquirer_.press = false;
  run_.begin({});
  const ExposureResult result = run_.finish();
  EXPECT_FALSE(result.frame);
  EXPECT_FALSE(result.timing.end);
  EXPECT_EQ(acquirer_.pending_trigger(), TriggerCode::Main);
  // The port still goes back to rest.
  EXPECT_EQ(device_.read(), 0x3F);
}

TEST_F(ExposureRunTest, HighResStopsAfterAFailedFirstFrame) {
  acquirer_.deliver = false;
  run_.begin({CaptureMode::HighRes, false});
  const ExposureResult result = run_.finish();
  EXPECT_FALSE(result.frame);
  EXPECT_EQ(acquirer_.requested, (std::vector<int>{0x35}));
}

TEST_F(ExposureRunTest, AbortIdlesThePortAndEndsTheExposure) {
  const std::size_t from = device_.log().size();
  run_.begin({CaptureMode::LowRes, true});
  run_.abort();
  EXPECT_FALSE(run_.exposing());
  EXPECT_EQ(bytes_since(from),
            (std::vector<uint8_t>{0x27, 0x37, 0x34, 0x14, 0x34, 0x30, 0x2F, 0x3F}));
  // Nothing is left to finish: no acquisition, no byte.
  const std::size_t after_abort = device_.log().size();
  EXPECT_FALSE(run_.finish().frame);
  EXPECT_EQ(device_.log().size(), after_abort);
  EXPECT_TRUE(acquirer_.requested.empty());
}

// The two chips on one port, each read-out run when it falls due, as the
// driver's timer runs them. The fake presses 3 ms after a request and
// delivers 2 ms after the press; nothing else moves the clock.
class CameraChipsTest : public ExposureRunTest {
 protected:
  CameraChips chips_{port_, acquirer_, clock_};
};

TEST_F(CameraChipsTest, GuideExposuresGoAsTheGuideCycleAroundTheMainOne) {
  const std::vector<ByteCase> cases = {
      {"guide due first, amp off: read out, then the guide-start sequence",
       {CaptureMode::LowRes, true},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x30, 0x34, 0x14, 0x34, 0x30, 0x34,
        0x35, 0x31, 0x34, 0x14, 0x34, 0x30, 0x34, 0x37, 0x33, 0x2F, 0x3F},
       {0x35, 0x37},
       500'000},
      {"guide due 30 ms before the main end: read out after it",
       {},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x34, 0x14, 0x34, 0x34, 0x37, 0x37, 0x35, 0x2F, 0x3F},
       {0x37, 0x35},
       970'000},
      {"guide due long after the main end: started again after the main frame",
       {},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x34, 0x14, 0x34, 0x34, 0x37, 0x34, 0x14, 0x34, 0x34, 0x35,
        0x2F, 0x3F},
       {0x37, 0x35},
       5'000'000},
      {"a guided High Res exposure is read out in Low Res",
       {CaptureMode::HighRes, false},
       {0x27, 0x37, 0x34, 0x14, 0x34, 0x34, 0x14, 0x34, 0x34, 0x35, 0x34, 0x14, 0x34, 0x34, 0x37,
        0x2F, 0x3F},
       {0x35, 0x37},
       500'000},
  };
  for (const ByteCase& c : cases) {
    SCOPED_TRACE(c.name);
    acquirer_.requested.clear();
    const std::size_t from = device_.log().size();
    chips_.begin_main(c.options, 1'000'000);  // 1 s
    chips_.begin_guide(c.options.amp_off, c.guide_us);
    while (const std::optional<CameraChips::Due> due = chips_.next_readout()) {
      clock_.mono_us = std::max(clock_.mono_us, due->mono_us);
      EXPECT_TRUE(
          (due->chip == Chip::Main ? chips_.read_out_main() : chips_.read_out_guide()).frame);
    }
    EXPECT_EQ(bytes_since(from), c.bytes);
    EXPECT_EQ(acquirer_.requested, c.trigger_codes);
  }
}

// The exposure-start sequence restarts the guide field too.
TEST_F(CameraChipsTest, AGuideExposureCountsFromAMainExposuresStart) {
  chips_.begin_guide(false, 500'000);
  clock_.advance_ms(300);
  const Instant start = chips_.begin_main({}, 1'000'000);
  EXPECT_EQ(chips_.guide_deadline_us(), start.mono_us + 500'000);
  EXPECT_EQ(chips_.read_out_guide().timing.start, start);
}

}  // namespace
}  // namespace noctra::indi
