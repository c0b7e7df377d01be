#include "output/recording.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "output/faulty_io.h"
#include "output/fits_container.h"
#include "output/readers.h"
#include "output/recorded_frames.h"
#include "output/recording_naming.h"
#include "output/ser_container.h"
#include "output/ser_repair.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kWidth = 33, kHeight = 17;         // rows of 99 bytes: the frame pads them to 100
constexpr int64_t kFirstStartUs = 1796677445123456;  // 2026-12-07T21:04:05.123456Z

FrameTiming timing_of(int index) {
  const int64_t start = kFirstStartUs + int64_t{index} * 2'000'000;
  return {Instant{start, 1000 + index}, Instant{start + 1'500'250, 2000 + index}, std::nullopt,
          std::nullopt};
}

std::vector<std::string> lines_of(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The frame column of each row of the timing record.
std::vector<std::string> timing_frames(const std::string& recording) {
  std::vector<std::string> frames;
  const std::vector<std::string> lines = lines_of(timing_path_for(recording));
  for (std::size_t k = 1; k < lines.size(); ++k)
    frames.push_back(lines[k].substr(0, lines[k].find(',')));
  return frames;
}

struct RecordingRig {
  explicit RecordingRig(const std::string& name, WriterIo& io = posix_writer_io())
      : recording(settings, reporter, recording_numbering(settings), standard_containers(io), io) {
    settings.image_file_path = folder.file(name);
    settings.instrument = "Modified video camera";
    settings.observer = "Ann";
  }
  void write(std::initializer_list<const FrameImage*> frames, int first_index = 0) {
    for (const FrameImage* frame : frames) {
      recording.write_frame(frame, timing_of(first_index++), FrameMetadata{});
    }
  }
  void write(const std::vector<FrameImage>& frames) {
    for (std::size_t k = 0; k < frames.size(); ++k) {
      recording.write_frame(&frames[k], timing_of(static_cast<int>(k)), FrameMetadata{});
    }
  }
  TempFolder folder;
  Settings settings;
  RecordingReporter reporter;
  Recording recording;
};

// What astropy reads from FITS files: the keys asked for and the data
// bytes (planes, rows, samples) beside each file as <file>.raw.
std::map<std::string, std::string> astropy_keys(const std::vector<std::string>& files) {
  const std::string script =
      "import sys\n"
      "from astropy.io import fits\n"
      "for name in sys.argv[1:]:\n"
      "    with fits.open(name) as hdus:\n"
      "        h = hdus[0].header\n"
      "        print(name, ' '.join(str(h.get(k)) for k in\n"
      "            ('NAXIS1', 'NAXIS2', 'NAXIS3', 'FRAMENO', 'DATE-OBS', 'EXPTIME', 'INSTRUME', "
      "'OBSERVER')))\n"
      "        open(name + '.raw', 'wb').write(hdus[0].data.tobytes())\n";
  std::string command = "/usr/bin/python3 -c " + shell_quote(script);
  for (const std::string& f : files) command.append(" ").append(shell_quote(f));
  std::map<std::string, std::string> keys;
  const std::optional<std::string> out = run_command(command);
  if (!out) return keys;
  std::istringstream lines(*out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    keys[line.substr(0, space)] = line.substr(space + 1);
  }
  return keys;
}

std::vector<uint8_t> rgb_planes(const FrameImage& frame) {
  std::vector<uint8_t> planes;
  for (int p = 0; p < 3; ++p) {
    for (int32_t y = 0; y < frame.height(); ++y) {
      for (int32_t x = 0; x < frame.width(); ++x) planes.push_back(frame.row(y)[x * 3 + 2 - p]);
    }
  }
  return planes;
}

std::vector<uint8_t> file_bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Recording, EachFormatIsReadByItsReadersWithTheTimingRecordBesideIt) {
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
  for (const char* name : {"m42.avi", "m42.SER", "m42.fits"}) {
    SCOPED_TRACE(name);
    RecordingRig rig(name);
    rig.settings.auto_increment = 1;
    rig.write(frames);
    const std::string path = rig.recording.open_path();
    EXPECT_EQ(rig.recording.frames(), 3);
    rig.recording.close_recording();
    EXPECT_TRUE(rig.reporter.messages.empty()) << rig.reporter.messages.front();
    EXPECT_EQ(rig.settings.image_file_path, path);  // numbered, and kept in the settings
    EXPECT_EQ(timing_frames(path), (std::vector<std::string>{"0", "1", "2"}));

    const std::string_view format = format_of_path(path).name;
    if (format == "FITS") {
      EXPECT_EQ(fs::path(path).filename(), "m42_000.fits");
      std::vector<std::string> files;
      for (int i = 0; i < 3; ++i) files.push_back(fits_frame_path(path, i));
      const auto keys = astropy_keys(files);
      ASSERT_EQ(keys.size(), 3u);
      const char* starts[] = {"2026-12-07T21:04:05.123", "2026-12-07T21:04:07.123",
                              "2026-12-07T21:04:09.123"};
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(keys.at(files[i]), "33 17 3 " + std::to_string(i) + " " + starts[i] +
                                         " 1.50025 Modified video camera Ann");
        EXPECT_EQ(file_bytes(files[i] + ".raw"), rgb_planes(frames[i])) << files[i];
      }
      continue;
    }
    const auto probe = probe_video(path);
    EXPECT_EQ(probe.at("nb_read_frames"), "3");
    EXPECT_EQ(probe.at("pix_fmt"), "bgr24");
    EXPECT_EQ(stream_with_ffmpeg(path, kWidth, kHeight, expect_frames(frames, "ffmpeg")), 3);
    if (format == "SER") {
      EXPECT_EQ(fs::path(path).filename(), "m42_000.SER");
      // Closed whole: nothing for a repair to add.
      EXPECT_EQ(repair_ser(path, timing_path_for(path)).outcome, SerRepairOutcome::AlreadyComplete);
    }
  }
}

