// The masters the session picks for the frames that come, and a calibrated
// FITS recording of the covered simulated camera read back by astropy.

#include "app/calibration_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "camera/camera_fakes.h"
#include "imaging/field_selection.h"
#include "output/writer_fixture.h"

namespace noctra {
namespace {

using test::TempFolder;

constexpr int32_t kWidth = 64, kHeight = 48;
const SourceIdentity kSource{"v4l2:/dev/video0", "YUYV"};

FrameTiming timing_of(double seconds) {
  return {Instant{1'796'677'445'000'000, 0},
          Instant{1'796'677'445'000'000 + int64_t(seconds * 1e6), int64_t(seconds * 1e6)},
          std::nullopt, std::nullopt};
}

FrameImage grey_frame(int32_t width, int32_t height, uint8_t value) {
  FrameImage frame = *FrameImage::create(width, height);
  for (int32_t y = 0; y < height; ++y) std::memset(frame.row(y), value, width * 3);
  return frame;
}

// Polls until `done` holds (a worker's result), for at most five seconds.
bool wait_for(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A master of even value (but for one hot pixel at `hot`), with the identity
// of the frames it is for.
void save_master(CalibrationLibrary& library, MasterKind kind, MasterIdentity identity,
                 double seconds, float value, int32_t hot = -1) {
  StoredMaster stored;
  stored.master.kind = kind;
  stored.master.times = {seconds, seconds};
  stored.master.frames_combined = 16;
  stored.master.image.resize(identity.width, identity.height, 1);
  std::fill(stored.master.image.samples.begin(), stored.master.image.samples.end(), value);
  if (hot >= 0) stored.master.image.samples[hot] = 250;
  stored.identity = std::move(identity);
  ASSERT_TRUE(library.save(stored).ok());
}

MasterIdentity identity(int32_t width, int32_t height, const std::string& format, bool amp) {
  return {width, height, kSource.device, format, CaptureMode::LowRes, KeptField::Both, amp};
}

TEST(CalibrationSession, ChoosesOnlyMastersOfTheFramesSizeFormatModeAndAmplifier) {
  TempFolder folder;
  CalibrationLibrary library(folder.path());
  save_master(library, MasterKind::Bias, identity(kWidth, kHeight, "YUYV", false), 0.05, 10);
  save_master(library, MasterKind::Dark, identity(kWidth, kHeight, "YUYV", false), 10, 30);
  std::ofstream(folder.path() / "notes.fits") << "not a FITS file";
  CalibrationSession session(folder.path());
  session.set_fit_scale(false);  // an even frame has no noise for k to follow
  const struct {
    const char* what;
    int32_t width;
    std::string format;
    bool amp_switching;
    bool applied;
    const char* status;
  } cases[] = {
      {"its own masters", kWidth, "YUYV", false, true, "Calibrated: dark dark_64x48"},
      {"another size", 32, "YUYV", false, false,
       "Raw frames; no master bias for 32 x 48 YUYV, Low Res, amplifier on; no master dark"},
      {"another format", kWidth, "GREY", false, false, "no master dark for 64 x 48 GREY"},
      {"amplifier switched", kWidth, "YUYV", true, false, "amplifier switched (exposure 10 s)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const FrameImage frame = grey_frame(c.width, kHeight, 50);
    FloatPlanes out;
    std::shared_ptr<const CalibrationChoice> choice;
    const FrameMetadata how{CaptureMode::LowRes, KeptField::Both, c.amp_switching, 1, 1};
    const CalibrationReport report =
        session.calibrate(frame, timing_of(10), how, {kSource.device, c.format}, out, &choice);
    EXPECT_EQ(report.dark_applied, c.applied);
    // Taken off: the bias, and the dark's thermal signal (20).
    EXPECT_NEAR(out.plane(0)[0], c.applied ? 20 : 50, 0.5);
    const std::string status = calibration_status(*choice, report, 10);
    EXPECT_NE(status.find(c.status), std::string::npos) << status;
  }
  const std::vector<std::string> notes = session.take_messages();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("notes.fits skipped"), std::string::npos) << notes[0];
  session.rescan();
  FloatPlanes out;
  session.calibrate(grey_frame(kWidth, kHeight, 50), timing_of(10), {}, kSource, out);
  EXPECT_TRUE(session.take_messages().empty());
}

TEST(CalibrationSession, AnEmptyLibraryShowsTheRawFrame) {
  TempFolder folder;
  std::atomic<int> ready{0};
  CalibrationSession session(folder.path() / "none", [&] { ++ready; });
  const FrameImage frame = test::pattern_frame(kWidth, kHeight, 3);
  session.calibrate_view(frame, timing_of(2), {}, kSource);
  FrameHolder shown;
  std::optional<std::string> status;
  ASSERT_TRUE(wait_for([&] { return (status = session.take_view(shown)).has_value(); }));
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(status->rfind("Raw frames; no master bias", 0), 0u) << *status;
  ASSERT_TRUE(shown);
  EXPECT_EQ(std::memcmp(shown->pixels(), frame.pixels(), frame.rows_size()), 0);
}

TEST(CalibrationSession, GuideFramesLoseTheDarksHotPixels) {
  TempFolder folder;
  CalibrationLibrary library(folder.path());
  const int32_t hot = 20 * kWidth + 20;
  save_master(library, MasterKind::Dark, identity(kWidth, kHeight, "YUYV", false), 0.5, 30, hot);
  CalibrationSession session(folder.path());
  FrameHolder guide = grey_frame(kWidth, kHeight, 50);
  std::memset(guide->row(20) + 3 * 20, 250, 3);
  const int64_t number = session.correct_guide(*guide, {}, kSource, 0.5);
  ASSERT_TRUE(wait_for([&] { return session.take_guide(guide, number); }));
  EXPECT_EQ(guide->row(20)[3 * 20], 50);
  EXPECT_EQ(guide->row(20)[3 * 21], 50);
}

// The covered simulated camera, 10 s exposures with the amplifier on, the
// masters combined from 16 frames each; then a calibrated FITS recording of
// one more covered frame: float32 samples, the glow gone from its corner.
TEST(CalibrationSession, ACalibratedRecordingOfTheCoveredCameraIsFlatInAstropy) {
  TempFolder folder;
  test::SkyRig rig;
  rig.camera->set_covered(true);
  const FrameMetadata how{CaptureMode::LowRes, KeptField::Even, false, 1, 1};
  const SourceIdentity sim{"sim", "sim"};
  const auto expose = [&](int32_t ms) {
    FrameHolder holder{rig.expose(ms)};
    select_field(holder);
    return std::move(*holder);
  };
  CalibrationLibrary library(folder.path() / "masters");
  for (const auto& [kind, ms] : {std::pair{MasterKind::Bias, 0}, {MasterKind::Dark, 10000}}) {
    MasterCombiner combiner(kind);
    for (int i = 0; i < 16; ++i) combiner.add(expose(ms), {ms / 1000.0, ms / 1000.0});
    StoredMaster stored{*combiner.finish(), frame_identity(640, 480, how, sim)};
    ASSERT_TRUE(library.save(stored).ok());
  }
  const FrameImage light = expose(10000);

  CalibrationSession session(folder.path() / "masters");
  Settings settings;
  settings.image_file_path = (folder.path() / "covered.fits").string();
  test::RecordingReporter reporter;
  Recording recording(settings, reporter, {}, standard_containers());
  recording.set_calibration([] { return true; }, session.recording_calibration());
  session.note_frame(how, sim);
  recording.write_frame(&light, timing_of(10), how);
  recording.close_recording();
  EXPECT_TRUE(reporter.messages.empty()) << reporter.messages.front();

  const std::string script =
      "import sys, numpy as np\nfrom astropy.io import fits\n"
      "with fits.open(sys.argv[1]) as f:\n"
      "    d, h = f[0].data, f[0].header\n"
      "    print(d.dtype.name, h['BITPIX'], h['CALSTAT'], h['CALDARK'][:4],\n"
      "          abs(d[-40:, -40:].mean() - np.median(d)) < 0.5)\n";
  const std::optional<std::string> read = test::run_command(
      "/usr/bin/python3 -c " + test::shell_quote(script) + " " +
      test::shell_quote((folder.path() / "covered_000000.fits").string()) + " 2>&1");
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, "float32 -32 BDH dark True\n");
}

}  // namespace
}  // namespace noctra
