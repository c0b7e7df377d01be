#include "output/container.h"

#include <system_error>

#include "output/fits_container.h"

namespace noctra {

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_with_any_case(std::string_view path, std::string_view lower_tail) {
  if (lower_tail.empty() || path.size() < lower_tail.size()) return false;
  const std::string_view tail = path.substr(path.size() - lower_tail.size());
  for (std::size_t k = 0; k < tail.size(); ++k) {
    if (ascii_lower(tail[k]) != lower_tail[k]) return false;
  }
  return true;
}

const ContainerFormat kFormats[] = {
    {RecordingFormat::Avi, "AVI", {".avi", ""}, kRecordingFileFilters[0], output_file_exists},
    {RecordingFormat::Ser, "SER", {".ser", ""}, kRecordingFileFilters[2], output_file_exists},
    {RecordingFormat::Fits, "FITS", {".fits", ".fit"}, kRecordingFileFilters[3], fits_recording_exists},
};

}  // namespace

std::string ContainerStatus::reason() const {
  return error != 0 ? std::generic_category().message(error) : detail;
}

ContainerStatus ContainerStatus::open_failed(int error, std::string file) {
  return {ContainerFailure::Open, error, {}, std::move(file)};
}

ContainerStatus ContainerStatus::write_failed(int error, std::string file, std::string detail) {
  return {ContainerFailure::Write, error, std::move(detail), std::move(file)};
}

ContainerStatus ContainerStatus::refused(std::string detail) {
  return {ContainerFailure::Refused, 0, std::move(detail), {}};
}

const ContainerFormat& container_format(RecordingFormat format) {
  for (const ContainerFormat& f : kFormats) {
    if (f.format == format) return f;
  }
  return kFormats[0];
}

RecordingFormat format_of_path(std::string_view path) {
  for (const ContainerFormat& f : kFormats) {
    for (std::string_view extension : f.extensions) {
      if (ends_with_any_case(path, extension)) return f.format;
    }
  }
  return RecordingFormat::Avi;
}

std::string container_failure_message(const ContainerFormat& format, const ContainerStatus& status,
                                      const std::string& recording_path) {
  const std::string& file = status.file.empty() ? recording_path : status.file;
  const std::string name(format.name);
  switch (status.failure) {
    case ContainerFailure::None:
      return {};
    case ContainerFailure::Open:
      // As AVI words it: the path alone says which folder is missing.
      return "Can't open " + name + " file " + file;
    case ContainerFailure::Write:
      return "Can't write to " + name + " file " + file + ": " + status.reason();
    case ContainerFailure::Refused:
      return "Frame not written to " + name + " file " + file + ": " + status.detail;
  }
  return {};
}

}  // namespace noctra
