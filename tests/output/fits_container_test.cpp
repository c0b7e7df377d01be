#include "output/fits_container.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "config/version.h"
#include "output/container.h"
#include "output/faulty_io.h"
#include "output/formats.h"
#include "output/readers.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kWidth = 63, kHeight = 47;
constexpr int64_t kFirstStartUs = 1796677445123456;  // 2026-12-07T21:04:05.123456Z

FrameTiming timing_of(int index) {
  const int64_t start = kFirstStartUs + int64_t{index} * 2'000'000;
  return {Instant{start, 1}, Instant{start + 1'500'250, 2}, std::nullopt, std::nullopt};
}

// What astropy finds in a FITS file: every header key with its value as
// Python prints it, plus SHAPE, DTYPE and VERIFY (the standard's check), and
// the data as astropy hands them over (planes, rows, samples).
struct AstropyView {
  std::map<std::string, std::string> keys;
  std::vector<uint8_t> data;
};

std::map<std::string, AstropyView> read_with_astropy(const std::vector<std::string>& files) {
  const std::string script =
      "import sys, warnings\n"
      "warnings.simplefilter('error')\n"
      "from astropy.io import fits\n"
      "for name in sys.argv[1:]:\n"
      "    with fits.open(name) as hdul:\n"
      "        try:\n"
      "            hdul.verify('exception'); verdict = 'ok'\n"
      "        except Exception as e:\n"
      "            verdict = str(e).replace('\\n', ' ')\n"
      "        print(name + '|VERIFY|' + verdict)\n"
      "        print(name + '|HDUS|' + str(len(hdul)))\n"
      "        h = hdul[0].header\n"
      "        for k in h:\n"
      "            print(name + '|' + k + '|' + str(h[k]))\n"
      "        d = hdul[0].data\n"
      "        print(name + '|SHAPE|' + ','.join(str(n) for n in d.shape))\n"
      "        print(name + '|DTYPE|' + str(d.dtype))\n"
      "        with open(name + '.astropy', 'wb') as out:\n"
      "            out.write(d.tobytes())\n";
  std::string command = "/usr/bin/python3 -c " + shell_quote(script);
  for (const std::string& file : files) {
    command += ' ';
    command += shell_quote(file);
  }
  std::map<std::string, AstropyView> views;
  const std::optional<std::string> output = run_command(command);
  if (!output) return views;
  std::istringstream lines(*output);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find('|');
    const std::size_t second = line.find('|', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    views[line.substr(0, first)].keys[line.substr(first + 1, second - first - 1)] =
        line.substr(second + 1);
  }
  for (auto& [file, view] : views) {
    std::ifstream in(file + ".astropy", std::ios::binary);
    view.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    fs::remove(file + ".astropy");
  }
  return views;
}

// The frame's samples as FITS holds them: plane R, then G, then B, each with
// the stored rows in order (bottom line first).
std::vector<uint8_t> planes_of(const FrameImage& frame) {
  std::vector<uint8_t> planes;
  for (int byte : {2, 1, 0}) {
    for (int32_t y = 0; y < frame.height(); ++y) {
      for (int32_t x = 0; x < frame.width(); ++x) planes.push_back(frame.row(y)[x * 3 + byte]);
    }
  }
  return planes;
}

void expect_keys(const AstropyView& view, const std::map<std::string, std::string>& expected) {
  for (const auto& [key, value] : expected) {
    const auto found = view.keys.find(key);
    EXPECT_TRUE(found != view.keys.end() && found->second == value)
        << key << ": " << (found == view.keys.end() ? std::string("missing") : found->second);
  }
}

