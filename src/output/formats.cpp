#include "output/formats.h"

#include <algorithm>

#include "output/avi_container.h"
#include "output/avi_reader.h"
#include "output/fits_container.h"
#include "output/fits_reader.h"
#include "output/ser_container.h"
#include "output/ser_reader.h"

namespace noctra {

namespace {

constexpr RecordingFormat kFormats[] = {
    {"AVI",
     {".avi", ""},
     {"Microsoft AVI", "*.avi"},
     true,
     true,
     output_file_exists,
     make_avi_container,
     nullptr,
     open_avi_recording,
     nullptr},
    {"SER",
     {".ser", ""},
     {"SER video", "*.ser"},
     true,
     false,
     output_file_exists,
     make_ser_container,
     SerReader::claims,
     open_ser_recording,
     nullptr},
    {"FITS",
     {".fits", ".fit"},
     {"FITS images", "*.fits"},
     true,
     false,
     fits_recording_exists,
     make_fits_container,
     nullptr,
     open_fits_recording,
     make_calibrated_fits_container},
};
static_assert(std::ranges::count_if(kFormats, &RecordingFormat::takes_other_names) == 1,
              "exactly one format takes the names no other format claims");

constexpr const RecordingFormat& format_of_other_names() {
  return *std::ranges::find_if(kFormats, &RecordingFormat::takes_other_names);
}

}  // namespace

std::span<const RecordingFormat> recording_formats() { return kFormats; }

const RecordingFormat& format_of_path(std::string_view path) {
  for (const RecordingFormat& format : kFormats) {
    for (std::string_view extension : format.extensions) {
      if (ends_with_any_case(path, extension)) return format;
    }
  }
  return format_of_other_names();
}

const RecordingFormat& claimed_format(const std::string& path) {
  for (const RecordingFormat& format : kFormats) {
    if (format.claims_content != nullptr && format.claims_content(path)) return format;
  }
  return format_of_path(path);
}

std::string_view own_extension(const RecordingFormat& format, std::string_view path) {
  for (std::string_view extension : format.extensions) {
    if (ends_with_any_case(path, extension)) return extension;
  }
  return format.extensions[0];
}

std::string container_failure_message(const RecordingFormat& format, const ContainerStatus& status,
                                      const std::string& recording_path) {
  const std::string& file = status.file.empty() ? recording_path : status.file;
  const std::string name(format.name);
  switch (status.failure) {
    case ContainerFailure::None:
      return {};
    case ContainerFailure::Open:
      // The path alone says which folder is missing.
      return "Can't open " + name + " file " + file;
    case ContainerFailure::Stream:
      return "Can't create " + name + " stream";
    case ContainerFailure::Format:
      return "Can't set " + name + " stream format";
    case ContainerFailure::Write:
      return "Can't write to " + name + " file " + file + ": " + status.reason();
    case ContainerFailure::Refused:
      return "Frame not written to " + name + " file " + file + ": " + status.detail;
  }
  return {};
}

std::string mono_refusal_message(const RecordingFormat& format, const std::string& path) {
  const std::string name(format.name);
  return "Can't open " + name + " file " + path + ": " + name +
         " files take no 8-bit mono frames; set [Recording] Colour=bgr or choose another format";
}

std::string calibrated_refusal_message(const RecordingFormat& format, const std::string& path) {
  const std::string name(format.name);
  return "Calibrated recordings need FITS files: the 8-bit samples of " + name +
         " files cannot hold calibrated values, so " + path +
         " gets raw frames. Choose a .fits file to record calibrated frames.";
}

}  // namespace noctra
