#pragma once
// How a frame was taken: the camera layer notes it as it cleans the frame up,
// and the recording's formats write it beside the frame.

#include <cstdint>
#include <string_view>

namespace noctra {

// How the frame was taken, for formats with a header per frame.
enum class CaptureMode { LowRes, HighRes };
enum class KeptField {
  Both,  // no field was dropped: a short frame, or the two grabs of High Res merged
  Even,  // stored rows 0, 2, 4, ... kept and doubled
  Odd,   // stored rows 1, 3, 5, ... kept and doubled
};
struct FrameMetadata {
  CaptureMode mode = CaptureMode::LowRes;
  KeptField field = KeptField::Both;
  bool amp_switching = false;  // the amplifier line was switched off during the exposure
  int32_t x_binning = 1;
  int32_t y_binning = 1;
};

// "Low Res" or "High Res", as the Setup dialog names the modes.
constexpr std::string_view capture_mode_text(CaptureMode mode) {
  return mode == CaptureMode::HighRes ? "High Res" : "Low Res";
}

}  // namespace noctra