TEST(Recording, NumberingFollowsEachFormatsExtensionAndNeverReusesARecordingsName) {
  struct Case {
    std::string path;
    std::set<std::string> existing;
    std::string expected;
  };
  const Case cases[] = {
      {"/s/Images.AVI", {}, "/s/Images_000.AVI"},
      {"/s/m42.avi", {"/s/m42_000.avi", "/s/m42_001.avi"}, "/s/m42_002.avi"},
      {"/s/m42.ser", {"/s/m42_000.ser"}, "/s/m42_001.ser"},
      {"/s/M42.SER", {}, "/s/M42_000.SER"},
      {"/s/m42_007.ser", {"/s/m42_007.ser"}, "/s/m42_008.ser"},
      {"/s/m42.fits", {"/s/m42_000.fits"}, "/s/m42_001.fits"},
      {"/s/m42_5.fit", {}, "/s/m42_5_000.fit"},
      {"/s/m42.mpg", {}, "/s/m42.mpg"},
      {"/s/m42.ser.txt", {}, "/s/m42.ser.txt"},
  };
  for (const Case& c : cases) {
    std::string path = c.path;
    const NumberingResult result = number_recording_path(
        path, 1, [&](const std::string& p) { return c.existing.count(p) > 0; });
    EXPECT_EQ(path, c.expected) << c.path;
    EXPECT_TRUE(may_open_output(result)) << c.path;
  }

  // A FITS recording is there while any of its frames is, even without its first.
  TempFolder folder;
  std::ofstream(folder.file("m42_000_000004.fits")) << "frame";
  std::string fits = folder.file("m42.fits");
  EXPECT_EQ(number_recording_path(fits, 1), NumberingResult::Numbered);
  EXPECT_EQ(fs::path(fits).filename(), "m42_001.fits");
  std::string taken = folder.file("x_999.ser");
  std::ofstream(taken) << "x";
  EXPECT_EQ(numbering_failure_message(number_recording_path(taken, 1), taken, "SER"),
            "Can't number SER file " + taken + ": the files of every number up to 999 exist");
}

