#include "output/container.h"

#include <algorithm>
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
    {RecordingFormat::Fits,
     "FITS",
     {".fits", ".fit"},
     kRecordingFileFilters[3],
     fits_recording_exists},
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
  if (!status.message.empty()) return status.message;
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

namespace {

// The format's extension the path ends with, else the one forced.
std::string_view own_extension(const ContainerFormat& format, std::string_view path) {
  for (std::string_view extension : format.extensions) {
    if (ends_with_any_case(path, extension)) return extension;
  }
  return format.extensions[0];
}

}  // namespace

NumberingResult number_recording_path(std::string& path, int32_t auto_increment) {
  const ContainerFormat& format = container_format(format_of_path(path));
  return number_recording_path(path, auto_increment, format.recording_exists);
}

NumberingResult number_recording_path(std::string& path, int32_t auto_increment,
                                      const FileExistsProbe& exists) {
  const RecordingFormat format = format_of_path(path);
  if (format == RecordingFormat::Avi) return number_output_path(path, auto_increment, exists);
  return number_output_path(path, auto_increment, exists,
                            own_extension(container_format(format), path));
}

std::size_t filter_of_path(std::string_view path) {
  switch (format_of_path(path)) {
    case RecordingFormat::Ser:
      return 2;
    case RecordingFormat::Fits:
      return 3;
    case RecordingFormat::Avi:
      break;
  }
  return 0;
}

std::string_view forced_extension(std::size_t filter, std::string_view path) {
  for (const ContainerFormat& f : kFormats) {
    if (f.filter.pattern == kRecordingFileFilters[std::min(filter, kAllFilesFilter + 2)].pattern) {
      return f.format == format_of_path(path) ? own_extension(f, path) : f.extensions[0];
    }
  }
  return own_extension(container_format(format_of_path(path)), path);
}

namespace {

std::optional<ChooserAnswer> usable_answer(const std::optional<ChooserAnswer>& chosen) {
  // A name longer than a path can hold counts as a failed chooser, as with AVI.
  if (!chosen || chosen->path.size() > kMaxPathChars) return std::nullopt;
  return chosen;
}

}  // namespace

PathChoice save_images_in_command(const std::string& image_file_path, bool capture_idle,
                                  const BrowseRecordingPath& browse, PathFlavour flavour,
                                  std::string_view home) {
  if (!capture_idle) return {PathChoiceOutcome::NotShown, image_file_path};
  const std::optional<ChooserAnswer> chosen =
      usable_answer(browse(image_file_path, filter_of_path(image_file_path)));
  std::string path = chosen ? chosen->path : image_file_path;
  const std::size_t filter = chosen ? chosen->filter : kAllFilesFilter;
  const std::string_view extension = forced_extension(filter, path);
  if (!force_extension(path, extension, flavour, home)) {
    return {PathChoiceOutcome::TooLong, image_file_path, extension};
  }
  return {chosen ? PathChoiceOutcome::Chosen : PathChoiceOutcome::Cancelled, std::move(path),
          extension};
}

PathChoice setup_file_button(const std::string& button_text, const BrowseRecordingPath& browse,
                             PathFlavour flavour, std::string_view home) {
  const std::string initial = cut_to_max_path(button_text);
  const std::optional<ChooserAnswer> chosen =
      usable_answer(browse(initial, filter_of_path(initial)));
  if (!chosen) return {PathChoiceOutcome::Cancelled, button_text};
  std::string path = chosen->path;
  const std::string_view extension = forced_extension(chosen->filter, path);
  if (!force_extension(path, extension, flavour, home)) {
    return {PathChoiceOutcome::TooLong, button_text, extension};
  }
  return {PathChoiceOutcome::Chosen, std::move(path), extension};
}

}  // namespace noctra
