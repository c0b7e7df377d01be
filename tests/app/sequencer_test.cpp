#include "app/sequencer.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "support/fake_acquirer.h"
#include "support/fake_clock.h"
#include "support/fake_writer.h"

namespace noctra {
namespace {

using test::FakeAcquirer;
using test::FakeClock;
using test::FakeWriter;

using Bytes = std::vector<uint8_t>;

struct FakeHost : SequencerHost {
  std::vector<std::string> titles;
  std::vector<UiState> ui_states;
  std::vector<Command> posted;
  int main_repaints = 0, guide_repaints = 0, beeps = 0, layouts = 0;
  void set_title(const std::string& t) override { titles.push_back(t); }
  void set_ui_state(UiState state, bool) override { ui_states.push_back(state); }
  void repaint_main(const FrameHolder&) override { ++main_repaints; }
  void repaint_guide(const FrameHolder&) override { ++guide_repaints; }
  void post_command(Command id) override { posted.push_back(id); }
  void layout_if_idle() override { ++layouts; }
  void beep() override { ++beeps; }
};

struct Rig {
  Settings settings;
  FakeClock clock;
  SimPortDevice device{0x00};
  CameraPort port{device};
  FakeAcquirer acquirer;
  FakeWriter writer;
  FakeHost host;
  Sequencer seq{settings, clock, port, acquirer, writer, &host, PathFlavour::Windows};
  CommandRouter router{seq, acquirer, nullptr};

  Rig() { settings.image_file_path = "C:\\Images.AVI"; }

  // One 50 ms timer message; posted commands run after the tick, like queued messages.
  void tick() {
    clock.now = wrap_add(clock.now, 50);
    seq.sequencer_tick();
    auto posted = std::move(host.posted);
    host.posted.clear();
    for (Command id : posted) router.route(id);
  }
  void ticks(int n) {
    for (int i = 0; i < n; ++i) tick();
  }
};

TEST(Sequencer, ExposureZeroDoesEverythingInTheFirstTick) {
  Rig r;
  r.settings.exposure = 0;
  r.router.route(Command::Record);
  EXPECT_EQ(r.host.ui_states, (std::vector<UiState>{UiState::Recording}));
  r.device.clear_log();
  r.tick();
  // start sequence, amplifier on (already on in 0x34), acquisition
  EXPECT_EQ(r.device.log(), (Bytes{0x27, 0x37, 0x34, 0x14, 0x34, 0x34}));
  EXPECT_EQ(r.acquirer.codes, (std::vector<int>{0x37}));
  EXPECT_EQ(r.writer.writes, 1);
  EXPECT_EQ(r.seq.frames_written(), 1);
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Waiting);
  EXPECT_EQ(r.host.beeps, 1);
  EXPECT_EQ(r.host.titles.back(), "Noctra (C:\\Images.AVI - 1)");
}

// Before the windows exist and after they have gone, the sequencer has no
// host: the camera and the file are driven all the same, and a host attached
// later hears only what happens from then on.
TEST(Sequencer, RunsWithoutAHostAndTellsOneOnceAttached) {
  Rig r;
  r.settings.exposure = 0;
  r.settings.count = 1;
  r.seq.set_host(nullptr);
  r.router.route(Command::Record);
  r.tick();
  EXPECT_EQ(r.writer.writes, 1);
  EXPECT_EQ(r.seq.frames_written(), 1);
  r.router.route(Command::Stop);
  EXPECT_EQ(r.writer.closes, 1);
  EXPECT_TRUE(r.host.titles.empty());
  EXPECT_TRUE(r.host.ui_states.empty());
  EXPECT_TRUE(r.host.posted.empty());
  EXPECT_EQ(r.host.beeps, 0);

  r.seq.set_host(&r.host);
  r.router.route(Command::Pause);
  EXPECT_EQ(r.host.ui_states, (std::vector<UiState>{UiState::RefreshPauseMarks}));
}

TEST(Sequencer, DelayZeroStartsTheNextExposureOnTheFollowingTick) {
  Rig r;
  r.settings.exposure = 100;
  r.router.route(Command::Record);
  r.tick();  // +50: start sequence
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Exposing);
  r.tick();  // +100: remaining 0 -> capture
  EXPECT_EQ(r.writer.writes, 1);
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Waiting);
  r.device.clear_log();
  r.tick();
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Exposing);
  EXPECT_EQ(r.device.log(), (Bytes{0x27, 0x37, 0x34, 0x14, 0x34}));
}