TEST(FitsFrame, AstropyReadsTheSamplesInRgbPlanesAndEveryKey) {
  const FrameImage frame = pattern_frame(kWidth, kHeight, 5);
  const FrameMetadata metadata{CaptureMode::HighRes, KeptField::Both, true, 1, 1};
  const RecordingInfo info{"A. Observer", "Noctra camera", "Newton 200/1000"};
  std::string error;
  const auto bytes = encode_fits_frame(frame, timing_of(3), metadata, info, 3, &error);
  ASSERT_TRUE(bytes) << error;
  EXPECT_EQ(bytes->size() % 2880, 0u);
  TempFolder folder;
  const std::string file = folder.file("frame.fits");
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes->data()),
             static_cast<std::streamsize>(bytes->size()));

  const auto views = read_with_astropy({file});
  ASSERT_EQ(views.count(file), 1u);
  const AstropyView& view = views.at(file);
  expect_keys(view, {
                        {"VERIFY", "ok"},
                        {"HDUS", "1"},
                        {"SHAPE", "3,47,63"},
                        {"DTYPE", "uint8"},
                        {"BITPIX", "8"},
                        {"NAXIS", "3"},
                        {"NAXIS1", "63"},
                        {"NAXIS2", "47"},
                        {"NAXIS3", "3"},
                        {"ROWORDER", "BOTTOM-UP"},
                        {"EXPTIME", "1.50025"},
                        {"DATE-OBS", "2026-12-07T21:04:11.123"},
                        {"DATE-END", "2026-12-07T21:04:12.624"},
                        {"TIMESYS", "UTC"},
                        {"IMAGETYP", "Light"},
                        {"INSTRUME", "Noctra camera"},
                        {"TELESCOP", "Newton 200/1000"},
                        {"OBSERVER", "A. Observer"},
                        {"SWCREATE", std::string("Noctra ") + kVersion},
                        {"XBINNING", "1"},
                        {"YBINNING", "1"},
                        {"FRAMENO", "3"},
                        {"NOCMODE", "High Res"},
                        {"NOCFIELD", "BOTH"},
                        {"NOCAMPSW", "True"},
                    });
  EXPECT_TRUE(view.data == planes_of(frame));
}

TEST(FitsFrame, ModeAndFieldKeysFollowTheFrameAndUnknownInstantsAreLeftOut) {
  const FrameImage frame = pattern_frame(8, 8, 1);
  std::string error;
  const auto bytes =
      encode_fits_frame(frame, FrameTiming{}, {CaptureMode::LowRes, KeptField::Odd, false, 1, 2},
                        RecordingInfo{"", "", ""}, 0, &error);
  ASSERT_TRUE(bytes) << error;
  TempFolder folder;
  const std::string file = folder.file("frame.fits");
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes->data()),
             static_cast<std::streamsize>(bytes->size()));
  const AstropyView view = read_with_astropy({file})[file];
  expect_keys(view, {{"VERIFY", "ok"},
                     {"NOCMODE", "Low Res"},
                     {"NOCFIELD", "ODD"},
                     {"NOCAMPSW", "False"},
                     {"YBINNING", "2"},
                     {"INSTRUME", ""}});
  for (const char* key : {"EXPTIME", "DATE-OBS", "DATE-END", "TELESCOP", "OBSERVER"}) {
    EXPECT_EQ(view.keys.count(key), 0u) << key;
  }
}

struct FitsRecording {
  explicit FitsRecording(WriterIo& io = posix_writer_io()) : container(make_fits_container(io)) {
    path = folder.file("m42_000.fits");
  }
  TempFolder folder;
  std::string path;
  std::unique_ptr<RecordingContainer> container;
};

