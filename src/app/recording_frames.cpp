#include "app/recording_frames.h"

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <string_view>
#include <vector>

#include "output/avi_reader.h"
#include "output/fits_container.h"
#include "output/naming.h"
#include "output/ser_container.h"
#include "output/ser_reader.h"
#include "output/ser_repair.h"
#include "output/timing_log.h"

namespace noctra {

class RecordingFrames::Source {
 public:
  virtual ~Source() = default;
  virtual const RecordingFormat& format() const = 0;
  virtual std::size_t count() const = 0;
  virtual Status read_frame(std::size_t index, RecordedFrame& out) = 0;
  std::map<std::size_t, FrameTiming> timing_record;
};

namespace {

bool has_ser_signature(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char id[ser_layout::kFileIdBytes] = {};
  in.read(id, sizeof id);
  return in && std::memcmp(id, ser_layout::kFileId, sizeof id) == 0;
}

// The start and end of each frame's exposure from the timing record beside
// the recording, by frame number; empty when there is none.
std::map<std::size_t, FrameTiming> read_timing_record(const std::string& recording_path) {
  std::map<std::size_t, FrameTiming> timings;
  std::ifstream in(timing_path_for(recording_path));
  std::string line;
  if (!in || !std::getline(in, line)) return timings;
  const auto cells = [](std::string_view row) {
    std::vector<std::string_view> out;
    while (!row.empty() && (row.back() == '\r' || row.back() == '\n')) row.remove_suffix(1);
    for (std::size_t comma; (comma = row.find(',')) != std::string_view::npos;
         row.remove_prefix(comma + 1)) {
      out.push_back(row.substr(0, comma));
    }
    out.push_back(row);
    return out;
  };
  const std::vector<std::string_view> names = cells(line);
  const auto column = [&](std::string_view name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::size_t frame_at = column("frame"), start_at = column("start_utc"),
                    end_at = column("end_utc");
  if (std::max({frame_at, start_at, end_at}) >= names.size()) return timings;
  while (std::getline(in, line)) {
    const std::vector<std::string_view> row = cells(line);
    if (row.size() < names.size()) continue;
    std::size_t frame = 0;
    const std::string_view number = row[frame_at];
    if (number.empty() || number.size() > 9 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    for (char c : number) frame = frame * 10 + static_cast<std::size_t>(c - '0');
    FrameTiming& timing = timings[frame];
    if (const auto start = parse_utc(row[start_at])) timing.start = Instant{*start, 0};
    if (const auto end = parse_utc(row[end_at])) timing.end = Instant{*end, 0};
  }
  return timings;
}

// A reader of the output layer (AviReader, SerReader) behind the source.
template <typename Reader>
class ReaderSource final : public RecordingFrames::Source {
 public:
  ReaderSource(Reader reader, const RecordingFormat& format)
      : reader_(std::move(reader)), format_(format) {}
  const RecordingFormat& format() const override { return format_; }
  std::size_t count() const override { return reader_.frame_count(); }
  Status read_frame(std::size_t index, RecordedFrame& out) override {
    std::string error;
    out.image = reader_.read_frame(index, error);
    if (!out.image) return failure(error);
    return {};
  }

 private:
  Reader reader_;
  const RecordingFormat& format_;
};

std::string cfitsio_text(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  return text;
}

// A FITS key's text value, or empty.
std::string fits_text(fitsfile* file, const char* key) {
  char value[FLEN_VALUE] = {};
  int status = 0;
  if (fits_read_key(file, TSTRING, key, value, nullptr, &status) != 0) return {};
  return value;
}

std::optional<int64_t> fits_instant(fitsfile* file, const char* key) {
  std::string text = fits_text(file, key);
  if (text.empty()) return std::nullopt;
  if (text.back() != 'Z') text += 'Z';
  return parse_utc(text);
}

// One FITS file per frame (m42_000_000000.fits, ...), or one FITS image.
class FitsSource final : public RecordingFrames::Source {
 public:
  FitsSource(std::vector<std::string> files, const RecordingFormat& format)
      : files_(std::move(files)), format_(format) {}
  const RecordingFormat& format() const override { return format_; }
  std::size_t count() const override { return files_.size(); }

  Status read_frame(std::size_t index, RecordedFrame& out) override {
    out.image.reset();
    if (index >= files_.size())
      return failure("the recording has no frame " + std::to_string(index));
    const std::string& path = files_[index];
    int status = 0;
    fitsfile* file = nullptr;
    if (fits_open_diskfile(&file, path.c_str(), READONLY, &status) != 0) {
      return failure(path + " is not a FITS file: " + cfitsio_text(status));
    }
    const Status read = read_image(file, path, out);
    int closing = 0;
    fits_close_file(file, &closing);
    return read;
  }

 private:
  static Status read_image(fitsfile* file, const std::string& path, RecordedFrame& out) {
    int status = 0, bitpix = 0, axes_count = 0;
    long axes[3] = {0, 0, 0};
    fits_get_img_param(file, 3, &bitpix, &axes_count, axes, &status);
    if (status != 0) return failure(path + " is not a FITS image: " + cfitsio_text(status));
    const bool planes_ok = axes_count == 2 || (axes_count == 3 && (axes[2] == 1 || axes[2] == 3));
    if (!planes_ok || axes[0] < 1 || axes[1] < 1 || axes[0] > kMaxFrameDimension ||
        axes[1] > kMaxFrameDimension) {
      return failure(path + ": a FITS image of " + std::to_string(axes_count) +
                     " axes and this size is not a frame (one plane or three, R, G and B)");
    }
    const int channels = axes_count == 3 ? static_cast<int>(axes[2]) : 1;
    if (!out.planes.shape(static_cast<int32_t>(axes[0]), static_cast<int32_t>(axes[1]), channels))
      return failure(path + ": the frame is too large");
    const std::size_t plane_size = out.planes.plane_size();
    for (int p = 0; p < channels && status == 0; ++p) {
      // FITS keeps R, G, B; the planes follow the frame's B, G, R.
      float* plane = out.planes.plane(channels == 3 ? 2 - p : 0);
      long first[3] = {1, 1, p + 1};
      fits_read_pix(file, TFLOAT, first, static_cast<LONGLONG>(plane_size), nullptr, plane, nullptr,
                    &status);
      for (std::size_t i = 0; i < plane_size; ++i) {
        if (!std::isfinite(plane[i])) plane[i] = 0;
      }
    }
    if (status != 0) return failure("Can't read " + path + ": " + cfitsio_text(status));
    // A grey frame kept in three equal planes (as recordings keep it) is one.
    if (channels == 3 &&
        std::equal(out.planes.plane(0), out.planes.plane(0) + plane_size, out.planes.plane(1)) &&
        std::equal(out.planes.plane(0), out.planes.plane(0) + plane_size, out.planes.plane(2))) {
      out.planes.shape(out.planes.width(), out.planes.height(), 1);
    }
    // Rows go bottom-up in FITS unless the file says otherwise.
    if (fits_text(file, "ROWORDER") == "TOP-DOWN") {
      const auto width = static_cast<std::size_t>(out.planes.width());
      for (int c = 0; c < channels; ++c) {
        float* plane = out.planes.plane(c);
        for (int32_t top = 0, bottom = out.planes.height() - 1; top < bottom; ++top, --bottom) {
          std::swap_ranges(plane + static_cast<std::size_t>(top) * width,
                           plane + static_cast<std::size_t>(top + 1) * width,
                           plane + static_cast<std::size_t>(bottom) * width);
        }
      }
    }
    out.timing = {};
    if (const auto start = fits_instant(file, "DATE-OBS")) out.timing.start = Instant{*start, 0};
    if (const auto end = fits_instant(file, "DATE-END")) {
      out.timing.end = Instant{*end, 0};
    } else if (double seconds = 0;
               out.timing.start &&
               fits_read_key(file, TDOUBLE, "EXPTIME", &seconds, nullptr, &status) == 0 &&
               std::isfinite(seconds) && seconds >= 0 && seconds < 1e6) {
      out.timing.end = Instant{out.timing.start->utc_us + std::llround(seconds * 1e6), 0};
    }
    return {};
  }

  std::vector<std::string> files_;
  const RecordingFormat& format_;
};

}  // namespace

const RecordingFormat& claimed_format(const std::string& path) {
  return has_ser_signature(path) ? format_of_path(".ser") : format_of_path(path);
}

Result<RecordingFrames> RecordingFrames::open(const std::string& path) {
  std::unique_ptr<Source> source;
  std::string error;
  const RecordingFormat& format = claimed_format(path);
  if (format.name == "SER") {
    if (auto reader = SerReader::open(path, error)) {
      source = std::make_unique<ReaderSource<SerReader>>(std::move(*reader), format);
    }
  } else if (format.name == "FITS") {
    std::vector<std::string> files;
    while (output_file_exists(fits_frame_path(path, static_cast<int64_t>(files.size())))) {
      files.push_back(fits_frame_path(path, static_cast<int64_t>(files.size())));
    }
    if (files.empty() && output_file_exists(path)) files.push_back(path);
    if (files.empty()) {
      error = "Can't open " + path + ": neither it nor " + fits_frame_path(path, 0) + " exists";
    } else {
      // The first frame is read now, so a file that is not FITS fails here.
      source = std::make_unique<FitsSource>(std::move(files), format);
      RecordedFrame first;
      if (Status read = source->read_frame(0, first); !read) return failure(read.message());
    }
  } else if (auto reader = AviReader::open(path, error)) {
    source = std::make_unique<ReaderSource<AviReader>>(std::move(*reader), format);
  }
  if (!source) return failure(error);
  source->timing_record = read_timing_record(path);
  return RecordingFrames(std::move(source));
}

RecordingFrames::RecordingFrames(std::unique_ptr<Source> source) : source_(std::move(source)) {}
RecordingFrames::RecordingFrames(RecordingFrames&&) noexcept = default;
RecordingFrames& RecordingFrames::operator=(RecordingFrames&&) noexcept = default;
RecordingFrames::~RecordingFrames() = default;

const RecordingFormat& RecordingFrames::format() const { return source_->format(); }
std::size_t RecordingFrames::count() const { return source_->count(); }

Status RecordingFrames::read(std::size_t index, RecordedFrame& out) {
  out.timing = {};
  Status read = source_->read_frame(index, out);
  if (!read) return read;
  if (const auto row = source_->timing_record.find(index); row != source_->timing_record.end()) {
    out.timing = row->second;
  }
  return read;
}

FrameHolder frame_image_of(RecordedFrame& frame) {
  if (frame.image) return std::move(frame.image);
  const PlaneBuffer& planes = frame.planes;
  auto image = FrameImage::create(planes.width(), planes.height());
  if (!image) return std::nullopt;
  const auto width = static_cast<std::size_t>(planes.width());
  for (int32_t q = 0; q < planes.height(); ++q) {
    uint8_t* out = image->row(q);
    for (std::size_t k = 0; k < width; ++k) {
      for (std::size_t b = 0; b < kBytesPerPixel; ++b) {
        const int channel = planes.channels() == 1 ? 0 : static_cast<int>(b);
        const float v = planes.plane(channel)[static_cast<std::size_t>(q) * width + k];
        out[k * kBytesPerPixel + b] =
            static_cast<uint8_t>(std::lround(std::clamp(v, 0.0F, 255.0F)));
      }
    }
  }
  return image;
}

}  // namespace noctra