TEST(Sequencer, DelayHoldsTheNextStartBackAndKeepsTheFullPathTitle) {
  Rig r;
  r.settings.exposure = 100;
  r.settings.delay = 200;
  r.router.route(Command::Record);
  r.ticks(2);
  ASSERT_EQ(r.writer.writes, 1);
  const std::string after_frame = r.host.titles.back();
  EXPECT_EQ(after_frame, "Noctra (C:\\Images.AVI - 1)");
  r.ticks(3);  // +150 of the 200 ms delay: still waiting, title untouched
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Waiting);
  EXPECT_EQ(r.host.titles.back(), after_frame);
  r.ticks(1);  // base reached
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Exposing);
}

TEST(Sequencer, CountPostsStopAfterTheLastFrameAndShowsTheFinalTitle) {
  Rig r;
  r.settings.exposure = 100;
  r.settings.count = 3;
  r.router.route(Command::Record);
  int guard = 0;
  while (r.seq.capture_state() != CaptureState::Idle && ++guard < 100) r.tick();
  EXPECT_EQ(r.writer.writes, 3);
  EXPECT_EQ(r.writer.closes, 1);
  EXPECT_EQ(r.host.ui_states.back(), UiState::Idle);
  EXPECT_EQ(r.host.titles.back(), "Noctra (Images.AVI - 3/3)");
  EXPECT_EQ(r.host.layouts, 1);
  EXPECT_EQ(r.device.read(), 0x3F);  // idle pattern
  r.ticks(10);
  EXPECT_EQ(r.writer.writes, 3);
}

TEST(Sequencer, PausedRecordingExposesButNeverWritesOrCounts) {
  Rig r;
  r.settings.exposure = 100;
  r.settings.count = 2;
  r.router.route(Command::Pause);  // while idle: the next recording starts paused
  EXPECT_TRUE(r.seq.paused());
  EXPECT_EQ(r.host.ui_states, (std::vector<UiState>{UiState::RefreshPauseMarks}));
  r.router.route(Command::Record);
  r.ticks(40);
  EXPECT_GE(r.acquirer.codes.size(), 10u);
  EXPECT_EQ(r.writer.writes + r.writer.missing, 0);
  EXPECT_EQ(r.seq.frames_written(), 0);
  EXPECT_NE(r.seq.capture_state(), CaptureState::Idle);
  r.router.route(Command::Pause);
  r.ticks(4);
  EXPECT_EQ(r.writer.writes, 2);
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Idle);
}

TEST(Sequencer, GuidingTakesMainFramesWithOneAcquisitionEvenInHiRes) {
  Rig r;
  r.settings.exposure = 300;
  r.settings.guiding = 1;
  r.settings.hi_res = 1;
  r.settings.guide_interval = 100;
  r.router.route(Command::Record);
  EXPECT_EQ(r.seq.guide_state(), GuideState::Pending);
  r.ticks(6);  // guide frames at +100 and +200; at +300 the main frame restarts the guide cycle
  std::vector<int> main_codes, guide_codes;
  for (int c : r.acquirer.codes) (c == 0x37 ? main_codes : guide_codes).push_back(c);
  EXPECT_EQ(main_codes.size(), 1u);
  EXPECT_EQ(guide_codes.size(), 2u);
  EXPECT_EQ(r.writer.writes, 1);
  EXPECT_FALSE(r.seq.first_hi_res_frame());
  EXPECT_EQ(r.host.guide_repaints, 2);
  EXPECT_EQ(r.seq.guide_state(), GuideState::Running);
}

TEST(Sequencer, HiResTakesTwoAcquisitionsAndRewritesTheOldFrameWhenTheFirstFails) {
  Rig r;
  r.settings.exposure = 50;
  r.settings.hi_res = 1;
  r.router.route(Command::Record);
  r.ticks(1);
  EXPECT_EQ(r.acquirer.codes, (std::vector<int>{0x35, 0x37}));
  ASSERT_EQ(r.writer.first_bytes.size(), 1u);
  EXPECT_EQ(r.writer.first_bytes[0], 2);  // the main frame, second acquisition
  r.acquirer.failures = {true};           // the first hi-res acquisition fails
  r.ticks(1);
  ASSERT_EQ(r.writer.first_bytes.size(), 2u);
  EXPECT_EQ(r.writer.first_bytes[1], 2);  // the previous main frame again
  EXPECT_EQ(r.seq.frames_written(), 2);
}

