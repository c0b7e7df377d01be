// Siril, the stacking program many users feed their recordings to, reads a
// SER recording and a FITS set with its command-line program, headless.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "output/fits_container.h"
#include "output/readers.h"
#include "output/ser_container.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kWidth = 64, kHeight = 48;
constexpr int kFrames = 4;
constexpr int64_t kFirstStartUs = 1796677445123456;  // 2026-12-07T21:04:05.123456Z

FrameTiming timing_of(int index) {
  const int64_t start = kFirstStartUs + int64_t{index} * 2'000'000;
  return {Instant{start, 1}, Instant{start + 1'000'000, 2}, std::nullopt, std::nullopt};
}

void record(RecordingContainer& container, const std::string& path,
            const std::vector<FrameImage>& frames, bool mono = false) {
  RecordingInfo info;
  info.mono = mono;
  ASSERT_TRUE(container.open(path, frames[0], timing_of(0), info).ok());
  for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(container.append(frames[i], timing_of(i), {}).ok());
  ASSERT_TRUE(container.close(false).ok());
}

// Runs a Siril script in the folder; its log, or nothing when it failed.
std::optional<std::string> run_siril(const TempFolder& folder, const std::string& script) {
  const std::string file = folder.file("script.ssf");
  std::ofstream(file) << "requires 1.0.0\n" << script;
  // Siril keeps its settings in the home folder; a test leaves the user's alone.
  const std::string log =
      run_command("HOME=" + shell_quote(folder.path().string()) +
                  " XDG_CONFIG_HOME=" + shell_quote(folder.file(".config")) + " siril-cli -d " +
                  shell_quote(folder.path().string()) + " -s " + shell_quote(file) + " 2>&1")
          .value_or("");
  if (log.find("Script execution finished successfully") == std::string::npos) return std::nullopt;
  return log;
}

// seqstat's table: per image and channel, the mean (as Siril scales it).
std::map<std::pair<int, int>, double> channel_means(const fs::path& csv) {
  std::map<std::pair<int, int>, double> means;
  std::ifstream in(csv);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream cells(line);
    int image = 0, channel = 0;
    double mean = 0;
    if (cells >> image >> channel >> mean) means[{image, channel}] = mean;
  }
  return means;
}

TEST(Siril, ConvertsASerRecordingAndAFitsSetToTheSamePictures) {
  if (!fs::exists("/usr/bin/siril-cli")) GTEST_SKIP() << "siril-cli is not installed";
  std::vector<FrameImage> frames;
  for (int i = 0; i < kFrames; ++i) {
    frames.push_back(pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1)));
    for (int32_t y = 0; y < kHeight; ++y) {
      uint8_t* row = frames.back().row(y);
      for (int32_t x = 0; x < kWidth; ++x) {
        row[x * 3 + 2] = static_cast<uint8_t>(row[x * 3] / 2);
        row[x * 3 + 1] = static_cast<uint8_t>(row[x * 3] * 3 / 4);
      }
    }
  }
  TempFolder folder;
  fs::create_directories(folder.path() / "ser");
  fs::create_directories(folder.path() / "fits");
  record(*make_ser_container(), folder.file("ser/m42_000.ser"), frames);
  record(*make_fits_container(), folder.file("fits/m42_000.fits"), frames);

  const auto ser_log =
      run_siril(folder, "cd ser\nstack m42_000 sum -out=stacked\nseqstat m42_000 stats.csv\n");
  ASSERT_TRUE(ser_log);
  // Siril dates the recording from the header and checks the timestamps.
  EXPECT_NE(ser_log->find("UTC time: 2026-12-07T21:04:05.123456"), std::string::npos) << *ser_log;
  EXPECT_NE(ser_log->find("Timestamps in the SER file are correctly ordered"), std::string::npos);
  EXPECT_TRUE(fs::exists(folder.path() / "ser/stacked.fit"));

  const auto fits_log = run_siril(folder,
                                  "cd fits\nlink frame -out=linked\ncd linked\n"
                                  "stack frame_ sum -out=stacked\nseqstat frame_ stats.csv\n");
  ASSERT_TRUE(fits_log);
  EXPECT_NE(fits_log->find(std::to_string(kFrames) + " file(s) created"), std::string::npos)
      << *fits_log;
  EXPECT_TRUE(fs::exists(folder.path() / "fits/linked/stacked.fit"));

  const auto from_ser = channel_means(folder.path() / "ser/stats.csv");
  const auto from_fits = channel_means(folder.path() / "fits/linked/stats.csv");
  ASSERT_EQ(from_ser.size(), std::size_t{kFrames} * 3);
  EXPECT_EQ(from_ser, from_fits);
  // Channel 0 is red in both: the frames' red is half as bright as their
  // blue, their green three quarters (a swap would show as 2 or 1.33).
  for (int image = 1; image <= kFrames; ++image) {
    EXPECT_NEAR(from_ser.at({image, 0}) / from_ser.at({image, 2}), 0.5, 0.02) << image;
    EXPECT_NEAR(from_ser.at({image, 1}) / from_ser.at({image, 2}), 0.75, 0.02) << image;
  }
}

TEST(Siril, LoadsMonoSerAndFitsRecordingsAsOnePlaneOfTheSamePictures) {
  if (!fs::exists("/usr/bin/siril-cli")) GTEST_SKIP() << "siril-cli is not installed";
  std::vector<FrameImage> frames;
  for (int i = 0; i < kFrames; ++i) {
    frames.push_back(pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1)));
  }
  TempFolder folder;
  fs::create_directories(folder.path() / "ser");
  fs::create_directories(folder.path() / "fits");
  record(*make_ser_container(), folder.file("ser/m42_000.ser"), frames, true);
  record(*make_fits_container(), folder.file("fits/m42_000.fits"), frames, true);
  ASSERT_TRUE(run_siril(folder, "cd ser\nseqstat m42_000 stats.csv\n"));
  ASSERT_TRUE(run_siril(folder,
                        "cd fits\nlink frame -out=linked\ncd linked\n"
                        "seqstat frame_ stats.csv\n"));
  const auto from_ser = channel_means(folder.path() / "ser/stats.csv");
  const auto from_fits = channel_means(folder.path() / "fits/linked/stats.csv");
  EXPECT_EQ(from_ser.size(), std::size_t{kFrames});  // one channel a frame
  EXPECT_EQ(from_ser, from_fits);
}

}  // namespace
}  // namespace noctra::test
