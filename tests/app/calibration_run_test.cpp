// Capturing master frames: a whole master from the simulated camera through
// `noctra --headless --calibrate` (read back by the library and astropy),
// and every way a capture can end early without leaving a file.

#include "app/calibration_run.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "output/faulty_io.h"
#include "output/readers.h"
#include "support/fake_acquirer.h"
#include "support/fake_clock.h"
#include "support/fake_writer.h"

namespace noctra {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

std::vector<fs::path> files_in(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) files.push_back(entry.path());
  return files;
}

TEST(HeadlessCalibration, SavesAMasterThatTheLibraryAndAstropyRead) {
  TempFolder dir;
  ASSERT_EQ(setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1), 0);
  std::ofstream(dir.file("Noctra.ini"))
      << "[Hardware]\nPort=sim\nSource=sim\n[Simulation]\nCovered=1\n[Capture]\nExposure=1500\n";
  struct Case {
    MasterKind kind;
    std::optional<int32_t> exposure;
    const char* image_type;
  };
  for (const Case& c : {Case{MasterKind::Dark, 120, "Master Dark"},
                        Case{MasterKind::Bias, std::nullopt, "Master Bias"}}) {
    AppOptions options;
    options.settings_file = dir.file("Noctra.ini");
    options.exposure = c.exposure;
    std::atomic<bool> interrupt{false};
    std::ostringstream log;
    ASSERT_EQ(run_headless_calibration(options, c.kind, 3, interrupt, log), 0) << log.str();
    EXPECT_NE(log.str().find(std::string(master_kind_word(c.kind)) + " frames: 3/3"),
              std::string::npos)
        << log.str();

    CalibrationLibrary library(dir.path() / "data/noctra/calibration");
    EXPECT_TRUE(library.scan().empty());
    const auto master =
        std::find_if(library.masters().begin(), library.masters().end(),
                     [&](const StoredMaster& m) { return m.master.kind == c.kind; });
    ASSERT_NE(master, library.masters().end());
    EXPECT_EQ(master->master.frames_combined, 3);
    EXPECT_EQ(master->identity.device, "sim");
    // The timing record's integration: the exposure asked for, to a tick.
    const double seconds = c.exposure.value_or(0) / 1000.0;
    EXPECT_NEAR(master->master.times.integration_s, seconds, 0.06);
    EXPECT_NE(log.str().find(master->file.string()), std::string::npos) << log.str();

    const auto astropy = test::run_command(
        "/usr/bin/python3 -c " +
        test::shell_quote("import sys\nfrom astropy.io import fits\n"
                          "h = fits.getheader(sys.argv[1])\n"
                          "print(h['IMAGETYP'], h['NCOMBINE'], '%.6f' % h['EXPTIME'])\n") +
        " " + test::shell_quote(master->file.string()));
    char expected[96];
    std::snprintf(expected, sizeof expected, "%s 3 %.6f\n", c.image_type,
                  master->master.times.integration_s);
    EXPECT_EQ(astropy.value_or(""), expected);
    // The bias's own exposure never reaches the saved settings.
    EXPECT_EQ(load_settings(dir.file("Noctra.ini"), "/h").exposure, 1500);
  }
}

struct FakeHost : SequencerHost {
  std::vector<Command> posted;
  void set_title(const std::string&) override {}
  void set_ui_state(UiState, bool) override {}
  void repaint_main(const FrameHolder&) override {}
  void repaint_guide(const FrameHolder&) override {}
  void post_command(Command id) override { posted.push_back(id); }
  void layout_if_idle() override {}
  void beep() override {}
};

struct Rig {
  TempFolder folder;
  Settings settings;
  test::FakeClock clock;
  SimPortDevice device{0x00};
  CameraPort port{device};
  test::FakeAcquirer acquirer;
  test::FakeWriter writer;
  FakeHost host;
  test::FaultyWriterIo io;
  Sequencer seq{settings, clock, port, acquirer, writer, &host};
  CommandRouter router{seq, acquirer, nullptr};
  CalibrationRun run{{seq, settings, acquirer, clock,
                      [] {
                        return CaptureDevice{"sim", "sim"};
                      },
                      folder.path() / "calibration", &io, 5000}};

