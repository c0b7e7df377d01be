// `--measure` on recordings: Noctra's own AVI files, ffmpeg's (top-down
// rows), SER files in BGR, RGB and monochrome, files cut short or damaged,
// and frames without a star.

#include "app/measure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "config/temp_folder.h"
#include "output/recording.h"

namespace noctra {
namespace {

constexpr int32_t kWidth = 96;
constexpr int32_t kHeight = 64;

// A top-down picture (top line first) of one Gaussian star on a sky with
// seeded noise, B = G = R; an amplitude of 0 leaves only the sky.
std::vector<uint8_t> sky_top_down(double column, double top_row, double amplitude,
                                  uint32_t seed = 7) {
  std::vector<uint8_t> picture(static_cast<std::size_t>(kWidth) * kHeight * 3);
  uint32_t state = seed;
  for (int32_t t = 0; t < kHeight; ++t) {
    for (int32_t c = 0; c < kWidth; ++c) {
      state = state * 1664525u + 1013904223u;
      const double noise = static_cast<double>(state >> 29) - 3.5;  // -3.5 .. 3.5
      const double dx = c - column, dy = t - top_row;
      const double value =
          30 + noise + amplitude * std::exp(-(dx * dx + dy * dy) / (2 * 1.6 * 1.6));
      const auto byte = static_cast<uint8_t>(std::lround(std::min(255.0, value)));
      uint8_t* px = &picture[(static_cast<std::size_t>(t) * kWidth + c) * 3];
      px[0] = px[1] = px[2] = byte;
    }
  }
  return picture;
}

FrameImage frame_from_top_down(const std::vector<uint8_t>& picture) {
  FrameImage frame = *FrameImage::create(kWidth, kHeight);
  for (int32_t t = 0; t < kHeight; ++t) {
    std::memcpy(frame.row(kHeight - 1 - t), &picture[static_cast<std::size_t>(t) * kWidth * 3],
                kWidth * 3);
  }
  return frame;
}

struct MeasureRun {
  int status = 0;
  std::string out, err;
};

MeasureRun measure(const std::string& path, std::optional<MeasurePoint> at = std::nullopt) {
  std::ostringstream out, err;
  MeasureRun run;
  run.status = run_measure(path, at, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, kMeasureCsvHeader);
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream cells(line);
    while (std::getline(cells, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.push_back("");
    rows.push_back(fields);
  }
  return rows;
}

void expect_star(const std::vector<std::string>& row, std::size_t frame, double x, double y) {
  ASSERT_EQ(row.size(), 9u);
  EXPECT_EQ(row[0], std::to_string(frame));
  EXPECT_NEAR(std::stod(row[1]), x, 0.05);
  EXPECT_NEAR(std::stod(row[2]), y, 0.05);
  EXPECT_NEAR(std::stod(row[3]), 2.355 * 1.6, 0.25);  // fwhm
  EXPECT_EQ(row[8], "0");
}

class QuietReporter final : public ErrorReporter {
 public:
  void show_error(const std::string& text) override { messages.push_back(text); }
  std::vector<std::string> messages;
};

void write_ser(const std::string& path, int32_t colour,
               const std::vector<std::vector<uint8_t>>& pictures, uint32_t counted,
               std::size_t cut_bytes = 0) {
  std::vector<uint8_t> bytes(178, 0);
  std::memcpy(bytes.data(), "LUCAM-RECORDER", 14);
  auto put = [&](std::size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<uint8_t>(v >> (8 * k));
  };
  put(18, static_cast<uint32_t>(colour));
  put(26, kWidth);
  put(30, kHeight);
  put(34, 8);
  put(38, counted);
  for (const auto& picture : pictures) {
    for (std::size_t p = 0; p < picture.size(); p += 3) {
      if (colour == 0) {
        bytes.push_back(picture[p]);
      } else if (colour == 100) {  // RGB: red first
        bytes.insert(bytes.end(), {picture[p + 2], picture[p + 1], picture[p]});
      } else {
        bytes.insert(bytes.end(), {picture[p], picture[p + 1], picture[p + 2]});
      }
    }
  }
  bytes.resize(bytes.size() - cut_bytes);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(MeasureCommand, ReadsNoctrasOwnAviFiles) {
  test::TempFolder folder;
  Settings settings;
  settings.image_file_path = (folder / "own.avi").string();
  QuietReporter reporter;
  {
    Recording recording(settings, reporter, nullptr, standard_containers());
    // The star drifts right and down over three frames; one empty frame.
    for (int i = 0; i < 3; ++i) {
      const FrameImage frame = frame_from_top_down(sky_top_down(40.3 + i, 20.6 + 0.5 * i, 150));
      recording.write_frame(&frame, {}, {});
    }
    const FrameImage empty = frame_from_top_down(sky_top_down(0, 0, 0));
    recording.write_frame(&empty, {}, {});
    recording.close_recording();
  }
  ASSERT_TRUE(reporter.messages.empty());
  for (const bool near : {false, true}) {
    SCOPED_TRACE(near ? "--at" : "brightest");
    const MeasureRun run = measure(settings.image_file_path,
                                   near ? std::optional(MeasurePoint{42, 22}) : std::nullopt);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = csv_rows(run.out);
    ASSERT_EQ(rows.size(), 4u);
    // Top row t is stored row height - 1 - t: y = t + 1.
    for (int i = 0; i < 3; ++i) expect_star(rows[i], i, 40.3 + i, 21.6 + 0.5 * i);
    EXPECT_EQ(rows[3], (std::vector<std::string>{"3", "", "", "", "", "", "", "", ""}));
    // Why the last frame has none.
    EXPECT_EQ(run.err, std::string("noctra: 1 of 4 frames without a star: 1 ") +
                           (near ? "no candidate\n" : "low SNR\n"));
  }
  // A point far from the star finds none.
  const MeasureRun far = measure(settings.image_file_path, MeasurePoint{10, 50});
  ASSERT_EQ(far.status, 0);
  EXPECT_EQ(csv_rows(far.out)[0].size(), 9u);
  EXPECT_EQ(csv_rows(far.out)[0][1], "");
}

TEST(MeasureCommand, ReadsAviFilesWrittenByFfmpeg) {
  test::TempFolder folder;
  const std::string raw = (folder / "frames.bgr").string();
  const std::string avi = (folder / "ffmpeg.avi").string();
  {
    std::ofstream out(raw, std::ios::binary);
    for (int i = 0; i < 2; ++i) {
      const auto picture = sky_top_down(30.25 + 10 * i, 40.5, 120, 11 + i);
      out.write(reinterpret_cast<const char*>(picture.data()),
                static_cast<std::streamsize>(picture.size()));
    }
  }
  const std::string command = "ffmpeg -v error -y -f rawvideo -pix_fmt bgr24 -s " +
                              std::to_string(kWidth) + "x" + std::to_string(kHeight) + " -i " +
                              raw + " -c:v rawvideo -pix_fmt bgr24 " + avi;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const MeasureRun run = measure(avi);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto rows = csv_rows(run.out);
  ASSERT_EQ(rows.size(), 2u);
  for (int i = 0; i < 2; ++i) expect_star(rows[i], i, 30.25 + 10 * i, 41.5);
}

// Mono AVI files: Noctra's own (8-bit, bottom-up, 256 greys), ffmpeg's copy
// of it (8-bit paletted, top-down) and ffmpeg's grey ('Y800').
TEST(MeasureCommand, ReadsMonoAviFiles) {
  test::TempFolder folder;
  Settings settings;
  settings.colour = "mono";
  settings.image_file_path = (folder / "own.avi").string();
  const std::string raw = (folder / "frames.grey").string();
  QuietReporter reporter;
  {
    Recording recording(settings, reporter, nullptr, standard_containers());
    std::ofstream out(raw, std::ios::binary);
    for (int i = 0; i < 2; ++i) {
      const auto picture = sky_top_down(30.25 + 10 * i, 40.5, 120, 11 + i);
      const FrameImage frame = frame_from_top_down(picture);
      recording.write_frame(&frame, {}, {});
      for (std::size_t p = 0; p < picture.size(); p += 3) out.put(static_cast<char>(picture[p]));
    }
    recording.close_recording();
  }
  ASSERT_TRUE(reporter.messages.empty());
  const std::string top_down = (folder / "top_down.avi").string();
  const std::string y800 = (folder / "y800.avi").string();
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  for (const std::string& command : {"ffmpeg -v error -y -i " + settings.image_file_path +
                                         " -c:v rawvideo -pix_fmt pal8 " + top_down,
                                     "ffmpeg -v error -y -f rawvideo -pix_fmt gray -s " + size +
                                         " -i " + raw + " -c:v rawvideo -pix_fmt gray " + y800}) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  for (const std::string& path : {settings.image_file_path, top_down, y800}) {
    SCOPED_TRACE(path);
    const MeasureRun run = measure(path);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = csv_rows(run.out);
    ASSERT_EQ(rows.size(), 2u);
    for (int i = 0; i < 2; ++i) expect_star(rows[i], i, 30.25 + 10 * i, 41.5);
  }
}

TEST(MeasureCommand, ReadsSerFilesInEveryColourOrder) {
  test::TempFolder folder;
  const std::vector<std::vector<uint8_t>> pictures = {sky_top_down(50.5, 10.25, 140),
                                                      sky_top_down(51.5, 12.25, 140, 3)};
  for (const int32_t colour : {101, 100, 0}) {
    SCOPED_TRACE(colour);
    const std::string path = (folder / (std::to_string(colour) + ".ser")).string();
    write_ser(path, colour, pictures, 2);
    const MeasureRun run = measure(path, MeasurePoint{50, 12});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = csv_rows(run.out);
    ASSERT_EQ(rows.size(), 2u);
    expect_star(rows[0], 0, 50.5, 11.25);
    expect_star(rows[1], 1, 51.5, 13.25);
  }
}

TEST(MeasureCommand, SerFileCutShortReadsItsWholeFrames) {
  test::TempFolder folder;
  const std::vector<std::vector<uint8_t>> pictures = {
      sky_top_down(20, 20, 100), sky_top_down(21, 20, 100), sky_top_down(22, 20, 100)};
  const std::string path = (folder / "cut.ser").string();
  // The count names three frames, the last is half gone.
  write_ser(path, 101, pictures, 3, kWidth * kHeight * 3 / 2);
  const MeasureRun run = measure(path);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(csv_rows(run.out).size(), 2u);
  // A count beyond what the file holds, by far, is no reason to read past it.
  write_ser(path, 101, pictures, 0xFFFFFFFFu);
  EXPECT_EQ(csv_rows(measure(path).out).size(), 3u);
}

TEST(MeasureCommand, FilesItCannotReadExitWithStatus2) {
  test::TempFolder folder;
  const std::string garbage = (folder / "garbage.avi").string();
  std::ofstream(garbage) << "this is not a recording at all";
  const std::string corrupt_ser = (folder / "corrupt.ser").string();
  std::ofstream(corrupt_ser) << std::string(400, 'x');
  const std::string corrupt_fits = (folder / "corrupt.fits").string();
  std::ofstream(corrupt_fits) << std::string(3000, 'x');
  const std::string bayer = (folder / "bayer.ser").string();
  write_ser(bayer, 8, {sky_top_down(20, 20, 100)}, 1);
  const std::string short_header = (folder / "short.ser").string();
  std::ofstream(short_header) << "LUCAM-RECORDER and then nothing";
  const std::string huge = (folder / "huge.ser").string();
  write_ser(huge, 101, {}, 1);
  {
    std::fstream patch(huge, std::ios::in | std::ios::out | std::ios::binary);
    patch.seekp(26);
    const char big[4] = {0, 0, 0, 0x7f};
    patch.write(big, 4);
  }
  const struct {
    std::string path;
    const char* says;
  } cases[] = {
      {(folder / "missing.avi").string(), "Can't open"},
      {folder.path().string(), "folder"},
      {garbage, "is not an AVI file"},
      {corrupt_ser, "is not a SER file"},
      {corrupt_fits, "is not a FITS file"},
      {bayer, "colour 8"},
      {short_header, "shorter than a SER header"},
      {huge, "frame size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const MeasureRun run = measure(c.path);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.err.rfind("noctra: ", 0), 0u) << run.err;
  }
}

TEST(MeasureCommand, RowsAndPoints) {
  StarMeasurement star;
  star.x = 12.3456;
  star.y = -0.0001;
  star.fwhm = 3;
  star.hfd = 2.9996;
  star.snr = 45.5;
  star.flux = 1234.5678;
  star.background = 20;
  star.saturated = true;
  EXPECT_EQ(measure_csv_row(7, star), "7,12.346,0.000,3.000,3.000,45.500,1234.568,20.000,1");
  EXPECT_EQ(measure_csv_row(0, std::nullopt), "0,,,,,,,,");

  const struct {
    const char* text;
    bool ok;
    double x, y;
  } points[] = {{"320,240", true, 320, 240}, {"12.5,-3", true, 12.5, -3}, {"320", false, 0, 0},
                {"320,", false, 0, 0},       {",240", false, 0, 0},       {"3x,4", false, 0, 0},
                {"1,2,3", false, 0, 0},      {"nan,1", false, 0, 0}};
  for (const auto& p : points) {
    SCOPED_TRACE(p.text);
    const auto point = parse_measure_point(p.text);
    ASSERT_EQ(point.has_value(), p.ok);
    if (point) {
      EXPECT_EQ(point->x, p.x);
      EXPECT_EQ(point->y, p.y);
    }
  }

  const auto parsed = parse_command_line({"--measure", "a.ser", "--at", "1.5,2"});
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->mode, CommandLine::Mode::Measure);
  EXPECT_EQ(parsed->measure_file, "a.ser");
  ASSERT_TRUE(parsed->measure_at);
  EXPECT_EQ(parsed->measure_at->x, 1.5);
  EXPECT_FALSE(parse_command_line({"--at", "1,2"}));
  EXPECT_FALSE(parse_command_line({"--measure"}));
  EXPECT_FALSE(parse_command_line({"--measure", "a.avi", "--at", "1;2"}));
  EXPECT_NE(usage_text().find("--measure FILE"), std::string::npos);
}

}  // namespace
}  // namespace noctra