std::vector<std::string> files_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FitsContainer, EachFrameIsAFileNamedInFrameOrderThatAstropyReads) {
  FitsRecording rec;
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
  ASSERT_TRUE(rec.container->open(rec.path, frames[0], timing_of(0), {"", "cam", ""}).ok());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rec.container->append(frames[i], timing_of(i), {}).ok());
  EXPECT_EQ(rec.container->frames(), 3);
  ASSERT_TRUE(rec.container->flush().ok());
  ASSERT_TRUE(rec.container->close(false).ok());

  const std::vector<std::string> names = {"m42_000_000000.fits", "m42_000_000001.fits",
                                          "m42_000_000002.fits"};
  EXPECT_EQ(files_in(rec.folder.path()), names);
  std::vector<std::string> files;
  for (const std::string& name : names) files.push_back(rec.folder.file(name));
  const auto views = read_with_astropy(files);
  ASSERT_EQ(views.size(), 3u);
  const char* starts[] = {"2026-12-07T21:04:05.123", "2026-12-07T21:04:07.123",
                          "2026-12-07T21:04:09.123"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    const AstropyView& view = views.at(files[i]);
    expect_keys(view, {{"VERIFY", "ok"},
                       {"FRAMENO", std::to_string(i)},
                       {"DATE-OBS", starts[i]},
                       {"INSTRUME", "cam"},
                       {"NOCMODE", "Low Res"}});
    EXPECT_TRUE(view.data == planes_of(frames[i]));
  }
}

TEST(FitsContainer, ANewRecordingUnderAnOldNameReplacesAllOfItsFrames) {
  FitsRecording rec;
  const auto frames = pattern_frames(8, 8, {1, 2, 3});
  for (const char* name : {"m42_000_000007.FIT", "m42_000_000002.fits.part", "m42_0000_000000.fits",
                           "m42_000_00001.fits", "m42_000.fits.txt"}) {
    std::ofstream(rec.folder.file(name)) << "old";
  }
  ASSERT_TRUE(rec.container->open(rec.path, frames[0], timing_of(0), {}).ok());
  ASSERT_TRUE(rec.container->append(frames[0], timing_of(0), {}).ok());
  ASSERT_TRUE(rec.container->close(false).ok());
  // Only the old recording's own frames went; names that merely look alike stay.
  EXPECT_EQ(files_in(rec.folder.path()),
            (std::vector<std::string>{"m42_000.fits.txt", "m42_0000_000000.fits",
                                      "m42_000_000000.fits", "m42_000_00001.fits"}));
}

TEST(FitsContainer, NumberingSeesARecordingWhoseFramesExistUnderAnyOfItsNames) {
  struct Case {
    std::vector<const char*> files;
    bool taken;
  };
  const Case cases[] = {
      {{}, false},
      {{"m42_000.fits"}, true},
      {{"m42_000_000000.fits"}, true},
      {{"m42_000_000042.fits"}, true},  // the first frames deleted by the user
      {{"m42_000_000003.FITS"}, true},
      {{"m42_000_000003.fit"}, true},
      {{"m42_000_000005.fits.part"}, true},  // a crash before the rename
      {{"m42_000_00001.fits", "m42_0000_000000.fits", "m42_001_000000.fits", "m42_000_000001.png"},
       false},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    for (const char* name : c.files) std::ofstream(folder.file(name)) << "x";
    EXPECT_EQ(fits_recording_exists(folder.file("m42_000.fits")), c.taken)
        << (c.files.empty() ? "no files" : c.files[0]);
  }
  EXPECT_EQ(format_of_path(".fits").recording_exists, &fits_recording_exists);
}

