#include "output/naming.h"

#include <sys/stat.h>

#include <cstdio>

namespace noctra {

namespace {

constexpr std::string_view kAviExtension = ".avi";
constexpr int kHighestNumber = 999;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_file_name_folder(char c, PathFlavour flavour) {
  return flavour == PathFlavour::Windows ? (c == '\\' || c == '/' || c == ':') : c == '/';
}

void write_digit_field(std::string& path, std::size_t field, int number) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03d", number);
  path.replace(field, 3, digits, 3);
}

std::optional<std::string> usable_chooser_answer(const std::optional<std::string>& chosen) {
  // The chooser hands back at most kMaxPathChars characters; a longer name
  // cannot be held and counts as a failed chooser.
  if (!chosen || chosen->size() > kMaxPathChars) return std::nullopt;
  return chosen;
}

}  // namespace

bool ends_with_any_case(std::string_view text, std::string_view lower_tail) {
  if (lower_tail.empty() || text.size() < lower_tail.size()) return false;
  const std::string_view tail = text.substr(text.size() - lower_tail.size());
  for (std::size_t k = 0; k < tail.size(); ++k) {
    if (ascii_lower(tail[k]) != lower_tail[k]) return false;
  }
  return true;
}

bool output_file_exists(const std::string& path) {
  struct stat entry {};
  return ::lstat(path.c_str(), &entry) == 0;
}

NumberingResult number_output_path(std::string& path, int32_t auto_increment,
                                   const FileExistsProbe& exists) {
  return number_output_path(path, auto_increment, exists, kAviExtension);
}

NumberingResult number_output_path(std::string& path, int32_t auto_increment,
                                   const FileExistsProbe& exists, std::string_view extension) {
  if (auto_increment == 0 || path.empty() || !ends_with_any_case(path, extension)) {
    return NumberingResult::Unchanged;
  }
  const std::size_t dot = path.size() - extension.size();
  const bool already_numbered = dot > 4 && path[dot - 4] == '_' && is_digit(path[dot - 3]) &&
                                is_digit(path[dot - 2]) && is_digit(path[dot - 1]);
  std::string candidate = path;
  std::size_t field = 0;
  int number = 0;
  if (already_numbered) {
    field = dot - 3;
    number = (path[dot - 3] - '0') * 100 + (path[dot - 2] - '0') * 10 + (path[dot - 1] - '0');
  } else {
    candidate.insert(dot, "_000");
    field = dot + 1;
  }
  if (candidate.size() > kMaxPathChars) return NumberingResult::PathTooLong;

  // Numbers below the starting one are never tried: the name says where the
  // last recording got to.
  while (exists(candidate)) {
    if (number == kHighestNumber) return NumberingResult::AllNumbersTaken;
    ++number;
    write_digit_field(candidate, field, number);
  }
  path = std::move(candidate);
  return NumberingResult::Numbered;
}

NumberingResult number_output_path(Settings& settings, const FileExistsProbe& exists) {
  return number_output_path(settings.image_file_path, settings.auto_increment, exists);
}

std::string numbering_failure_message(NumberingResult result, const std::string& path,
                                      std::string_view format) {
  const std::string file = "Can't number " + std::string(format) + " file " + path;
  switch (result) {
    case NumberingResult::AllNumbersTaken:
      return file + ": the files of every number up to 999 exist";
    case NumberingResult::PathTooLong:
      return file + ": the numbered name would be longer than " + std::to_string(kMaxPathChars) +
             " characters";
    case NumberingResult::Unchanged:
    case NumberingResult::Numbered:
      break;
  }
  return {};
}

std::string empty_output_path(PathFlavour flavour, std::string_view home) {
  constexpr std::string_view kWindowsDefault = "C:\\Images";
  return flavour == PathFlavour::Windows ? std::string(kWindowsDefault)
                                         : map_drive_c(kWindowsDefault, home);
}

bool force_avi_extension(std::string& path, PathFlavour flavour, std::string_view home) {
  return force_extension(path, kAviExtension, flavour, home);
}

bool force_extension(std::string& path, std::string_view extension, PathFlavour flavour,
                     std::string_view home) {
  std::string result = path.empty() ? empty_output_path(flavour, home) : path;
  std::size_t scan = result.size();
  while (scan > 0 && result[scan - 1] != '.' && !ends_file_name_folder(result[scan - 1], flavour)) {
    --scan;
  }
  if (scan > 0 && result[scan - 1] == '.') {
    result.replace(scan - 1, std::string::npos, extension);
  } else {
    result += extension;
  }
  if (result.size() > kMaxPathChars) return false;
  path = std::move(result);
  return true;
}

PathChoice save_images_in_command(const std::string& image_file_path, bool capture_idle,
                                  const BrowseOutputPath& browse, PathFlavour flavour,
                                  std::string_view home) {
  if (!capture_idle) return {PathChoiceOutcome::NotShown, image_file_path};
  const std::optional<std::string> chosen = usable_chooser_answer(browse(image_file_path));
  std::string path = chosen ? *chosen : image_file_path;
  // A cancelled chooser still gets the extension forced on the path it
  // started from.
  if (!force_avi_extension(path, flavour, home))
    return {PathChoiceOutcome::TooLong, image_file_path};
  return {chosen ? PathChoiceOutcome::Chosen : PathChoiceOutcome::Cancelled, std::move(path)};
}

PathChoice setup_file_button(const std::string& button_text, const BrowseOutputPath& browse,
                             PathFlavour flavour, std::string_view home) {
  const std::optional<std::string> chosen =
      usable_chooser_answer(browse(cut_to_max_path(button_text)));
  if (!chosen) return {PathChoiceOutcome::Cancelled, button_text};
  std::string path = *chosen;
  if (!force_avi_extension(path, flavour, home)) return {PathChoiceOutcome::TooLong, button_text};
  return {PathChoiceOutcome::Chosen, std::move(path)};
}

std::string path_too_long_message(const std::string& path, std::string_view extension) {
  return "The name " + path + " with the extension " + std::string(extension) +
         " would be longer than " + std::to_string(kMaxPathChars) + " characters";
}

}  // namespace noctra