TEST(RecordingChooser, TheChosenFilterForcesItsExtensionAndACancelKeepsThePathsFormat) {
  struct Case {
    std::string initial;
    std::optional<ChooserAnswer> answer;  // nothing: cancelled
    std::size_t offered_filter;
    std::string menu_result, button_result;
  };
  const Case cases[] = {
      {"/d/Images.AVI", std::nullopt, 0, "/d/Images.avi", "/d/Images.AVI"},
      {"/d/m42.ser", std::nullopt, 2, "/d/m42.ser", "/d/m42.ser"},
      {"/d/m42.FIT", std::nullopt, 3, "/d/m42.fit", "/d/m42.FIT"},
      {"/d/m42", std::nullopt, 0, "/d/m42.avi", "/d/m42"},
      {"/d/a.avi", ChooserAnswer{"/d/m42", 0}, 0, "/d/m42.avi", "/d/m42.avi"},
      {"/d/a.avi", ChooserAnswer{"/d/m42.ser", 0}, 0, "/d/m42.avi", "/d/m42.avi"},
      {"/d/a.avi", ChooserAnswer{"/d/m42", 2}, 0, "/d/m42.ser", "/d/m42.ser"},
      {"/d/a.fits", ChooserAnswer{"/d/m42.avi", 3}, 3, "/d/m42.fits", "/d/m42.fits"},
      {"/d/a.avi", ChooserAnswer{"/d/m42.Fit", 3}, 0, "/d/m42.fit", "/d/m42.fit"},
      {"/d/a.avi", ChooserAnswer{"/d/m42.tar.gz", 1}, 0, "/d/m42.tar.avi", "/d/m42.tar.avi"},
      {"/d/a.avi", ChooserAnswer{"/d/m42.Ser", 1}, 0, "/d/m42.ser", "/d/m42.ser"},
  };
  for (const Case& c : cases) {
    std::size_t offered = 99;
    const BrowseRecordingPath browse = [&](const std::string& initial, std::size_t filter) {
      EXPECT_EQ(initial, c.initial);
      offered = filter;
      return c.answer;
    };
    const PathChoice menu =
        save_images_in_command(c.initial, true, browse, PathFlavour::Posix, "/h");
    EXPECT_EQ(menu.path, c.menu_result) << c.initial;
    EXPECT_EQ(offered, c.offered_filter) << c.initial;
    EXPECT_EQ(setup_file_button(c.initial, browse, PathFlavour::Posix, "/h").path, c.button_result)
        << c.initial;
  }
  // A name that fits with ".avi" but not with ".fits".
  const std::string longest = "/" + std::string(kMaxPathChars - 5, 'x');
  for (const auto& [filter, outcome] : {std::pair{std::size_t{0}, PathChoiceOutcome::Chosen},
                                        std::pair{std::size_t{3}, PathChoiceOutcome::TooLong}}) {
    const BrowseRecordingPath browse = [&](const std::string&, std::size_t) {
      return std::optional<ChooserAnswer>(ChooserAnswer{longest, filter});
    };
    const PathChoice choice = setup_file_button("/d/a.avi", browse, PathFlavour::Posix, "/h");
    EXPECT_EQ(choice.outcome, outcome) << filter;
    EXPECT_EQ(choice.extension, filter == 0 ? ".avi" : ".fits");
    EXPECT_EQ(choice.path, filter == 0 ? longest + ".avi" : "/d/a.avi");
  }
  EXPECT_EQ(path_too_long_message("/d/m42", ".fits"),
            "The name /d/m42 with the extension .fits would be longer than 259 characters");
}

