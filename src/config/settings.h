#pragma once
// The settings record and its INI file "Noctra.ini": sections Filenames,
// Flags and Capture (values as "%d"), plus Noctra's own [Hardware] and
// [Recording], [Stack] and [Simulation] sections.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "config/status.h"

namespace noctra {

// A path has at most 259 characters, so that a settings file stays readable
// on Windows, where paths live in 260-byte buffers.
inline constexpr std::size_t kMaxPathChars = 259;

struct Settings {
  std::string image_file_path;   // [Filenames] ImageFile, at most kMaxPathChars
  int32_t auto_increment = 0;    // [Flags] AutoIncrement
  int32_t amp_off = 0;           // [Flags] AmpOff
  int32_t guiding = 0;           // [Flags] Guiding
  int32_t exposure = 2000;       // [Capture] Exposure, ms
  int32_t guide_interval = 500;  // [Capture] Guide, ms
  int32_t delay = 0;             // [Capture] Delay, ms
  int32_t count = 0;             // [Capture] Count, 0 = no limit
  int32_t hi_res = 0;            // [Capture] HiRes
  std::string port = "auto";     // [Hardware] Port: auto, sim, ppdev:/dev/parport0, ...
  std::string source = "auto";   // [Hardware] Source: auto, sim, v4l2:/dev/video0, ...
  // Written into the recordings that have room for them (SER's header,
  // FITS's OBSERVER, INSTRUME and TELESCOP); empty by default.
  std::string observer = {};    // [Recording] Observer
  std::string instrument = {};  // [Recording] Instrument
  std::string telescope = {};   // [Recording] Telescope
  // "mono" writes one byte a pixel (the luma), anything else the 24-bit
  // frames as they come: see mono_recording().
  std::string colour = "bgr";  // [Recording] Colour
  // The simulated camera's cover and flat light (1 = on); no real camera
  // reads them.
  int32_t sim_covered = 0;     // [Simulation] Covered
  int32_t sim_flat_light = 0;  // [Simulation] FlatLight
  // The simulated camera's field rotation, degrees per minute ([Simulation]
  // Rotation=, a decimal number). Read only: saving leaves the key as it is.
  double sim_rotation = 0;
  // Calibration with the library's masters (1 = on): the main view, FITS
  // recordings as 32-bit float, the hot pixels of guide frames, and whether
  // the dark's scale is fitted per frame (else the exposure ratio alone).
  int32_t calib_view = 0;              // [Calibration] View
  int32_t calib_recordings = 0;        // [Calibration] Recordings
  int32_t calib_guide_hot_pixels = 0;  // [Calibration] GuideHotPixels
  int32_t calib_fit_scale = 1;         // [Calibration] FitScale
  // The live stack (1 = on): the main view shows the stack, recordings are
  // stacked as they are made, headless ones too.
  int32_t stack_on = 0;  // [Stack] On

  // [Layout]: the desktop program's windows and view choices, written once
  // the windows have been up (layout_saved 1); a width of 0 means the
  // window's place was never saved.
  int32_t layout_saved = 0;                                         // Saved
  int32_t main_x = 0, main_y = 0, main_width = 0, main_height = 0;  // Main*
  int32_t guide_x = 0, guide_y = 0;                                 // GuideX, GuideY
  int32_t star_x = 0, star_y = 0, star_width = 0, star_height = 0;  // Star*
  int32_t star_open = 0;                                            // StarWindow
  int32_t zoom = 1;          // Zoom: 0 fit to window, 1, 2 or 4
  int32_t centre_cross = 0;  // CentreCross
  int32_t stretch = 0;       // Stretch
  int32_t night_mode = 0;    // NightMode

  friend bool operator==(const Settings&, const Settings&) = default;
};

// Whether recordings take 8-bit mono frames ([Recording] Colour=mono, in
// any letter case); the default, "bgr", keeps the 24-bit frames.
bool mono_recording(const Settings& settings);

// The path cut to kMaxPathChars bytes; a UTF-8 character is never split
// (the cut steps back to its first byte).
std::string cut_to_max_path(std::string_view path);

// Defaults with "C:\Images.AVI" mapped to <home>/Images.AVI.
Settings default_settings(const std::string& home);

// Reads every field; a missing file or key gives the default, a corrupt or
// binary file loads as defaults (lines that still parse are used). A key
// present with an empty value reads as 0 (an empty Port or Source as "auto").
// Never throws.
Settings load_settings(const std::filesystem::path& ini_file, const std::string& home);

// The same from the file's text.
Settings settings_from_text(std::string_view ini_text, const std::string& home);

// Writes the fields (keeping other sections and keys already in the file),
// atomically: temp file in the same folder, then rename. Creates the folder
// if needed. On failure leaves the old file as it was and says why. A value
// is written up to its first line break, which the file format cannot hold.
// An existing file that cannot be read is not replaced (the save fails); one
// over 1 MiB is not a settings file and is replaced.
Status save_settings(const Settings& settings, const std::filesystem::path& ini_file);

// The platform's profile-integer read: optional sign and leading decimal
// digits ("12abc" -> 12, "-1" -> -1, "abc" -> 0, "" -> 0), wrapping to 32 bits.
int32_t parse_profile_int(const std::string& text);

}  // namespace noctra
