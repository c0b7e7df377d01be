#include "app/measure.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>

#include "output/avi_reader.h"
#include "output/ser_reader.h"

namespace noctra {

namespace {

std::optional<double> parse_number(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string fixed3(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  // "-0.000" is a zero.
  if (std::string_view(text) == "-0.000") return "0.000";
  return text;
}

bool starts_as_ser(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char id[14] = {};
  in.read(id, sizeof id);
  return in && std::string_view(id, sizeof id) == "LUCAM-RECORDER";
}

// The frames of one recording, whatever its container.
struct FrameFile {
  std::size_t count = 0;
  std::function<std::optional<FrameImage>(std::size_t, std::string&)> read;
};

std::optional<FrameFile> open_frames(const std::string& path, std::string& error) {
  if (starts_as_ser(path)) {
    auto reader = SerReader::open(path, error);
    if (!reader) return std::nullopt;
    auto shared = std::make_shared<SerReader>(std::move(*reader));
    return FrameFile{shared->frame_count(),
                     [shared](std::size_t i, std::string& e) { return shared->read_frame(i, e); }};
  }
  auto reader = AviReader::open(path, error);
  if (!reader) return std::nullopt;
  auto shared = std::make_shared<AviReader>(std::move(*reader));
  return FrameFile{shared->frame_count(),
                   [shared](std::size_t i, std::string& e) { return shared->read_frame(i, e); }};
}

}  // namespace

std::optional<MeasurePoint> parse_measure_point(const std::string& text) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) return std::nullopt;
  const auto x = parse_number(std::string_view(text).substr(0, comma));
  const auto y = parse_number(std::string_view(text).substr(comma + 1));
  if (!x || !y) return std::nullopt;
  return MeasurePoint{*x, *y};
}

std::string measure_csv_row(std::size_t frame, const std::optional<StarMeasurement>& star) {
  std::string row = std::to_string(frame);
  if (!star) return row + ",,,,,,,,";
  for (double value :
       {star->x, star->y, star->fwhm, star->hfd, star->snr, star->flux, star->background}) {
    row += ',' + fixed3(value);
  }
  row += star->saturated ? ",1" : ",0";
  return row;
}

int run_measure(const std::string& path, const std::optional<MeasurePoint>& at, std::ostream& out,
                std::ostream& err) {
  std::string error;
  std::optional<FrameFile> file = open_frames(path, error);
  if (!file) {
    err << "noctra: " << error << "\n";
    return 2;
  }
  out << kMeasureCsvHeader << "\n";
  for (std::size_t i = 0; i < file->count; ++i) {
    std::optional<FrameImage> frame = file->read(i, error);
    if (!frame) {
      out.flush();
      err << "noctra: " << error << "\n";
      return 2;
    }
    const std::optional<StarMeasurement> star =
        at ? measure_star_near(*frame, at->x, at->y) : measure_brightest_star(*frame);
    out << measure_csv_row(i, star) << "\n";
  }
  out.flush();
  return 0;
}

}  // namespace noctra