// [Recording] Colour=mono: one byte a pixel, the frames' B bytes (a mono
// camera's luma), whatever noise G and R carry.
TEST(Recording, MonoRecordingsHoldTheLumaOneByteAPixelForEveryReader) {
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
  std::vector<FrameImage> grey;  // the pictures a reader must see: B in all three
  std::vector<uint8_t> luma;     // the B planes, rows bottom-up, as FITS keeps them
  for (const FrameImage& frame : frames) {
    FrameImage g = frame.clone();
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t* px = g.row(y) + 3 * x;
        px[1] = px[2] = px[0];
        luma.push_back(px[0]);
      }
    }
    grey.push_back(std::move(g));
  }
  const std::size_t frame_luma = std::size_t{kWidth} * kHeight;
  const std::map<std::string, std::string> pixel_formats = {{"AVI", "pal8"}, {"SER", "gray"}};
  for (const char* name : {"m42.avi", "m42.ser", "m42.fits"}) {
    SCOPED_TRACE(name);
    RecordingRig rig(name);
    rig.settings.colour = "mono";
    rig.write(frames);
    const std::string path = rig.recording.open_path();
    rig.recording.close_recording();
    EXPECT_TRUE(rig.reporter.messages.empty());
    const std::string format(format_of_path(path).name);
    if (format == "FITS") {
      std::vector<std::string> files;
      for (int i = 0; i < 3; ++i) files.push_back(fits_frame_path(path, i));
      const auto keys = astropy_keys(files);
      ASSERT_EQ(keys.size(), 3u);
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(keys.at(files[i]).substr(0, 13), "33 17 None " + std::to_string(i) + " ");
        EXPECT_EQ(file_bytes(files[i] + ".raw"),
                  std::vector<uint8_t>(luma.begin() + i * frame_luma,
                                       luma.begin() + (i + 1) * frame_luma));
      }
      continue;
    }
    const auto probe = probe_video(path);
    EXPECT_EQ(probe.at("pix_fmt"), pixel_formats.at(format));
    EXPECT_EQ(probe.at("nb_read_frames"), "3");
    EXPECT_EQ(stream_with_ffmpeg(path, kWidth, kHeight, expect_frames(grey, "ffmpeg")), 3);
    // And --measure's reader.
    Result<std::unique_ptr<RecordingReader>> read = claimed_format(path).open_reader(path);
    ASSERT_TRUE(read) << read.message();
    ASSERT_EQ((*read)->count(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      RecordedFrame frame;
      ASSERT_TRUE((*read)->read_frame(i, frame));
      for (int32_t y = 0; y < kHeight; ++y) {
        EXPECT_EQ(std::memcmp(frame.image->row(y), grey[i].row(y), kWidth * 3), 0)
            << i << ", " << y;
      }
    }
  }
}

// Calibrated recordings asked for: FITS takes the calibrated frames, AVI and
// SER record the raw frames byte for byte and say why, once a recording.
TEST(Recording, CalibratedFramesGoToFitsOnlyAndOtherFormatsStayRawWithOneMessage) {
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2});
  for (const char* name : {"m42.avi", "m42.ser", "m42.fits"}) {
    SCOPED_TRACE(name);
    RecordingRig rig(name);
    int calibrated = 0;
    rig.recording.set_calibration(
        [] { return true; },
        [&](const FrameImage& frame, const FrameTiming&, const FrameMetadata&, FloatPlanes& out,
            std::vector<FitsKey>&) {
          frame_to_planes(frame, out);
          ++calibrated;
        });
    rig.write(frames);
    const std::string path = rig.recording.open_path();
    rig.recording.close_recording();
    const bool fits = std::string(name) == "m42.fits";
    EXPECT_EQ(calibrated, fits ? 2 : 0);
    ASSERT_EQ(rig.reporter.messages.size(), fits ? 0u : 1u);
    if (fits) continue;
    EXPECT_EQ(rig.reporter.messages[0].rfind("Calibrated recordings need FITS files", 0), 0u);
    Result<std::unique_ptr<RecordingReader>> read = claimed_format(path).open_reader(path);
    ASSERT_TRUE(read) << read.message();
    ASSERT_EQ((*read)->count(), 2u);
    RecordedFrame second;
    ASSERT_TRUE((*read)->read_frame(1, second));
    for (int32_t y = 0; y < kHeight; ++y) {
      EXPECT_EQ(std::memcmp(second.image->row(y), frames[1].row(y), kWidth * 3), 0) << y;
    }
  }
}

