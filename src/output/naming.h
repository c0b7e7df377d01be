#pragma once
// The output file's name: auto-increment numbering ("_000" to "_999" before
// the ".avi"), the forced ".avi" extension, and what the two ways of choosing
// a path ("Save images in..." and the Setup Capture file button) do with the
// chooser's answer. Paths are at most kMaxPathChars (259) characters; a rule
// that would carry one past that refuses and leaves it as it was.

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/paths.h"
#include "config/settings.h"

namespace noctra {

// Whether the text ends with lower_tail (lower case) in any letter case; an
// empty tail never matches.
bool ends_with_any_case(std::string_view text, std::string_view lower_tail);

// Tells whether a file is already there. Tests pass a fake file set.
using FileExistsProbe = std::function<bool(const std::string& path)>;

// The real probe: true when anything by that name exists (a readable file, an
// unreadable one, a folder, a dangling link). The writer deletes the file at
// the numbered path before creating it, so a name only counts as free when
// nothing at all is there. Never opens the file (a FIFO would block).
bool output_file_exists(const std::string& path);

enum class NumberingResult {
  Unchanged,        // auto-increment off, empty path, or no ".avi" ending
  Numbered,         // the path now names the first number whose file is free
  AllNumbersTaken,  // every number from the starting one up to 999 exists
  PathTooLong,      // "_000" would carry the path past kMaxPathChars
};

// True when the writer may go on to delete and create the file at the path;
// after the two failures it must not touch the file system and should show
// numbering_failure_message() instead.
constexpr bool may_open_output(NumberingResult result) {
  return result == NumberingResult::Unchanged || result == NumberingResult::Numbered;
}

// Numbers the path in place when auto_increment is non-zero: a path ending in
// "_ddd.avi" (any case, at least one character before the '_') starts probing
// at ddd, any other ".avi" path gets "_000" inserted before the extension;
// the number then moves on while its file exists. On AllNumbersTaken and
// PathTooLong the path is left exactly as it was.
NumberingResult number_output_path(std::string& path, int32_t auto_increment,
                                   const FileExistsProbe& exists = output_file_exists);
// The same rule for a recording format of another extension (lower case,
// with its dot: ".ser"), matched in any letter case: "m42.SER" becomes
// "m42_000.SER", "m42_007.ser" starts probing at 007. A path that does not
// end in it is left unchanged.
NumberingResult number_output_path(std::string& path, int32_t auto_increment,
                                   const FileExistsProbe& exists, std::string_view extension);
// The same on the settings' image file path and auto-increment flag.
NumberingResult number_output_path(Settings& settings,
                                   const FileExistsProbe& exists = output_file_exists);

// The message for the writer's error box after a failed numbering; format
// names the file ("Can't number SER file ...").
std::string numbering_failure_message(NumberingResult result, const std::string& path,
                                      std::string_view format = "AVI");

// The folder that the empty path stands for: "C:\Images" on Windows, the home
// folder's "Images" on POSIX.
std::string empty_output_path(PathFlavour flavour, std::string_view home);

// Replaces whatever follows the last '.' of the file-name part with "avi", or
// appends ".avi" when the file name has no '.'; an empty path first becomes
// empty_output_path(). The file-name part starts after the last separator
// ('/' on POSIX; '\', '/' or the drive ':' on Windows). Returns false, with the
// path unchanged, when the result would be longer than kMaxPathChars.
bool force_avi_extension(std::string& path, PathFlavour flavour, std::string_view home = {});
// The same rule with another extension (with its dot: ".ser").
bool force_extension(std::string& path, std::string_view extension, PathFlavour flavour,
                     std::string_view home = {});

// The chooser's fixed parameters. It starts at the given name, never asks
// before overwriting, adds no extension itself, and the chosen folder must
// exist.
inline constexpr std::string_view kSaveImagesInTitle = "Save images in...";
struct FileFilter {
  std::string_view description;
  std::string_view pattern;
};
inline constexpr std::array<FileFilter, 2> kOutputFileFilters{{
    {"Microsoft AVI", "*.avi"},
    {"All Files", "*.*"},
}};

// Shows the chooser starting at the name; returns the chosen name, or nothing
// when it was cancelled or failed.
using BrowseOutputPath = std::function<std::optional<std::string>(const std::string& initial_name)>;

enum class PathChoiceOutcome {
  NotShown,   // "Save images in..." while a recording runs: nothing happens
  Cancelled,  // the chooser was cancelled or failed (a name too long to hold counts as failed)
  Chosen,     // a name was chosen
  TooLong,    // ".avi" would carry the name past kMaxPathChars: nothing changes
};
struct PathChoice {
  PathChoiceOutcome outcome = PathChoiceOutcome::NotShown;
  std::string path;                     // the path (or button text) to keep from now on
  std::string_view extension = ".avi";  // the extension forced, or that made the name TooLong
};

// File menu "Save images in...": only while the capture state is Idle; the
// chooser edits the settings' path, and whatever it returned the extension
// is then forced on the path (after a cancel, on the unchanged path).
PathChoice save_images_in_command(const std::string& image_file_path, bool capture_idle,
                                  const BrowseOutputPath& browse, PathFlavour flavour,
                                  std::string_view home);

// Setup Capture file button: whatever the capture state; the chooser starts
// at the button's text (cut to kMaxPathChars) and only a chosen name, with
// its extension forced, replaces the text. The settings are not touched.
PathChoice setup_file_button(const std::string& button_text, const BrowseOutputPath& browse,
                             PathFlavour flavour, std::string_view home);

// The message when the extension (".avi" unless told) would make a chosen
// name too long.
std::string path_too_long_message(const std::string& path, std::string_view extension = ".avi");

}  // namespace noctra
