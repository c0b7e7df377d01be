// Exposures on fake time through the real sequencer, acquisition and headless
// pump: the pump ticks at the instants things fall due, the still trigger
// presses as soon as the acquisition waits, and each written frame carries the
// instants its exposure started and ended.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/due_ticker.h"
#include "app/headless.h"
#include "app/sequencer.h"
#include "camera/acquisition.h"
#include "camera/camera_port.h"
#include "camera/still_window.h"
#include "support/fake_clock.h"
#include "support/fake_writer.h"

namespace noctra {
namespace {

// Instants on the same fake time as the millisecond clock.
class FakeInstants : public InstantClock {
 public:
  explicit FakeInstants(test::FakeClock& clock) : clock_(clock) {}
  Instant now() override {
    const int64_t us = int64_t{clock_.now} * 1000;
    return {1'796'677'445'000'000 + us, us};
  }

 private:
  test::FakeClock& clock_;
};

// A capture device that delivers a small frame once its still button is pressed.
class PressedSource : public FrameSource {
 public:
  PressedSource(Clock& clock, EventPump& pump, StillWindowRegistry& windows)
      : clock_(clock), pump_(pump), windows_(windows) {}
  bool available() override { return true; }
  std::optional<std::vector<uint8_t>> acquire() override {
    if (wait_for_still_press(windows_, clock_, pump_, 10000) != StillPress::Pressed) return {};
    std::optional<FrameImage> frame = FrameImage::create(8, 4);
    return std::vector<uint8_t>(frame->block(), frame->block() + frame->block_size());
  }
  std::optional<int64_t> last_buffer_mono_us() const override { return 42; }
  std::string name() const override { return "pressed"; }

 private:
  Clock& clock_;
  EventPump& pump_;
  StillWindowRegistry& windows_;
};

struct TitleLog : SequencerHost {
  std::vector<std::string> titles;
  HeadlessEventPump* pump = nullptr;
  void set_title(const std::string& title) override {
    if (titles.empty() || titles.back() != title) titles.push_back(title);
  }
  void set_ui_state(UiState, bool) override {}
  void repaint_main(const FrameHolder&) override {}
  void repaint_guide(const FrameHolder&) override {}
  void post_command(Command id) override { pump->post(id); }
  void layout_if_idle() override {}
  void beep() override {}
};

struct Rig {
  explicit Rig(bool due_ticks) {
    device.add_listener([this](uint8_t byte) { writes.emplace_back(byte, clock.now); });
    acquisition.set_source(std::make_unique<PressedSource>(clock, pump, windows));
    host.pump = &pump;
    pump.set_due_ticks(due_ticks);
    pump.set_handlers([this] { sequencer.sequencer_tick(); },
                      [this](Command id) { router.route(id); },
                      [this] { return sequencer.next_due(); });
  }
  void record() {
    router.route(Command::Record);
    pump.run_until([this] { return sequencer.capture_state() == CaptureState::Idle; });
  }
  // When each write of this byte happened.
  std::vector<int32_t> times_of(uint8_t byte) const {
    std::vector<int32_t> times;
    for (const auto& [b, t] : writes) {
      if (b == byte) times.push_back(t);
    }
    return times;
  }

