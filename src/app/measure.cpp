#include "app/measure.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "app/recording_frames.h"

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
  Result<RecordingFrames> file = RecordingFrames::open(path);
  if (!file) {
    err << "noctra: " << file.message() << "\n";
    return 2;
  }
  out << kMeasureCsvHeader << "\n";
  // Frames without a star, by why none was found.
  std::array<std::size_t, static_cast<std::size_t>(StarMiss::AtEdge) + 1> misses{};
  std::size_t missed = 0;
  RecordedFrame recorded;
  for (std::size_t i = 0; i < file->count(); ++i) {
    const Status read = file->read(i, recorded);
    const FrameHolder frame = read ? frame_image_of(recorded) : std::nullopt;
    if (!frame) {
      out.flush();
      err << "noctra: "
          << (read ? "frame " + std::to_string(i) + " is not a frame" : read.message()) << "\n";
      return 2;
    }
    const StarSearch star = at ? find_star_near(*frame, at->x, at->y) : find_brightest_star(*frame);
    if (!star.star) {
      ++misses[static_cast<std::size_t>(star.miss)];
      ++missed;
    }
    out << measure_csv_row(i, star.star) << "\n";
  }
  out.flush();
  if (missed > 0) {
    err << "noctra: " << missed << " of " << file->count() << " frames without a star:";
    const char* separator = " ";
    for (std::size_t m = 0; m < misses.size(); ++m) {
      if (misses[m] == 0) continue;
      err << separator << misses[m] << ' ' << star_miss_text(static_cast<StarMiss>(m));
      separator = ", ";
    }
    err << "\n";
  }
  return 0;
}

}  // namespace noctra
