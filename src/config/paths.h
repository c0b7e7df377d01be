#pragma once
// Platform paths: where the settings live, the home folder that stands in for
// drive C:\, and the two path flavours used by the naming and title rules.

#include <filesystem>
#include <string>
#include <string_view>

namespace noctra {

// Windows: '\' and the drive ':' end a folder part ('/' does not, so a title
// or an extension is cut where a Windows user expects it); POSIX: '/' only.
enum class PathFlavour { Windows, Posix };
inline constexpr PathFlavour kNativePathFlavour = PathFlavour::Posix;

// $HOME, else the password database entry; never a literal "~".
std::string home_folder();

// "C:\Images.AVI" -> "<home>/Images.AVI"; any path on drive C:\ (either
// letter case) moves into the home folder with its backslashes turned into
// '/'; other paths are returned unchanged.
std::string map_drive_c(std::string_view windows_path, std::string_view home);

// $XDG_CONFIG_HOME/noctra/Noctra.ini, else <home>/.config/noctra/Noctra.ini.
// A relative or empty $XDG_CONFIG_HOME is ignored.
std::filesystem::path default_settings_file(std::string_view home);
// The same with the variable's value passed in (nullptr = unset).
std::filesystem::path default_settings_file(std::string_view home, const char* xdg_config_home);

// The calibration library's folder: $XDG_DATA_HOME/noctra/calibration,
// else <home>/.local/share/noctra/calibration (a relative or empty
// $XDG_DATA_HOME is ignored).
std::filesystem::path default_calibration_folder(std::string_view home);
// The same with the variable's value passed in (nullptr = unset).
std::filesystem::path default_calibration_folder(std::string_view home, const char* xdg_data_home);

// The file-name part of a path for the window title: scanning back from the
// end, everything after the first separator met ("C:\Sky\m42.avi" ->
// "m42.avi", "C:m42.avi" -> "m42.avi" for Windows; "/a/b.avi" -> "b.avi").
std::string_view file_name_part(std::string_view path, PathFlavour flavour);

}  // namespace noctra