  test::FakeClock clock{0};
  FakeInstants instants{clock};
  std::atomic<bool> interrupt{false};
  HeadlessEventPump pump{clock, [this](int32_t ms) { clock.advance(ms); }, &interrupt};
  Settings settings;
  SimPortDevice device;
  CameraPort port{device, &instants};
  StillWindowRegistry windows;
  Acquisition acquisition{port, windows, nullptr};
  test::FakeWriter writer;
  TitleLog host;
  Sequencer sequencer{settings, clock, port, acquisition, writer, &host};
  CommandRouter router{sequencer, acquisition, nullptr};
  std::vector<std::pair<uint8_t, int32_t>> writes;
};

TEST(DueTimeTicks, ExposuresStartAtTheirBaseAndEndAfterExactlyTheirLength) {
  const struct {
    int32_t exposure, delay, count;
  } cases[] = {{1000, 0, 2}, {1000, 250, 3}, {70, 30, 3}, {0, 0, 2}, {1234, 17, 2}};
  for (const auto& c : cases) {
    Rig rig(true);
    rig.settings.exposure = c.exposure;
    rig.settings.delay = c.delay;
    rig.settings.count = c.count;
    rig.record();
    SCOPED_TRACE(testing::Message() << c.exposure << " ms, delay " << c.delay);
    ASSERT_EQ(rig.writer.timings.size(), static_cast<std::size_t>(c.count));
    int32_t base = 0;  // Record's instant
    for (const FrameTiming& t : rig.writer.timings) {
      ASSERT_TRUE(t.start && t.end && t.delivered);
      EXPECT_EQ(t.start->mono_us, int64_t{base} * 1000);
      EXPECT_EQ(t.end->mono_us - t.start->mono_us, int64_t{c.exposure} * 1000);
      EXPECT_EQ(t.delivered->mono_us, t.end->mono_us);  // delivered at the press, on fake time
      EXPECT_EQ(t.source_mono_us, 42);
      base = static_cast<int32_t>(t.end->mono_us / 1000) + c.delay;
    }
    // The trigger byte goes out in the tick that ends the exposure: at once.
    const std::vector<int32_t> starts = rig.times_of(0x27);
    ASSERT_EQ(starts.size(), static_cast<std::size_t>(c.count));
    for (std::size_t i = 0; i < starts.size(); ++i) {
      EXPECT_EQ(int64_t{starts[i]} * 1000, rig.writer.timings[i].start->mono_us);
    }
  }
}

TEST(DueTimeTicks, GuideFramesFollowTheirIntervalExactly) {
  // 0x35 is the guide trigger: every interval from the Record; the main
  // frame's own capture at 1000 restarts the guide cycle from there. A guide
  // frame due within 50 ms before the end (960) waits for it.
  const struct {
    int32_t interval;
    std::vector<int32_t> triggers;
  } cases[] = {{130, {130, 260, 390, 520, 650, 780, 910}}, {160, {160, 320, 480, 640, 800}}};
  for (const auto& c : cases) {
    Rig rig(true);
    rig.settings.exposure = 1000;
    rig.settings.count = 1;
    rig.settings.guiding = 1;
    rig.settings.guide_interval = c.interval;
    rig.record();
    EXPECT_EQ(rig.times_of(0x35), c.triggers) << c.interval;
    EXPECT_EQ(rig.times_of(0x37).back(), 1000);
  }
}

TEST(DueTimeTicks, TitlesAndBytesAreThoseOfThePlainTick) {
  // Due-time ticks add ticks but change nothing a tick does: the bytes, in
  // order, are those the plain 50 ms tick gives, and the titles follow the
  // countdown rule.
  for (const int32_t exposure : {2000, 3050}) {
    Rig precise(true), plain(false);
    for (Rig* rig : {&precise, &plain}) {
      rig->settings.exposure = exposure;
      rig->settings.delay = 100;
      rig->settings.count = 2;
      rig->settings.amp_off = 1;
      rig->record();
    }
    // The amplifier-off byte goes out at the end of every tick, so only its
    // repeats may differ.
    const auto runs = [](std::vector<uint8_t> bytes) {
      bytes.erase(std::unique(bytes.begin(), bytes.end()), bytes.end());
      return bytes;
    };
    EXPECT_EQ(runs(precise.device.log()), runs(plain.device.log()));
    // Each title as the countdown rule gives it; the first tick now lands
    // on the base itself, so the full seconds show first.
    const std::vector<std::string> titles =
        exposure == 2000 ? std::vector<std::string>{"Noctra ( - 0/2) 2", "Noctra ( - 0/2) 1",
                                                    "Noctra ( - 0/2)",   "Noctra ( - 1/2)",
                                                    "Noctra ( - 1/2) 2", "Noctra ( - 1/2) 1",
                                                    "Noctra ( - 1/2)",   "Noctra ( - 2/2)"}
                         : std::vector<std::string>{"Noctra ( - 0/2) 3", "Noctra ( - 0/2) 2",
                                                    "Noctra ( - 0/2) 1", "Noctra ( - 0/2)",
                                                    "Noctra ( - 1/2)",   "Noctra ( - 1/2) 3",
                                                    "Noctra ( - 1/2) 2", "Noctra ( - 1/2) 1",
                                                    "Noctra ( - 1/2)",   "Noctra ( - 2/2)"};
    EXPECT_EQ(precise.host.titles, titles);
  }
}

TEST(DueTimeTicks, APausedExposureIsTimedButNotWritten) {
  Rig rig(true);
  rig.settings.exposure = 500;
  rig.settings.count = 1;
  rig.sequencer.toggle_pause();
  rig.router.route(Command::Record);
  rig.pump.run_until([&] { return rig.times_of(0x27).size() >= 3; });
  EXPECT_EQ(rig.times_of(0x27), (std::vector<int32_t>{0, 500, 1000}));
  EXPECT_TRUE(rig.writer.timings.empty());
  // Unpaused, the exposure under way is the first one written, with its own instants.
  rig.sequencer.toggle_pause();
  rig.pump.run_until([&] { return rig.sequencer.capture_state() == CaptureState::Idle; });
  ASSERT_EQ(rig.writer.timings.size(), 1u);
  EXPECT_EQ(rig.writer.timings[0].start->mono_us, 1'000'000);
  EXPECT_EQ(rig.writer.timings[0].end->mono_us, 1'500'000);
}

TEST(DueTimeTicks, NothingIsDueWhileIdleOrWhileATickRuns) {
  Rig rig(true);
  EXPECT_EQ(rig.sequencer.next_due(), std::nullopt);
  rig.settings.exposure = 700;
  rig.settings.guiding = 1;
  rig.settings.guide_interval = 300;
  rig.router.route(Command::Record);
  const std::optional<Sequencer::Due> base = rig.sequencer.next_due();
  ASSERT_TRUE(base);
  EXPECT_EQ(base->wait_ms, 0);                // the exposure's base is now
  EXPECT_EQ(rig.sequencer.next_due(), base);  // asking again changes nothing
  rig.sequencer.sequencer_tick();
  const std::optional<Sequencer::Due> guide = rig.sequencer.next_due();
  ASSERT_TRUE(guide);
  EXPECT_EQ(guide->wait_ms, 300);  // the guide frame comes before the end
  EXPECT_NE(guide->moment, base->moment);
  rig.clock.advance(1000);
  EXPECT_EQ(rig.sequencer.next_due()->wait_ms, 0);  // overdue counts as now
  rig.settings.guide_interval = 0;                  // paced by the 50 ms tick alone
  EXPECT_EQ(rig.sequencer.next_due()->wait_ms, 0);  // the exposure's end has passed too
  rig.router.route(Command::Stop);
  EXPECT_EQ(rig.sequencer.next_due(), std::nullopt);
}

// One tick for each moment once it has come: none before, none again for a
// moment nothing acted on (the 50 ms tick carries on from there), and one for
// each new moment, even at the same instant.
TEST(DueTicker, TicksEachMomentOnceWhenItHasCome) {
  using Kind = Sequencer::DueKind;
  std::optional<Sequencer::Due> due;
  int ticks = 0;
  DueTicker ticker([&] { ++ticks; }, [&] { return due; });
  const struct {
    std::optional<Sequencer::Due> due;
    std::optional<int32_t> wait;
    bool ticks;
  } steps[] = {
      {std::nullopt, std::nullopt, false},
      {Sequencer::Due{30, {Kind::End, 1030, 1, 1}}, 30, false},
      {Sequencer::Due{0, {Kind::End, 1030, 1, 1}}, 0, true},
      {Sequencer::Due{0, {Kind::End, 1030, 1, 1}}, std::nullopt, false},
      {Sequencer::Due{0, {Kind::Start, 1030, 1, 1}}, 0, true},
      {Sequencer::Due{0, {Kind::Start, 1030, 1, 2}}, 0, true},
      {Sequencer::Due{0, {Kind::Start, 1030, 3, 0}}, 0, true},
  };
  int expected_ticks = 0;
  for (const auto& step : steps) {
    due = step.due;
    EXPECT_EQ(ticker.wait_ms(), step.wait);
    EXPECT_EQ(ticker.tick_if_due(), step.ticks);
    expected_ticks += step.ticks ? 1 : 0;
    EXPECT_EQ(ticks, expected_ticks);
  }
  ticker.tick();  // the 50 ms tick always runs
  EXPECT_EQ(ticks, expected_ticks + 1);
}

}  // namespace
}  // namespace noctra