TEST(Recording, AFailedWriteIsReportedOnceAndCutBackToTheLastWholeFrameInEveryFormat) {
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3, 4});
  const auto kept = pattern_frames(kWidth, kHeight, {1, 4});
  // A full disk, a file-size limit and a failing device.
  for (const int error : {ENOSPC, EFBIG, EIO}) {
    for (const char* name : {"m42.avi", "m42.ser", "m42.fits"}) {
      SCOPED_TRACE(std::string(name) + ": " + std::strerror(error));
      FaultyWriterIo io;
      bool failing = false;
      // Frames' writes fail meanwhile; the small timing rows and header
      // patches go in.
      io.fault = [&](off_t, std::size_t bytes) { return failing && bytes > 1000 ? error : 0; };
      io.partial_before_fault = error == ENOSPC;
      RecordingRig rig(name, io);
      rig.write({&frames[0]}, 0);
      failing = true;
      rig.write({&frames[1], &frames[2]}, 1);
      failing = false;
      rig.write({&frames[3]}, 3);
      const std::string path = rig.recording.open_path();
      EXPECT_EQ(rig.recording.frames(), 2);
      rig.recording.close_recording();
      const std::string kind(format_of_path(path).name);
      const std::string file = kind == "FITS" ? fits_frame_path(path, 1) : path;
      EXPECT_EQ(rig.reporter.messages,
                std::vector<std::string>{"Can't write to " + kind + " file " + file + ": " +
                                         std::strerror(error)});
      // The record keeps the rows of the frames that are there.
      EXPECT_EQ(timing_frames(path), (std::vector<std::string>{"0", "1"}));
      if (kind == "FITS") {
        EXPECT_TRUE(fs::exists(fits_frame_path(path, 1)));
        EXPECT_FALSE(fs::exists(fits_frame_path(path, 2)));
        EXPECT_FALSE(fs::exists(fits_frame_path(path, 1) + ".part"));
      } else {
        EXPECT_EQ(stream_with_ffmpeg(path, kWidth, kHeight, expect_frames(kept, "ffmpeg")), 2);
      }
    }
  }
}

TEST(Recording, AMissingFolderIsReportedAtEveryFrameInEveryFormatAndLeavesNothing) {
  const auto frames = pattern_frames(8, 8, {1, 2});
  for (const char* name : {"m42.avi", "m42.ser", "m42.fits"}) {
    SCOPED_TRACE(name);
    RecordingRig rig("missing/" + std::string(name));
    rig.write(frames);
    EXPECT_FALSE(rig.recording.is_open());
    rig.recording.close_recording();
    const std::string kind(format_of_path(name).name);
    const std::string message =
        "Can't open " + kind + " file " + rig.folder.file("missing/" + std::string(name));
    EXPECT_EQ(rig.reporter.messages, (std::vector<std::string>{message, message}));
    EXPECT_FALSE(fs::exists(rig.folder.file("missing")));
  }
}

TEST(Recording, AFrameOfAnotherSizeIsRefusedOnceAndTakesItsTimingRowBack) {
  for (const char* name : {"m42.ser", "m42.fits"}) {
    SCOPED_TRACE(name);
    RecordingRig rig(name);
    const auto small = pattern_frames(8, 8, {1, 3});
    const auto large = pattern_frames(16, 8, {2, 4});
    rig.write({&small[0], &large[0], &large[1], &small[1]});
    const std::string path = rig.recording.open_path();
    rig.recording.close_recording();
    if (format_of_path(path).name == "SER") {
      ASSERT_EQ(rig.reporter.messages.size(), 1u);
      EXPECT_EQ(rig.reporter.messages[0].rfind("Frame not written to SER file " + path + ": ", 0),
                0u);
      EXPECT_EQ(timing_frames(path), (std::vector<std::string>{"0", "1"}));
    } else {
      // FITS has a file per frame: any size goes.
      EXPECT_TRUE(rig.reporter.messages.empty());
      EXPECT_EQ(timing_frames(path).size(), 4u);
    }
  }
}

