#pragma once
// The live stack's three files, beside the recording they come from
// (m42_000.avi gives m42_000.stack.fits, m42_000.stack.png and
// m42_000.stack.csv):
//   - the stack as 32-bit float FITS, one plane for a grey stack or R, G and
//     B, rows bottom-up as the frames' (ROWORDER = 'BOTTOM-UP'), in the
//     frames' units (ADU), with NCOMBINE, the total EXPTIME, DATE-OBS of the
//     first frame stacked, DATE-END of the last, the masters and k when
//     calibrated, and the count of frames left out (NREJECT);
//   - the stretched view as a 16-bit PNG, grey or RGB;
//   - one CSV row per frame: frame,accepted,reason,dx,dy,rotation_deg,stars,
//     matched,residual_px,fwhm.
// Each file is written under a temporary name and renamed, so a crash never
// leaves half a file over an older stack.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/status.h"
#include "config/timing.h"
#include "imaging/plane_frame.h"
#include "imaging/stack_engine.h"
#include "imaging/stack_stretch.h"

namespace noctra {

struct StackPaths {
  std::string fits;
  std::string png;
  std::string csv;
};

// Beside the recording: its path without the extension, then ".stack.fits"
// (".stack.png", ".stack.csv").
StackPaths stack_paths_for_recording(const std::string& recording_path);
// For a FITS path chosen by the user: the PNG and the CSV take its name with
// ".png" and ".csv" in place of its extension.
StackPaths stack_paths_for_fits(const std::string& fits_path);

// What the stack's FITS header says about how it was made.
struct StackHeader {
  int64_t combined = 0;        // frames stacked
  int64_t rejected = 0;        // frames left out (dropped ones too)
  double exposure_s = 0;       // the stacked frames' exposures, summed
  bool exposure_known = true;  // false once a stacked frame lacked its instants
  std::optional<int64_t> first_start_utc_us;
  std::optional<int64_t> last_end_utc_us;
  int64_t reference_frame = -1;
  // Calibration, when the frames were calibrated: the masters' file names
  // and the dark's scale k (when it was given rather than fitted per frame);
  // else the stacked frames' fitted k, summed.
  std::string dark;
  std::string flat;
  std::optional<double> dark_scale;
  double fitted_scale_sum = 0;
  int64_t fitted_scales = 0;
};

// One frame judged by the stack (its exposure's instants with it).
void count_stack_frame(StackHeader& header, const StackFrameReport& report,
                       const FrameTiming& timing);

inline constexpr const char* kStackCsvHeader =
    "frame,accepted,reason,dx,dy,rotation_deg,stars,matched,residual_px,fwhm";
// A row without its line end: dx, dy and rotation as the frame's picture
// moved from the reference's (x right, y down the picture as --measure's y,
// degrees counter-clockwise on the screen), three decimals (rotation four);
// empty where the frame was not aligned.
std::string stack_csv_row(const StackFrameReport& report);

Status write_stack_fits(const std::string& path, const PlaneFrame& stack,
                        const StackHeader& header);
Status write_stack_png(const std::string& path, const PlaneFrame& stack,
                       const StackStretch& stretch);
// The rows in frame order.
Status write_stack_csv(const std::string& path, std::vector<StackFrameReport> reports);

// All three: the CSV always, the FITS and the PNG (stretched automatically)
// when a frame was stacked. The first failure, or success.
Status write_stack_files(const StackPaths& paths, const PlaneFrame& stack,
                         const StackHeader& header, const std::vector<StackFrameReport>& reports);

}  // namespace noctra