TEST(Sequencer, FailedAcquisitionStillCountsAndRepaints) {
  Rig r;
  r.settings.exposure = 50;
  r.settings.count = 2;
  r.acquirer.failures = {true, false};
  r.router.route(Command::Record);
  r.ticks(3);
  EXPECT_EQ(r.writer.missing, 1);
  EXPECT_EQ(r.writer.writes, 1);
  EXPECT_EQ(r.seq.frames_written(), 2);
  EXPECT_EQ(r.host.beeps, 2);  // Low Res beeps after a failed acquisition too
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Idle);
}

TEST(Sequencer, CountdownTitles) {
  struct Case {
    std::string path;
    PathFlavour flavour;
    int32_t count, remaining;
    std::string title;
  };
  const Case cases[] = {
      {"C:\\Images.AVI", PathFlavour::Windows, 0, 999, "Noctra (Images.AVI - 0)"},
      {"C:\\Images.AVI", PathFlavour::Windows, 0, 1999, "Noctra (Images.AVI - 0) 1"},
      {"C:\\Images.AVI", PathFlavour::Windows, 5, 30000, "Noctra (Images.AVI - 0/5) 30"},
      {"D:m42.avi", PathFlavour::Windows, 0, 0, "Noctra (m42.avi - 0)"},
      {"D:\\Sky/m42.avi", PathFlavour::Windows, 0, 0, "Noctra (Sky/m42.avi - 0)"},
      {"m42.avi", PathFlavour::Windows, 0, 0, "Noctra (m42.avi - 0)"},
      {"/home/sky/m42_003.avi", PathFlavour::Posix, 3, 2500, "Noctra (m42_003.avi - 0/3) 2"},
      {"/home/sky/C:x.avi", PathFlavour::Posix, 0, -20, "Noctra (C:x.avi - 0)"},
  };
  for (const Case& c : cases) {
    Settings settings;
    settings.image_file_path = c.path;
    settings.count = c.count;
    FakeClock clock;
    SimPortDevice dev;
    CameraPort port(dev);
    FakeAcquirer acq;
    FakeWriter writer;
    FakeHost host;
    Sequencer seq(settings, clock, port, acq, writer, &host, c.flavour);
    seq.show_countdown(c.remaining);
    ASSERT_EQ(host.titles.size(), 1u) << c.path;
    EXPECT_EQ(host.titles[0], c.title) << c.path;
    seq.show_countdown(c.remaining - c.remaining % 1000);  // same second: no new title
    EXPECT_EQ(host.titles.size(), 1u) << c.path;
  }
}

TEST(Sequencer, CountdownShowsWholeSecondsWhileExposing) {
  Rig r;
  r.settings.exposure = 2000;
  r.router.route(Command::Record);
  r.ticks(39);
  std::vector<std::string> distinct;
  for (const auto& t : r.host.titles)
    if (distinct.empty() || distinct.back() != t) distinct.push_back(t);
  EXPECT_EQ(distinct,
            (std::vector<std::string>{"Noctra (Images.AVI - 0) 1", "Noctra (Images.AVI - 0)"}));
}

