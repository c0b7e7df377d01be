#pragma once
// A recording's name as the user chooses it and as the recording numbers it,
// for every format of the table (output/formats.h): the chooser's filters, the
// extension the chosen filter forces, "Save images in..." and the Setup
// Capture file button, and each format's numbering rule.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "output/formats.h"
#include "output/naming.h"

namespace noctra {

// One of the chooser's filters: a format's, or "All Files" (no format), which
// follows the filter of the format that takes other names.
struct ChooserFilter {
  FileFilter filter;
  const RecordingFormat* format;  // null for "All Files"
};
std::span<const ChooserFilter> recording_file_filters();
// The position of "All Files" among them.
std::size_t all_files_filter();

// The chooser's answer: the path and the filter the user had chosen (a
// position in recording_file_filters()).
struct ChooserAnswer {
  std::string path;
  std::size_t filter = all_files_filter();
};
// Shows the chooser starting at the name with that filter chosen; nothing
// when it was cancelled or failed.
using BrowseRecordingPath = std::function<std::optional<ChooserAnswer>(
    const std::string& initial_name, std::size_t filter)>;

// The filter the chooser starts with: that of the path's format.
std::size_t filter_of_path(std::string_view path);
// The extension the rule forces after the user chose `filter`: that
// filter's format's (".avi", ".ser", ".fits"; a FITS name ending in ".fit"
// keeps it); with "All Files", that of the format the name already has
// (".avi" for any name no format claims, as the AVI rule always did).
std::string_view forced_extension(std::size_t filter, std::string_view path);

// "Save images in..." and the Setup Capture file button with the formats'
// filters: as the AVI-only rules (output/naming.h), but the extension forced
// is forced_extension() of the chosen filter; after a cancel, of the path's
// own format.
PathChoice save_images_in_command(const std::string& image_file_path, bool capture_idle,
                                  const BrowseRecordingPath& browse, PathFlavour flavour,
                                  std::string_view home);
PathChoice setup_file_button(const std::string& button_text, const BrowseRecordingPath& browse,
                             PathFlavour flavour, std::string_view home);

// Numbers the path by its format's rule: "_000" to "_999" before the
// format's own extension, probing with the format's recording_exists (an
// AVI path exactly as number_output_path() does).
NumberingResult number_recording_path(std::string& path, int32_t auto_increment);
NumberingResult number_recording_path(std::string& path, int32_t auto_increment,
                                      const FileExistsProbe& exists);

}  // namespace noctra
