// The live stack's files and its two users: `noctra --stack` on recordings
// of each format (the files read back by astropy and Siril), and the
// stacking session fed from another thread.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "app/command_line.h"
#include "app/recording_frames.h"
#include "app/stack_command.h"
#include "app/stack_session.h"
#include "camera/sim_sky_camera.h"
#include "config/temp_folder.h"
#include "imaging/field_selection.h"
#include "imaging/synthetic_sky.h"
#include "output/calibration_library.h"
#include "output/container.h"
#include "output/formats.h"
#include "output/timing_log.h"
#include "support/fake_clock.h"

namespace noctra {
namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 6;
constexpr int64_t kFirstStartUs = 1796677445123000;  // 2026-12-07T21:04:05.123Z

test::SkyScene small_scene() {
  test::SkyScene scene;
  scene.width = 320;
  scene.height = 240;
  scene.stars = test::scattered_stars(scene, 40, 10, 150, 17, 30);
  return scene;
}

RigidTransform drift(const test::SkyScene& scene, int i) {
  return test::moved(scene, 1.6 * i, -0.9 * i, 0.05 * i);
}

// Two-second exposures, one every three seconds.
FrameTiming timing_of(int i) {
  const int64_t start = kFirstStartUs + int64_t{i} * 3'000'000;
  return {Instant{start, 0}, Instant{start + 2'000'000, 0}, std::nullopt, std::nullopt};
}

// A closed container of the format the extension names.
std::unique_ptr<RecordingContainer> container_for(std::string_view extension) {
  return format_of_path(extension).make_container(posix_writer_io());
}

// A recording of the scene's drifting frames, with its timing record.
void record(RecordingContainer& container, const std::string& path, const test::SkyScene& scene) {
  TimingLog timing;
  ASSERT_EQ(timing.open(timing_path_for(path)), 0);
  for (int i = 0; i < kFrames; ++i) {
    const FrameImage frame = test::sky_frame(scene, drift(scene, i), 50 + i);
    if (i == 0) {
      ASSERT_TRUE(container.open(path, frame, timing_of(0), {}).ok());
    }
    ASSERT_EQ(timing.append(i, timing_of(i), "Low Res"), 0);
    ASSERT_TRUE(container.append(frame, timing_of(i), {}).ok());
  }
  ASSERT_TRUE(container.close(false).ok());
  timing.close();
}

std::string run(const std::string& command) {
  std::string output;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  char buffer[4096];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
  return output;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct StackRun {
  int status = 0;
  std::string err;
};

StackRun stack(const StackRequest& request) {
  std::ostringstream err;
  StackRun run;
  run.status = run_stack(request, err);
  run.err = err.str();
  return run;
}

TEST(StackCommand, StacksEveryFormatAlikeIntoFilesAstropyAndSirilRead) {
  test::TempFolder folder;
  const test::SkyScene scene = small_scene();
  const std::pair<const char*, std::unique_ptr<RecordingContainer>> formats[] = {
      {"m42_avi.avi", container_for(".avi")},
      {"m42_ser.ser", container_for(".ser")},
      {"m42_fits.fits", container_for(".fits")}};
  std::string first_csv;
  for (const auto& [name, container] : formats) {
    SCOPED_TRACE(name);
    const std::string path = (folder / name).string();
    record(*container, path, scene);
    const StackRun run = stack({path, "", "", ""});
    ASSERT_EQ(run.status, 0) << run.err;
    const StackPaths paths = stack_paths_for_recording(path);
    EXPECT_EQ(run.err, "noctra: " + paths.fits + ": 6 of 6 frames stacked, 12 s\n");
    EXPECT_TRUE(fs::exists(paths.png));
    const std::string csv = read_text(paths.csv);
    if (first_csv.empty()) first_csv = csv;
    EXPECT_EQ(csv, first_csv);
  }
  std::istringstream rows(first_csv);
  std::string line;
  std::getline(rows, line);
  EXPECT_EQ(line, kStackCsvHeader);
  for (int i = 0; std::getline(rows, line); ++i) {
    double dx = 0, dy = 0, rotation = 0;
    int frame = -1, accepted = 0;
    ASSERT_EQ(
        std::sscanf(line.c_str(), "%d,%d,,%lf,%lf,%lf", &frame, &accepted, &dx, &dy, &rotation), 5)
        << line;
    EXPECT_EQ(frame, i);
    EXPECT_EQ(accepted, 1);
    // y down the picture: the stored rows' drift turned over.
    EXPECT_NEAR(dx, 1.6 * i, 0.05) << line;
    EXPECT_NEAR(dy, 0.9 * i, 0.05) << line;
    EXPECT_NEAR(rotation, 0.05 * i, 0.01) << line;
  }

  const std::string fits = stack_paths_for_recording((folder / "m42_avi.avi").string()).fits;
  const std::string astropy = run(
      "/usr/bin/python3 -c \"import sys; from astropy.io import fits; h = "
      "fits.open(sys.argv[1])[0]; "
      "print(h.header['NCOMBINE'], h.header['NREJECT'], h.header['EXPTIME'], h.header['DATE-OBS'], "
      "h.header['DATE-END'], h.data.shape, h.data.dtype, round(float(h.data.mean())))\" " +
      fits + " 2>&1");
  EXPECT_EQ(astropy,
            "6 0 12.0 2026-12-07T21:04:05.123 2026-12-07T21:04:22.123 (240, 320) >f4 20\n");

  if (!fs::exists("/usr/bin/siril-cli")) GTEST_SKIP() << "siril-cli is not installed";
  std::ofstream(folder / "check.ssf") << "requires 1.0.0\nload m42_fits.stack.fits\nstat\n"
                                         "load m42_fits.stack.png\nstat\n";
  const std::string siril = run(
      "cd " + folder.path().string() + " && HOME=" + folder.path().string() +
      " XDG_CONFIG_HOME=" + (folder / ".config").string() + " siril-cli -d . -s check.ssf 2>&1");
  EXPECT_NE(siril.find("Reading FITS: file m42_fits.stack.fits, 1 layer(s), 320x240 pixels"),
            std::string::npos)
      << siril;
  EXPECT_NE(siril.find("Reading PNG: 16-bit file m42_fits.stack.png, 1 layer(s), 320x240"),
            std::string::npos);
  EXPECT_NE(siril.find("Script execution finished successfully"), std::string::npos);
}

// The galaxy's light at its centre over the sky, in sigmas of one pixel's
// noise: the mean of the 5 x 5 pixels there less the median of a patch of
// sky beside it, over that patch's standard deviation.
double galaxy_contrast(const FloatPlane& plane, double x, double row) {
  const int gx = static_cast<int>(std::lround(x)), gy = static_cast<int>(std::lround(row));
  double core = 0;
  for (int q = gy - 2; q <= gy + 2; ++q) {
    for (int k = gx - 2; k <= gx + 2; ++k) core += plane.row(q)[k] / 25;
  }
  std::vector<float> sky;
  for (int q = gy - 30; q < gy + 30; ++q) {
    for (int k = gx - 110; k < gx - 70; ++k) sky.push_back(plane.row(q)[k]);
  }
  std::nth_element(sky.begin(), sky.begin() + static_cast<std::ptrdiff_t>(sky.size() / 2),
                   sky.end());
  const double median = sky[sky.size() / 2];
  double squares = 0;
  for (const float v : sky) squares += (v - median) * (v - median);
  return (core - median) / std::sqrt(squares / static_cast<double>(sky.size()));
}

// Sixteen 4 s frames of the simulated camera, drifting and turning, as the
// program records them (the long field kept): the galaxy, lost in one
// frame's noise, stands out of the stack's.
TEST(StackCommand, TheSimulatedGalaxyGrowsOutOfTheNoise) {
  struct NoEvents final : EventPump {
    void run_until(const std::function<bool()>&) override {}
    bool quitting() const override { return true; }
  } pump;
  test::FakeClock clock;
  StillWindowRegistry windows;
  SimSkyCamera camera(clock, pump, windows, nullptr, {.rotation_deg_per_min = 1});
  test::TempFolder folder;
  const std::string path = (folder / "night.avi").string();
  auto avi = container_for(".avi");
  double single = 0;
  for (int i = 0; i < 16; ++i) {
    const std::vector<uint8_t> dib = camera.render({5000 * i, 5000 * i + 4000, 0});
    FrameHolder frame = FrameImage::from_header(dib.data());
    std::memcpy(frame->pixels(), dib.data() + kBitmapHeaderSize, frame->rows_size());
    select_field(frame);
    if (i == 0) {
      ASSERT_TRUE(avi->open(path, *frame, {}, {}).ok());
      PlaneBuffer planes;
      planes_from_frame(*frame, planes);
      const auto centre = camera.sky_position(camera.galaxy_centre(), 2.0);
      single = galaxy_contrast(planes.view().planes[0], centre.x, centre.y);
    }
    ASSERT_TRUE(avi->append(*frame, {}, {}).ok());
  }
  ASSERT_TRUE(avi->close(false).ok());
  const StackRun run = stack({path, "", "", ""});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("16 of 16 frames stacked"), std::string::npos) << run.err;
  Result<RecordingFrames> stacked = RecordingFrames::open(stack_paths_for_recording(path).fits);
  ASSERT_TRUE(stacked) << stacked.message();
  RecordedFrame picture;
  ASSERT_TRUE(stacked->read(0, picture).ok());
  const auto centre = camera.sky_position(camera.galaxy_centre(), 2.0);
  const double together = galaxy_contrast(picture.planes.view().planes[0], centre.x, centre.y);
  std::printf("galaxy over the sky: %.2f sigma in one frame, %.2f in the stack of 16\n", single,
              together);
  EXPECT_LT(single, 1.0);
  EXPECT_GT(together, 3 * single);
  EXPECT_GT(together, 1.5);
}

// A master dark of the glow in the top right corner of small_scene's frames
// (40 ADU over 40 x 40 pixels, 2 s), saved in the folder's library.
std::string small_dark(const fs::path& folder, int32_t width, int32_t height) {
  StoredMaster dark;
  dark.identity = {width, height, "sim", "sim", CaptureMode::LowRes, KeptField::Both, false};
  dark.master.kind = MasterKind::Dark;
  dark.master.times = {2.0, 2.0};
  dark.master.frames_combined = 16;
  dark.master.image.resize(width, height, 1);
  for (int32_t q = 0; q < height; ++q) {
    for (int32_t x = 0; x < width; ++x) {
      dark.master.image.samples[static_cast<std::size_t>(q) * width + x] =
          x >= width - 40 && q >= height - 40 ? 40.0F : 0.0F;
    }
  }
  Result<fs::path> saved = CalibrationLibrary(folder / "library").save(dark);
  EXPECT_TRUE(saved) << saved.message();
  return saved ? saved->string() : std::string();
}

// The recording's frames less the dark: the corner's glow is gone from the
// stack, and its header names the dark.
TEST(StackCommand, AGivenDarkIsTakenOffEveryFrame) {
  test::TempFolder folder;
  const test::SkyScene scene = small_scene();
  const std::string path = (folder / "glow.ser").string();
  {
    auto ser = container_for(".ser");
    TimingLog timing;
    ASSERT_EQ(timing.open(timing_path_for(path)), 0);
    for (int i = 0; i < kFrames; ++i) {
      FrameImage frame = test::sky_frame(scene, drift(scene, i), 50 + i);
      for (int32_t q = frame.height() - 40; q < frame.height(); ++q) {
        for (int32_t b = (frame.width() - 40) * 3; b < frame.width() * 3; ++b) {
          frame.row(q)[b] = static_cast<uint8_t>(std::min(255, frame.row(q)[b] + 40));
        }
      }
      if (i == 0) {
        ASSERT_TRUE(ser->open(path, frame, timing_of(0), {}).ok());
      }
      ASSERT_EQ(timing.append(i, timing_of(i), "Low Res"), 0);
      ASSERT_TRUE(ser->append(frame, timing_of(i), {}).ok());
    }
    ASSERT_TRUE(ser->close(false).ok());
  }
  const auto corner_over_median = [&](const std::string& dark) {
    const StackRun run = stack({path, dark, "", ""});
    EXPECT_EQ(run.status, 0) << run.err;
    Result<RecordingFrames> stacked = RecordingFrames::open(stack_paths_for_recording(path).fits);
    RecordedFrame picture;
    if (!stacked || !stacked->read(0, picture)) return -1000.0;
    const PlaneBuffer& p = picture.planes;
    std::vector<float> all(p.plane(0), p.plane(0) + p.plane_size());
    std::nth_element(all.begin(), all.begin() + all.size() / 2, all.end());
    double corner = 0;
    for (int32_t q = p.height() - 30; q < p.height() - 10; ++q) {
      for (int32_t x = p.width() - 30; x < p.width() - 10; ++x) {
        corner += p.plane(0)[static_cast<std::size_t>(q) * p.width() + x] / 400.0;
      }
    }
    return corner - all[all.size() / 2];
  };
  EXPECT_GT(corner_over_median(""), 30);
  EXPECT_LT(std::abs(corner_over_median(small_dark(folder.path(), 320, 240))), 2.0);
  EXPECT_NE(read_text(stack_paths_for_recording(path).fits).find("CALDARK = 'dark_320x240"),
            std::string::npos);
}

TEST(StackCommand, ExitStatusesAndMessages) {
  test::TempFolder folder;
  const std::string corrupt = (folder / "corrupt.ser").string();
  std::ofstream(corrupt) << std::string(300, 'x');
  // A recording whose frames are all black: nothing to stack, the reasons written.
  const std::string black = (folder / "black.fits").string();
  {
    auto container = container_for(".fits");
    const FrameImage frame = *FrameImage::create(64, 48);
    ASSERT_TRUE(container->open(black, frame, {}, {}).ok());
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(container->append(frame, {}, {}).ok());
    ASSERT_TRUE(container->close(false).ok());
  }
  const std::string recording = (folder / "sky.ser").string();
  record(*container_for(".ser"), recording, small_scene());
  const std::string chosen = (folder / "chosen.fits").string();
  const struct {
    StackRequest request;
    int status;
    std::string says;
  } cases[] = {
      {{(folder / "missing.avi").string(), "", "", ""}, 2, "Can't open"},
      {{corrupt, "", "", ""}, 2, "is not a SER file"},
      {{recording, "dark.fits", "", ""}, 2, "--dark dark.fits: "},
      {{recording, small_dark(folder.path(), 64, 48), "", ""},
       2,
       "is 64 x 48, the recording's frames 320 x 240"},
      {{recording, "", small_dark(folder.path(), 320, 240), ""}, 2, "is a master of another kind"},
      {{black, "", "", ""}, 1, "no frame of " + black + " could be stacked (2 no_stars)"},
      {{recording, "", "", chosen}, 0, chosen + ": 6 of 6 frames stacked"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.recording);
    const StackRun run = stack(c.request);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  EXPECT_EQ(read_text((folder / "black.stack.csv").string()),
            std::string(kStackCsvHeader) + "\n0,0,no_stars,,,,0,0,,\n1,0,no_stars,,,,0,0,,\n");
  EXPECT_FALSE(fs::exists(folder / "black.stack.fits"));
  EXPECT_TRUE(fs::exists(folder / "chosen.png") && fs::exists(folder / "chosen.csv"));

  const struct {
    std::vector<std::string> args;
    bool ok;
  } lines[] = {
      {{"--stack", "a.ser"}, true},
      {{"--stack", "a.ser", "--dark", "d.fits", "--flat", "f.fits", "--output", "s.fits"}, true},
      {{"--dark", "d.fits"}, false},
      {{"--stack"}, false},
      {{"--stack", "a.ser", "--headless"}, false},
      {{"--stack", "a.ser", "--measure", "a.ser"}, false},
  };
  for (const auto& l : lines) {
    const auto parsed = parse_command_line(l.args);
    EXPECT_EQ(parsed.ok(), l.ok) << l.args.size() << " " << parsed.message();
    if (parsed && l.args.size() > 2) {
      EXPECT_EQ(parsed->mode, CommandLine::Mode::Stack);
      EXPECT_EQ(parsed->stack.dark, "d.fits");
      EXPECT_EQ(parsed->stack.output, "s.fits");
      EXPECT_FALSE(parsed->options.output);
    }
  }
}

// A calibration that holds the worker until the test lets it go, so the
// queue fills as when the stacking falls behind the camera.
class Gate {
 public:
  bool pass(const FrameImage&, const FrameTiming&, FloatPlanes&) {
    entered_ = true;
    while (!open_) std::this_thread::yield();
    return false;  // stacked raw
  }
  std::atomic<bool> entered_{false};
  std::atomic<bool> open_{false};
};

TEST(StackSession, StacksOnItsWorkerDropsWhenBehindAndSaves) {
  test::TempFolder folder;
  const test::SkyScene scene = small_scene();
  std::vector<FrameImage> frames;
  for (int i = 0; i < kFrames; ++i)
    frames.push_back(test::sky_frame(scene, drift(scene, i), 80 + i));

  StackSession::Options options;
  options.queue_frames = 2;
  StackSession session(options);
  EXPECT_FALSE(session.feed(frames[0], timing_of(0), 0));  // not started
  const std::string recording = (folder / "m42_000.ser").string();
  session.start(recording);
  Gate gate;
  session.set_calibration([&gate](const FrameImage& f, const FrameTiming& t, FloatPlanes& p,
                                  std::optional<double>&) { return gate.pass(f, t, p); },
                          "dark_2000ms.fits", "", 1.0);
  // The worker holds frame 0; frames 1 and 2 wait; 3 finds no slot.
  ASSERT_TRUE(session.feed(frames[0], timing_of(0), 0));
  while (!gate.entered_) std::this_thread::yield();
  EXPECT_TRUE(session.feed(frames[1], timing_of(1), 1));
  EXPECT_TRUE(session.feed(frames[2], timing_of(2), 2));
  EXPECT_FALSE(session.feed(frames[3], timing_of(3), 3));
  EXPECT_EQ(session.status().counts.of(FrameVerdict::Dropped), 1);
  EXPECT_EQ(session.status().waiting, 2);
  gate.open_ = true;
  // The rest from another thread, as the sequencer's, each when the queue
  // has emptied.
  std::thread camera([&] {
    for (int i = 4; i < kFrames; ++i) {
      while (session.status().waiting > 0) std::this_thread::yield();
      EXPECT_TRUE(session.feed(frames[static_cast<std::size_t>(i)], timing_of(i), i));
    }
  });
  camera.join();
  const Result<StackPaths> saved = session.save().get();
  ASSERT_TRUE(saved) << saved.message();
  EXPECT_EQ(saved->fits, (folder / "m42_000.stack.fits").string());
  const StackSessionStatus status = session.status();
  EXPECT_EQ(status.counts.stacked(), 5);
  EXPECT_EQ(status.counts.left_out_text(), "1 dropped");
  EXPECT_DOUBLE_EQ(status.integration_s, 10);
  ASSERT_TRUE(status.last);
  EXPECT_EQ(status.last->frame, 5);
  EXPECT_NEAR(status.last->transform.dx, 1.6 * 5, 0.05);
  EXPECT_EQ(session.recent_frames(2).size(), 2u);
  EXPECT_NE(read_text(saved->csv).find("\n3,0,dropped,,,,0,0,,\n4,1,,"), std::string::npos);
  const std::string header =
      run("/usr/bin/python3 -c \"import sys; from astropy.io import fits; h = "
          "fits.open(sys.argv[1])[0]; "
          "print(h.header['NCOMBINE'], h.header['NREJECT'], h.header['CALDARK'], "
          "h.header['DARKSCAL'])\" " +
          saved->fits + " 2>&1");
  EXPECT_EQ(header, "5 1 dark_2000ms.fits 1.0\n");

  FrameHolder view;
  uint64_t seen = 0;
  ASSERT_TRUE(session.copy_view(view, seen));
  ASSERT_TRUE(view);
  EXPECT_EQ(view->width(), scene.width);
  EXPECT_FALSE(session.copy_view(view, seen));
  // Reset: an empty stack, the view cleared, the next frame its reference.
  session.reset();
  EXPECT_EQ(session.status().counts.stacked(), 0);
  EXPECT_TRUE(session.copy_view(view, seen));
  EXPECT_FALSE(view);
  ASSERT_TRUE(session.feed(frames[1], timing_of(1), 7));
  const Result<StackPaths> again = session.save().get();
  ASSERT_TRUE(again);
  EXPECT_NE(read_text(again->csv).find("\n7,1,,0.000,0.000,0.0000,"), std::string::npos);
}

// Stop saves and Record starts the next stack at once: the save, still
// waiting behind a frame, writes the stack it was asked for.
TEST(StackSession, ASaveKeepsItsStackWhenTheNextStartsFirst) {
  test::TempFolder folder;
  const test::SkyScene scene = small_scene();
  StackSession session;
  Gate gate;
  session.set_calibration([&gate](const FrameImage& f, const FrameTiming& t, FloatPlanes& p,
                                  std::optional<double>&) { return gate.pass(f, t, p); },
                          "", "", std::nullopt);
  session.start((folder / "a.avi").string());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(session.feed(test::sky_frame(scene, drift(scene, i), 80 + i), timing_of(i), i));
  }
  while (!gate.entered_) std::this_thread::yield();
  std::future<Result<StackPaths>> saved = session.save();
  session.start((folder / "b.avi").string());
  gate.open_ = true;
  const Result<StackPaths> a = saved.get();
  ASSERT_TRUE(a) << a.message();
  EXPECT_EQ(a->fits, (folder / "a.stack.fits").string());
  const std::string rows = read_text(a->csv);
  EXPECT_NE(rows.find("\n0,1,"), std::string::npos) << rows;
  EXPECT_NE(rows.find("\n1,1,"), std::string::npos) << rows;
  EXPECT_EQ(session.status().recording, (folder / "b.avi").string());
  EXPECT_EQ(session.status().counts.stacked(), 0);
}

}  // namespace
}  // namespace noctra
