#include "app/measure.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <ostream>

#include "output/recorded_frames.h"

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
  const std::unique_ptr<RecordedFrames> file = open_recorded_frames(path, error);
  if (!file) {
    err << "noctra: " << error << "\n";
    return 2;
  }
  out << kMeasureCsvHeader << "\n";
  for (std::size_t i = 0; i < file->frame_count(); ++i) {
    std::optional<FrameImage> frame = file->read_frame(i, error);
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