// The port bytes of one recording of two frames, with and without amplifier
// switching: idle, start sequence, amplifier on before each acquisition,
// amplifier off at the end of each tick when asked for.
TEST(Sequencer, PortByteLogOfATypicalRecording) {
  struct Case {
    int32_t amp_off;
    Bytes expected;
  };
  const Bytes start{0x27, 0x37, 0x34, 0x14, 0x34};
  Bytes with_amp_off{0x2F, 0x3F};  // idle from 0x00
  Bytes without{0x2F, 0x3F};
  for (int frame = 0; frame < 2; ++frame) {
    // tick 1: start sequence; amp-off after it
    with_amp_off.insert(with_amp_off.end(), start.begin(), start.end());
    with_amp_off.push_back(0x30);
    without.insert(without.end(), start.begin(), start.end());
    // tick 2: amplifier on, acquisition; amp-off unless Stop came (last frame: Stop is posted
    // after the tick, so the off still happens)
    with_amp_off.push_back(0x34);
    with_amp_off.push_back(0x30);
    without.push_back(0x34);
  }
  // Stop: bit 4 pulses low before the idle pattern, from 0x30 and from 0x34 alike
  with_amp_off.insert(with_amp_off.end(), {0x2F, 0x3F});
  without.insert(without.end(), {0x2F, 0x3F});
  for (const Case& c : {Case{1, with_amp_off}, Case{0, without}}) {
    Rig r;
    r.settings.exposure = 100;
    r.settings.count = 2;
    r.settings.amp_off = c.amp_off;
    r.port.camera_idle();
    r.router.route(Command::Record);
    r.ticks(6);
    EXPECT_EQ(r.device.log(), c.expected) << "amp_off=" << c.amp_off;
    EXPECT_EQ(r.seq.capture_state(), CaptureState::Idle);
  }
}

TEST(Sequencer, NestedTicksDuringAnAcquisitionOnlyRunTheStillTrigger) {
  Rig r;
  r.settings.exposure = 50;
  int nested = 0;
  r.acquirer.during_acquire = [&] {
    for (int i = 0; i < 3; ++i) {
      r.clock.now += 50;
      r.seq.sequencer_tick();
      ++nested;
      EXPECT_TRUE(r.router.route(Command::Stop));  // dropped while busy
    }
  };
  r.router.route(Command::Record);
  const int before = r.acquirer.still_trigger_calls;
  r.tick();
  EXPECT_EQ(nested, 3);
  EXPECT_EQ(r.acquirer.still_trigger_calls - before, 4);
  EXPECT_EQ(r.acquirer.codes.size(), 1u);
  EXPECT_NE(r.seq.capture_state(), CaptureState::Idle);  // the Stop was dropped
  EXPECT_EQ(r.writer.closes, 0);
}

TEST(Sequencer, StopDuringTheWritersErrorBoxEndsTheRecording) {
  Rig r;
  r.settings.exposure = 50;
  // The user presses Stop in the box's loop.
  r.writer.on_write = [&] { r.router.route(Command::Stop); };
  r.router.route(Command::Record);
  r.tick();
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Idle);
  EXPECT_EQ(r.seq.frames_written(), 0);
  EXPECT_FALSE(r.seq.tick_running());
  r.writer.on_write = nullptr;
  r.ticks(5);
  EXPECT_EQ(r.acquirer.codes.size(), 1u);
  EXPECT_EQ(r.host.titles.back(), "Noctra (Images.AVI - 0)");
}

TEST(Sequencer, StopAndRecordDuringTheErrorBoxStartAFreshRecording) {
  Rig r;
  r.settings.exposure = 100;
  r.writer.on_write = [&] {
    r.writer.on_write = nullptr;
    r.router.route(Command::Stop);
    r.router.route(Command::Record);
  };
  r.router.route(Command::Record);
  r.ticks(2);
  EXPECT_EQ(r.seq.frames_written(), 0);  // the new recording has written nothing yet
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Waiting);
  r.ticks(1);
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Exposing);  // its own first exposure
  r.ticks(2);
  EXPECT_EQ(r.seq.frames_written(), 1);
}

TEST(Sequencer, RecordingAcrossTheClockWrap) {
  Rig r;
  r.settings.exposure = 300;
  r.settings.count = 2;
  r.clock.now = INT32_MAX - 120;
  r.router.route(Command::Record);
  std::vector<int32_t> capture_times;
  r.writer.on_write = [&] { capture_times.push_back(r.clock.now); };
  r.ticks(14);
  ASSERT_EQ(capture_times.size(), 2u);
  EXPECT_EQ(wrap_sub(capture_times[0], INT32_MAX - 120), 300);
  // timed from the base, not from the tick that wrote the start sequence
  EXPECT_EQ(wrap_sub(capture_times[1], capture_times[0]), 300);
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Idle);
}