  Rig() {
    settings.exposure = 300;
    settings.delay = 100;
  }
  void tick() {
    clock.advance(50);
    seq.sequencer_tick();
    for (Command id : std::exchange(host.posted, {})) router.route(id);
  }
  // Ticks until the capture is over (the worker combines on its own thread).
  CalibrationProgress settle() {
    for (int i = 0; i < 2000; ++i) {
      tick();
      if (const CalibrationProgress p = run.poll(); p.over() && !run.busy()) return p;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return run.poll();
  }
  void ticks_until_frames(int32_t frames) {
    for (int i = 0; i < 200 && run.poll().frames_in < frames; ++i) tick();
  }
};

TEST(CalibrationRun, EndsWithoutAMasterWhenCutShort) {
  struct Case {
    const char* name;
    MasterKind kind;
    std::function<void(Rig&)> after_two_frames;
    const char* says;
  };
  const Case cases[] = {
      {"cancel", MasterKind::Bias, [](Rig& r) { r.run.cancel(); }, "Cancelled after 2 of 4"},
      {"stop", MasterKind::Bias, [](Rig& r) { r.router.route(Command::Stop); },
       "stopped after 2 of 4"},
      {"record", MasterKind::Dark, [](Rig& r) { r.router.route(Command::Record); },
       "stopped after 2 of 4"},
      {"source gone", MasterKind::Bias, [](Rig& r) { r.acquirer.available = false; },
       "source went away after 2 of 4"},
      {"source silent", MasterKind::Dark, [](Rig& r) { r.acquirer.failures.assign(1000, true); },
       "No frame came"},
      {"disk full", MasterKind::Dark,
       [](Rig& r) { r.io.fault = [](off_t, std::size_t) { return ENOSPC; }; },
       "No space left on device"},
  };
  for (const Case& c : cases) {
    Rig r;
    ASSERT_TRUE(r.run.start(c.kind, 4)) << c.name;
    EXPECT_EQ(r.settings.exposure, c.kind == MasterKind::Bias ? 0 : 300) << c.name;
    r.ticks_until_frames(2);
    c.after_two_frames(r);
    const CalibrationProgress p = r.settle();
    EXPECT_EQ(p.state, CalibrationProgress::State::Failed) << c.name;
    EXPECT_NE(p.error.find(c.says), std::string::npos) << c.name << ": " << p.error;
    EXPECT_TRUE(files_in(r.folder.path() / "calibration").empty()) << c.name;
    EXPECT_EQ(std::tie(r.settings.exposure, r.settings.delay), std::tuple(300, 100)) << c.name;
    // A recording started meanwhile goes on; nothing else runs on or was written.
    if (std::string(c.name) != "record") {
      EXPECT_EQ(r.seq.capture_state(), CaptureState::Idle) << c.name;
      EXPECT_EQ(r.writer.writes, 0) << c.name;
    }
  }
}

TEST(CalibrationRun, IsRefusedDuringARecordingAndTellsOfASavedMaster) {
  Rig r;
  r.router.route(Command::Record);
  const Status refused = r.run.start(MasterKind::Dark, 4);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.message().find("A recording is running"), std::string::npos);
  EXPECT_EQ(r.seq.run_kind(), RunKind::Recording);
  r.router.route(Command::Stop);

  std::vector<fs::path> told;
  r.run.add_saved_listener([&](const CalibrationResult& result) { told.push_back(result.file); });
  ASSERT_TRUE(r.run.start(MasterKind::Dark, 4));
  const CalibrationProgress p = r.settle();
  ASSERT_EQ(p.state, CalibrationProgress::State::Saved) << p.error;
  EXPECT_EQ(p.frames_in, 4);
  EXPECT_EQ(told, std::vector<fs::path>{p.result->file});
  EXPECT_EQ(files_in(r.folder.path() / "calibration"), told);
  EXPECT_EQ(r.acquirer.acquisitions, 4);
}

}  // namespace
}  // namespace noctra