TEST(FitsContainer, AFrameThatCannotBeWrittenLeavesNoFileAndTheNextTakesItsNumber) {
  struct Case {
    const char* what;
    int write_error;
    int rename_error;
    bool partial;
  };
  const Case cases[] = {
      {"disk full halfway", ENOSPC, 0, true},
      {"file too large", EFBIG, 0, false},
      {"rename refused", 0, EIO, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultyWriterIo io;
    io.partial_before_fault = c.partial;
    bool failing = false;
    io.fault = [&](off_t, std::size_t) { return failing ? c.write_error : 0; };
    FitsRecording rec(io);
    const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
    ASSERT_TRUE(rec.container->open(rec.path, frames[0], timing_of(0), {}).ok());
    ASSERT_TRUE(rec.container->append(frames[0], timing_of(0), {}).ok());
    failing = c.write_error != 0;
    io.rename_error = c.rename_error;
    const ContainerStatus status = rec.container->append(frames[1], timing_of(1), {});
    failing = false;
    io.rename_error = 0;
    const std::string lost = rec.folder.file("m42_000_000001.fits");
    EXPECT_EQ(status.failure, ContainerFailure::Write);
    EXPECT_EQ(container_failure_message(format_of_path(".fits"), status, rec.path),
              "Can't write to FITS file " + lost + ": " +
                  std::strerror(c.write_error ? c.write_error : c.rename_error));
    EXPECT_EQ(files_in(rec.folder.path()), std::vector<std::string>{"m42_000_000000.fits"});
    ASSERT_TRUE(rec.container->append(frames[2], timing_of(2), {}).ok());
    EXPECT_EQ(rec.container->frames(), 2);
    ASSERT_TRUE(rec.container->close(false).ok());
    const auto views = read_with_astropy({lost});
    EXPECT_TRUE(views.at(lost).data == planes_of(frames[2]));
  }
}

// A calibrated recording's writer thread: more frames than its queue holds
// all reach their files as 32-bit floats with the calibration's keys, and a
// write that fails there comes back from the next call.
TEST(CalibratedFitsContainer, EveryFrameIsWrittenAsFloatAndAWriterFailureComesBack) {
  FaultyWriterIo io;
  int failing = 0;
  io.fault = [&](off_t, std::size_t) { return failing; };
  const auto calibrate = [](const FrameImage& frame, const FrameTiming&, const FrameMetadata&,
                            FloatPlanes& out, std::vector<FitsKey>& keys) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    frame_to_planes(frame, out);
    for (float& v : out.samples) v -= 0.25F;
    keys.push_back({"CALSTAT", std::string("D"), ""});
  };
  FitsRecording rec;
  rec.container = make_calibrated_fits_container(io, calibrate);
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
  const int count = static_cast<int>(kCalibratedQueueFrames) + 4;
  ASSERT_TRUE(rec.container->open(rec.path, frames[0], timing_of(0), {}).ok());
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(rec.container->append(frames[i % 3], timing_of(i), {}).ok());
  }
  ASSERT_TRUE(rec.container->close(false).ok());
  EXPECT_EQ(files_in(rec.folder.path()).size(), static_cast<std::size_t>(count));
  const std::string last = rec.folder.file("m42_000_000011.fits");
  const AstropyView view = read_with_astropy({last})[last];
  expect_keys(view, {{"BITPIX", "-32"}, {"CALSTAT", "D"}, {"FRAMENO", "11"}, {"DTYPE", ">f4"}});
  ASSERT_EQ(view.data.size(), planes_of(frames[2]).size() * 4);
  uint32_t bits = 0;  // the first sample, big-endian
  for (int k = 0; k < 4; ++k) bits = bits << 8 | view.data[k];
  float first = 0;
  std::memcpy(&first, &bits, 4);
  EXPECT_EQ(first, planes_of(frames[2])[0] - 0.25F);

  ASSERT_TRUE(rec.container->open(rec.path, frames[0], timing_of(0), {}).ok());
  failing = ENOSPC;
  ASSERT_TRUE(rec.container->append(frames[0], timing_of(0), {}).ok());
  const ContainerStatus status = rec.container->close(false);
  EXPECT_EQ(status.failure, ContainerFailure::Write);
  EXPECT_EQ(status.error, ENOSPC);
  EXPECT_TRUE(files_in(rec.folder.path()).empty());
}

TEST(FitsContainer, AMissingFolderFailsTheOpen) {
  FitsRecording rec;
  const std::string path = rec.folder.file("missing/m42.fits");
  const FrameImage frame = pattern_frame(8, 8, 1);
  const ContainerStatus status = rec.container->open(path, frame, timing_of(0), {});
  EXPECT_EQ(status.failure, ContainerFailure::Open);
  EXPECT_EQ(container_failure_message(format_of_path(".fits"), status, path),
            "Can't open FITS file " + path);
}

}  // namespace
}  // namespace noctra::test
