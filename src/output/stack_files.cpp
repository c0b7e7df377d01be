#include "output/stack_files.h"

#include <fitsio.h>
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include "config/version.h"
#include "output/fits_container.h"

namespace noctra {

namespace {

namespace fs = std::filesystem;

constexpr const char* kTemporarySuffix = ".part";

// The path without the extension of its last component.
std::string without_extension(const std::string& path) {
  const fs::path p(path);
  const std::string name = p.filename().string();
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return path;
  return (p.parent_path() / name.substr(0, dot)).string();
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  const std::string zero =
      decimals > 0 ? "-0." + std::string(static_cast<std::size_t>(decimals), '0') : "-0";
  return text == zero ? std::string(text + 1) : std::string(text);
}

std::string fits_date(int64_t utc_us) {
  std::string text = format_utc(utc_us, 3);
  if (!text.empty() && text.back() == 'Z') text.pop_back();
  return text;
}

// Renames the finished temporary file over the path, or removes it.
Status finish(const std::string& temporary, const std::string& path, Status written) {
  std::error_code error;
  if (written) {
    fs::rename(temporary, path, error);
    if (!error) return {};
    written = failure("Can't write " + path + ": " + error.message());
  }
  fs::remove(temporary, error);
  return written;
}

Status write_fits_file(const std::string& file, const PlaneFrame& stack,
                       const StackHeader& header) {
  int status = 0;
  fitsfile* fits = nullptr;
  if (fits_create_diskfile(&fits, file.c_str(), &status) != 0) {
    return failure("Can't create " + file + ": " + std::strerror(errno));
  }
  const int planes = stack.channels == 1 ? 1 : 3;
  long axes[3] = {stack.width, stack.height, planes};
  fits_create_img(fits, FLOAT_IMG, planes == 1 ? 2 : 3, axes, &status);
  const auto text = [&](const char* key, const std::string& value, const char* comment) {
    fits_write_key_str(fits, key, value.c_str(), comment, &status);
  };
  const auto integer = [&](const char* key, int64_t value, const char* comment) {
    fits_write_key_lng(fits, key, static_cast<LONGLONG>(value), comment, &status);
  };
  text("ROWORDER", "BOTTOM-UP", "first row is the bottom line of the picture");
  text("IMAGETYP", "Light", "type of image");
  text("BUNIT", "ADU", "the frames' 8-bit levels, averaged");
  integer("NCOMBINE", header.combined, "frames stacked");
  integer("NREJECT", header.rejected, "frames left out of the stack");
  if (header.exposure_known && header.combined > 0) {
    fits_write_key_fixdbl(fits, "EXPTIME", header.exposure_s, 3,
                          "[s] total of the stacked exposures", &status);
  }
  if (header.first_start_utc_us) {
    text("DATE-OBS", fits_date(*header.first_start_utc_us), "start of the first frame stacked");
  }
  if (header.last_end_utc_us) {
    text("DATE-END", fits_date(*header.last_end_utc_us), "end of the last frame stacked");
  }
  text("TIMESYS", "UTC", "time scale of the dates");
  if (header.reference_frame >= 0) integer("STACKREF", header.reference_frame, "reference frame");
  text("STACKMTH", "mean, 3 sigma rejection", "how the frames were combined");
  if (!header.dark.empty()) text("CALDARK", header.dark, "master dark");
  if (!header.flat.empty()) text("CALFLAT", header.flat, "master flat");
  if (header.dark_scale) {
    fits_write_key_fixdbl(fits, "DARKSCAL", *header.dark_scale, 4, "k: the dark's scale", &status);
  } else if (header.fitted_scales > 0) {
    fits_write_key_fixdbl(fits, "DARKSCAL",
                          header.fitted_scale_sum / static_cast<double>(header.fitted_scales), 4,
                          "k: mean of the stacked frames' fitted scales", &status);
  }
  text("SWCREATE", std::string("Noctra ") + kVersion, "program that wrote the file");
  // FITS keeps R, G, B; the planes are B, G, R.
  const auto plane_size = static_cast<LONGLONG>(stack.width) * stack.height;
  std::vector<float> rows(static_cast<std::size_t>(plane_size));
  for (int p = 0; p < planes && status == 0; ++p) {
    const FloatPlane& plane = stack.planes[static_cast<std::size_t>(planes == 1 ? 0 : 2 - p)];
    for (int32_t q = 0; q < stack.height; ++q) {
      std::copy(plane.row(q), plane.row(q) + stack.width,
                rows.begin() + static_cast<std::ptrdiff_t>(q) * stack.width);
    }
    fits_write_img(fits, TFLOAT, 1 + p * plane_size, plane_size, rows.data(), &status);
  }
  int closing = 0;
  fits_close_file(fits, &closing);
  if (status == 0) status = closing;
  if (status != 0) return failure("Can't write " + file + ": " + cfitsio_message(status));
  return {};
}

struct PngImage {
  png_uint_32 width;
  png_uint_32 height;
  int colour_type;
  std::size_t row_bytes;
  const uint8_t* rows;  // top line first, 16-bit samples most significant byte first
};

// libpng reports its errors by a long jump back into this function, which
// therefore keeps nothing but what libpng itself holds.
bool encode_png(FILE* out, const PngImage* image) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, image->width, image->height, 16, image->colour_type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (png_uint_32 top = 0; top < image->height; ++top) {
    png_write_row(png, image->rows + static_cast<std::size_t>(top) * image->row_bytes);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

Status write_png_file(const std::string& file, const PlaneFrame& stack,
                      const StackStretch& stretch) {
  std::vector<uint16_t> samples;
  stretched_rows16(stack, stretch, samples);
  std::vector<uint8_t> bytes(samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(samples[i] >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(samples[i] & 0xFF);
  }
  const bool grey = stack.channels == 1;
  const PngImage image{static_cast<png_uint_32>(stack.width),
                       static_cast<png_uint_32>(stack.height),
                       grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                       static_cast<std::size_t>(stack.width) * (grey ? 2 : 6), bytes.data()};
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(file.c_str(), "wb"), std::fclose);
  if (!out) return failure("Can't create " + file + ": " + std::strerror(errno));
  if (!encode_png(out.get(), &image)) return failure("Can't write " + file + ": libpng failed");
  if (std::fflush(out.get()) != 0 || std::ferror(out.get()) != 0) {
    return failure("Can't write " + file + ": " + std::strerror(errno));
  }
  return {};
}

}  // namespace

StackPaths stack_paths_for_recording(const std::string& recording_path) {
  const std::string stem = without_extension(recording_path) + ".stack";
  return {stem + ".fits", stem + ".png", stem + ".csv"};
}

StackPaths stack_paths_for_fits(const std::string& fits_path) {
  const std::string stem = without_extension(fits_path);
  return {fits_path, stem + ".png", stem + ".csv"};
}

void count_stack_frame(StackHeader& header, const StackFrameReport& report,
                       const FrameTiming& timing) {
  if (!stacked(report.verdict)) {
    ++header.rejected;
    return;
  }
  ++header.combined;
  if (report.dark_scale) {
    header.fitted_scale_sum += *report.dark_scale;
    ++header.fitted_scales;
  }
  if (report.verdict == FrameVerdict::Reference) header.reference_frame = report.frame;
  if (timing.start && timing.end) {
    header.exposure_s += static_cast<double>(timing.end->utc_us - timing.start->utc_us) / 1e6;
  } else {
    header.exposure_known = false;
  }
  if (timing.start &&
      (!header.first_start_utc_us || timing.start->utc_us < *header.first_start_utc_us)) {
    header.first_start_utc_us = timing.start->utc_us;
  }
  if (timing.end && (!header.last_end_utc_us || timing.end->utc_us > *header.last_end_utc_us)) {
    header.last_end_utc_us = timing.end->utc_us;
  }
}

std::string stack_csv_row(const StackFrameReport& report) {
  std::string row = std::to_string(report.frame) + (stacked(report.verdict) ? ",1," : ",0,") +
                    frame_verdict_text(report.verdict);
  const bool aligned = report.verdict != FrameVerdict::NoStars &&
                       report.verdict != FrameVerdict::Size &&
                       report.verdict != FrameVerdict::Dropped && report.matched > 0;
  if (aligned) {
    row += ',' + fixed(report.transform.dx, 3) + ',' + fixed(-report.transform.dy, 3) + ',' +
           fixed(report.transform.rotation * 180 / M_PI, 4);
  } else {
    row += ",,,";
  }
  row += ',' + std::to_string(report.stars) + ',' + std::to_string(report.matched) + ',';
  if (aligned) row += fixed(report.residual_px, 3);
  row += ',';
  if (report.stars > 0) row += fixed(report.fwhm, 3);
  return row;
}

Status write_stack_fits(const std::string& path, const PlaneFrame& stack,
                        const StackHeader& header) {
  if (stack.channels <= 0 || stack.width <= 0 || stack.height <= 0) {
    return failure("Can't write " + path + ": no frame was stacked");
  }
  const std::string temporary = path + kTemporarySuffix;
  std::error_code ignored;
  fs::remove(temporary, ignored);
  return finish(temporary, path, write_fits_file(temporary, stack, header));
}

Status write_stack_png(const std::string& path, const PlaneFrame& stack,
                       const StackStretch& stretch) {
  if (stack.channels <= 0 || stack.width <= 0 || stack.height <= 0) {
    return failure("Can't write " + path + ": no frame was stacked");
  }
  const std::string temporary = path + kTemporarySuffix;
  return finish(temporary, path, write_png_file(temporary, stack, stretch));
}

Status write_stack_csv(const std::string& path, std::vector<StackFrameReport> reports) {
  std::stable_sort(
      reports.begin(), reports.end(),
      [](const StackFrameReport& a, const StackFrameReport& b) { return a.frame < b.frame; });
  const std::string temporary = path + kTemporarySuffix;
  Status written;
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << kStackCsvHeader << '\n';
    for (const StackFrameReport& report : reports) out << stack_csv_row(report) << '\n';
    out.flush();
    if (!out) written = failure("Can't write " + path + ": " + std::strerror(errno));
  }
  return finish(temporary, path, written);
}

Status write_stack_files(const StackPaths& paths, const PlaneFrame& stack,
                         const StackHeader& header, const std::vector<StackFrameReport>& reports) {
  Status written = write_stack_csv(paths.csv, reports);
  if (header.combined == 0) return written;
  if (Status fits = write_stack_fits(paths.fits, stack, header); !fits && written) written = fits;
  std::vector<float> scratch;
  const StackStretch stretch = auto_stack_stretch(stack, scratch);
  if (Status png = write_stack_png(paths.png, stack, stretch); !png && written) written = png;
  return written;
}

}  // namespace noctra
