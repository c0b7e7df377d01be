#include "config/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace noctra {

namespace {

bool is_absolute_posix(std::string_view path) { return !path.empty() && path.front() == '/'; }

// The folder that stands in for "C:\", without a trailing '/', so that
// joining never produces "//" (a home of "/" joins as "/Images.AVI").
std::string_view home_without_trailing_slash(std::string_view home) {
  while (!home.empty() && home.back() == '/') home.remove_suffix(1);
  return home;
}

}  // namespace

std::string home_folder() {
  if (const char* env = std::getenv("HOME"); env != nullptr && is_absolute_posix(env)) {
    return env;
  }
  long size_hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size_hint > 0 ? static_cast<std::size_t>(size_hint) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && is_absolute_posix(found->pw_dir)) {
    return found->pw_dir;
  }
  // No home at all (a stripped-down service account): the root folder is the
  // only place that certainly exists.
  return "/";
}

std::string map_drive_c(std::string_view windows_path, std::string_view home) {
  const bool on_drive_c = windows_path.size() >= 3 &&
                          (windows_path[0] == 'C' || windows_path[0] == 'c') &&
                          windows_path[1] == ':' && windows_path[2] == '\\';
  if (!on_drive_c) return std::string(windows_path);
  std::string mapped(home_without_trailing_slash(home));
  mapped += '/';
  for (char c : windows_path.substr(3)) mapped += (c == '\\') ? '/' : c;
  return mapped;
}

std::filesystem::path default_settings_file(std::string_view home, const char* xdg_config_home) {
  std::filesystem::path folder;
  // Relative values are to be ignored: a config folder that moves with the
  // working directory would lose the settings.
  if (xdg_config_home != nullptr && is_absolute_posix(xdg_config_home)) {
    folder = xdg_config_home;
  } else {
    folder = std::filesystem::path(std::string(home_without_trailing_slash(home))) / ".config";
  }
  return folder / "noctra" / "Noctra.ini";
}

std::filesystem::path default_settings_file(std::string_view home) {
  return default_settings_file(home, std::getenv("XDG_CONFIG_HOME"));
}

std::filesystem::path default_calibration_folder(std::string_view home, const char* xdg_data_home) {
  std::filesystem::path folder;
  if (xdg_data_home != nullptr && is_absolute_posix(xdg_data_home)) {
    folder = xdg_data_home;
  } else {
    folder =
        std::filesystem::path(std::string(home_without_trailing_slash(home))) / ".local" / "share";
  }
  return folder / "noctra" / "calibration";
}

std::filesystem::path default_calibration_folder(std::string_view home) {
  return default_calibration_folder(home, std::getenv("XDG_DATA_HOME"));
}

std::string_view file_name_part(std::string_view path, PathFlavour flavour) {
  std::size_t start = path.size();
  while (start > 0) {
    const char c = path[start - 1];
    const bool ends_folder = flavour == PathFlavour::Windows ? (c == ':' || c == '\\') : c == '/';
    if (ends_folder) break;
    --start;
  }
  return path.substr(start);
}

}  // namespace noctra