TEST(CommandRouter, SaveImagesInOnlyWhileIdleAndOtherCommandsGoToTheWindows) {
  Rig r;
  // An identifier no menu item carries, as the window system may deliver.
  const Command unknown = static_cast<Command>(4242);
  std::vector<Command> window_ids;
  CommandRouter router(r.seq, r.acquirer, [&](Command id) {
    window_ids.push_back(id);
    return id != unknown;
  });
  EXPECT_TRUE(router.route(Command::SaveImagesIn));
  EXPECT_TRUE(router.route(Command::About));
  EXPECT_FALSE(router.route(unknown));
  router.route(Command::Record);
  EXPECT_TRUE(router.route(Command::SaveImagesIn));  // dropped while recording
  EXPECT_EQ(window_ids, (std::vector<Command>{Command::SaveImagesIn, Command::About, unknown}));
  r.acquirer.busy_flag = true;
  EXPECT_TRUE(router.route(Command::Exit));
  EXPECT_EQ(window_ids.size(), 3u);
}

// A preview and a calibration run expose exactly as a recording does (the
// same bytes on the port) but write nothing; every new frame reaches the
// listeners with its run, and a calibration run stops after its frames.
TEST(Sequencer, RunsOfEachKindExposeAlikeAndOnlyARecordingWrites) {
  struct Case {
    RunKind kind;
    int32_t frames;
    int writes;
    int32_t taken;  // after 8 exposures' worth of ticks
    bool stopped;
  };
  Bytes recording_bytes;
  for (const Case& c :
       {Case{RunKind::Recording, 0, 8, 8, false}, Case{RunKind::Preview, 0, 0, 8, false},
        Case{RunKind::Calibration, 3, 0, 3, true}}) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    Rig r;
    r.settings.exposure = 100;
    std::vector<std::pair<RunKind, bool>> heard;
    r.seq.add_frame_listener([&](const TakenFrame& t) { heard.emplace_back(t.run, t.written); });
    r.seq.start_run(c.kind, c.frames);
    r.device.clear_log();
    r.ticks(8 * 2 + 1);
    EXPECT_EQ(r.writer.writes, c.writes);
    EXPECT_EQ(r.seq.frames_taken(), c.taken);
    EXPECT_EQ(heard, (std::vector<std::pair<RunKind, bool>>(
                         c.taken, {c.kind, c.kind == RunKind::Recording})));
    EXPECT_EQ(r.seq.capture_state() == CaptureState::Idle, c.stopped);
    if (c.kind == RunKind::Recording) recording_bytes = r.device.log();
    if (!c.stopped) {
      EXPECT_EQ(r.device.log(), recording_bytes);
    }
  }
}

// Record during a preview: the preview's exposure is cut short with the idle
// pattern, the recording's first exposure starts at the next tick and lasts
// its whole length, the controls go straight from Preview to Recording, and
// the status follows each step; Preview again, or Stop, ends a preview.
TEST(Sequencer, PreviewHandsOverToARecordingAtTheNextExposure) {
  struct StatusHost : FakeHost {
    std::vector<RunStatus::State> states;
    void set_status(const RunStatus& status) override {
      if (states.empty() || states.back() != status.state) states.push_back(status.state);
    }
  };
  Rig r;
  StatusHost host;
  r.seq.set_host(&host);
  r.settings.exposure = 200;
  r.router.route(Command::Preview);
  r.ticks(2);                        // 100 ms into the preview's exposure
  EXPECT_TRUE(host.titles.empty());  // a preview names no file in the title
  r.device.clear_log();
  r.router.route(Command::Record);
  EXPECT_EQ(r.device.log(), (Bytes{0x2F, 0x3F}));
  EXPECT_EQ(host.ui_states, (std::vector<UiState>{UiState::Preview, UiState::Recording}));
  r.ticks(3);  // the exposure is timed from the Record: it ends at the fourth tick
  EXPECT_EQ(r.writer.writes, 0);
  r.tick();
  EXPECT_EQ(r.writer.writes, 1);
  r.router.route(Command::Preview);  // nothing during a recording
  EXPECT_EQ(r.seq.run_kind(), RunKind::Recording);
  r.router.route(Command::Stop);
  r.router.route(Command::Preview);
  r.router.route(Command::Preview);
  EXPECT_EQ(r.seq.capture_state(), CaptureState::Idle);
  using S = RunStatus::State;
  EXPECT_EQ(host.states, (std::vector<S>{S::Preview, S::Recording, S::Idle, S::Preview, S::Idle}));
  r.seq.set_host(&r.host);
}

}  // namespace
}  // namespace noctra
