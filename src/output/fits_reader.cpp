#include "output/fits_reader.h"

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "output/fits_container.h"
#include "output/naming.h"

namespace noctra {

namespace {

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
class FitsReader final : public RecordingReader {
 public:
  explicit FitsReader(std::vector<std::string> files) : files_(std::move(files)) {}
  std::size_t count() const override { return files_.size(); }

  Status read_frame(std::size_t index, RecordedFrame& out) override {
    out.image.reset();
    out.timing = {};
    if (index >= files_.size())
      return failure("the recording has no frame " + std::to_string(index));
    const std::string& path = files_[index];
    int status = 0;
    fitsfile* file = nullptr;
    if (fits_open_diskfile(&file, path.c_str(), READONLY, &status) != 0) {
      return failure(path + " is not a FITS file: " + cfitsio_message(status));
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
    if (status != 0) return failure(path + " is not a FITS image: " + cfitsio_message(status));
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
    if (status != 0) return failure("Can't read " + path + ": " + cfitsio_message(status));
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
};

}  // namespace

Result<std::unique_ptr<RecordingReader>> open_fits_recording(const std::string& path) {
  std::vector<std::string> files;
  while (output_file_exists(fits_frame_path(path, static_cast<int64_t>(files.size())))) {
    files.push_back(fits_frame_path(path, static_cast<int64_t>(files.size())));
  }
  if (files.empty() && output_file_exists(path)) files.push_back(path);
  if (files.empty()) {
    return failure("Can't open " + path + ": neither it nor " + fits_frame_path(path, 0) +
                   " exists");
  }
  // The first frame is read now, so a file that is not FITS fails here.
  auto reader = std::make_unique<FitsReader>(std::move(files));
  RecordedFrame first;
  if (Status read = reader->read_frame(0, first); !read) return failure(read.message());
  return std::unique_ptr<RecordingReader>(std::move(reader));
}

}  // namespace noctra