// The real calls on a clock the test moves, counting the flushes.
class ClockedIo final : public WriterIo {
 public:
  int create_file(const char* path) override { return real().create_file(path); }
  int remove_file(const char* path) override { return real().remove_file(path); }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) override {
    return real().pwritev(fd, iov, count, offset);
  }
  int ftruncate(int fd, off_t length) override { return real().ftruncate(fd, length); }
  int fdatasync(int fd) override {
    ++syncs;
    return real().fdatasync(fd);
  }
  int close(int fd) override { return real().close(fd); }
  int64_t now_ms() override { return now; }
  std::atomic<int> syncs{0};
  int64_t now = 0;

 private:
  static WriterIo& real() { return posix_writer_io(); }
};

TEST(Recording, DataAndTimingRecordReachTheDiskAtMostOnceASecondAndAtStop) {
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background ? "on the helper thread" : "in the call");
    ClockedIo io;
    Settings settings;
    RecordingReporter reporter;
    Recording recording(settings, reporter, nullptr, standard_containers(io), io,
                        RecordingOptions{1000, background});
    TempFolder folder;
    settings.image_file_path = folder.file("m42.ser");
    const auto frames = pattern_frames(8, 8, {1, 2, 3, 4, 5});
    const int64_t times[] = {0, 400, 999, 1000, 1500};
    int expected[] = {0, 0, 0, 2, 2};  // the file and its timing record together
    for (int i = 0; i < 5; ++i) {
      io.now = times[i];
      recording.write_frame(&frames[static_cast<std::size_t>(i)], timing_of(i), FrameMetadata{});
      if (background) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(io.syncs.load(), expected[i]) << "frame " << i;
    }
    recording.close_recording();
    EXPECT_EQ(io.syncs.load(), 4);
    EXPECT_TRUE(reporter.messages.empty());
  }
}

// A recording killed in the middle: ffprobe reads the SER file up to its
// last whole frame and the repair completes it from the timing record.
TEST(RecordingCrash, AKilledSerRecordingReadsToItsLastWholeFrameAndRepairCompletesIt) {
  TempFolder folder;
  const std::string path = folder.file("night.ser");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Settings settings;
    settings.image_file_path = path;
    RecordingReporter reporter;
    Recording recording(settings, reporter);
    const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3, 4, 5, 6, 7, 8});
    for (int i = 0;; ++i) {
      recording.write_frame(&frames[static_cast<std::size_t>(i % 8)], timing_of(i),
                            FrameMetadata{});
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Wait until a few frames are in, then kill it without warning.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline &&
         (!fs::exists(path) || fs::file_size(path) < kSerHeaderBytes + 5 * 99 * 17)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  const std::vector<uint8_t> before = file_bytes(path);
  ASSERT_GE(before.size(), kSerHeaderBytes);
  const uint32_t counted = u32_at(before, 38);
  ASSERT_GE(counted, 5u);
  const auto probe = probe_video(path);
  EXPECT_EQ(probe.at("pix_fmt"), "bgr24");
  EXPECT_EQ(probe.at("nb_read_frames"), std::to_string(counted));

  const SerRepairResult repaired = repair_ser(path, timing_path_for(path));
  EXPECT_EQ(repaired.outcome, SerRepairOutcome::Completed) << repaired.message;
  EXPECT_EQ(repair_exit_status(repaired.outcome), 0);
  const std::vector<uint8_t> after = file_bytes(path);
  EXPECT_GE(after.size(), before.size());  // never shortened
  const uint32_t frames = u32_at(after, 38);
  EXPECT_EQ(after.size(), kSerHeaderBytes + std::size_t{frames} * (99 * 17 + 8));
  EXPECT_EQ(repair_ser(path, timing_path_for(path)).outcome, SerRepairOutcome::AlreadyComplete);
}

}  // namespace
}  // namespace noctra::test
