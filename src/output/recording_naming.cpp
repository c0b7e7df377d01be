#include "output/recording_naming.h"

#include <vector>

namespace noctra {

namespace {

constexpr FileFilter kAllFiles{"All Files", "*.*"};

std::vector<ChooserFilter> make_file_filters() {
  std::vector<ChooserFilter> filters;
  for (const RecordingFormat& format : recording_formats()) {
    filters.push_back({format.filter, &format});
    if (format.takes_other_names) filters.push_back({kAllFiles, nullptr});
  }
  return filters;
}

std::size_t filter_of_format(const RecordingFormat* format) {
  const std::span<const ChooserFilter> filters = recording_file_filters();
  std::size_t k = 0;
  while (k + 1 < filters.size() && filters[k].format != format) ++k;
  return k;
}

std::optional<ChooserAnswer> usable_answer(const std::optional<ChooserAnswer>& chosen) {
  // A name longer than a path can hold counts as a failed chooser, as with AVI.
  if (!chosen || chosen->path.size() > kMaxPathChars) return std::nullopt;
  return chosen;
}

}  // namespace

std::span<const ChooserFilter> recording_file_filters() {
  static const std::vector<ChooserFilter> filters = make_file_filters();
  return filters;
}

std::size_t all_files_filter() { return filter_of_format(nullptr); }

std::size_t filter_of_path(std::string_view path) {
  return filter_of_format(&format_of_path(path));
}

std::string_view forced_extension(std::size_t filter, std::string_view path) {
  const std::span<const ChooserFilter> filters = recording_file_filters();
  const RecordingFormat& own = format_of_path(path);
  const RecordingFormat* chosen = filter < filters.size() ? filters[filter].format : nullptr;
  if (chosen == nullptr || chosen == &own) return own_extension(own, path);
  return chosen->extensions[0];
}

PathChoice save_images_in_command(const std::string& image_file_path, bool capture_idle,
                                  const BrowseRecordingPath& browse, PathFlavour flavour,
                                  std::string_view home) {
  if (!capture_idle) return {PathChoiceOutcome::NotShown, image_file_path};
  const std::optional<ChooserAnswer> chosen =
      usable_answer(browse(image_file_path, filter_of_path(image_file_path)));
  std::string path = chosen ? chosen->path : image_file_path;
  const std::size_t filter = chosen ? chosen->filter : all_files_filter();
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

NumberingResult number_recording_path(std::string& path, int32_t auto_increment) {
  return number_recording_path(path, auto_increment, format_of_path(path).recording_exists);
}

NumberingResult number_recording_path(std::string& path, int32_t auto_increment,
                                      const FileExistsProbe& exists) {
  // A name no format's extension ends is left as it is, as an AVI name
  // without ".avi" always was.
  return number_output_path(path, auto_increment, exists,
                            own_extension(format_of_path(path), path));
}

}  // namespace noctra
