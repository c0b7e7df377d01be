#pragma once
// What a frame carries into its FITS file: the header keys (the exposure's
// instants, the instrument, Noctra's mode) and the pixel data as three 8-bit
// planes R, G, B whose rows stay in the frame's bottom-up order, so the
// first stored row is FITS row 1 (ROWORDER = 'BOTTOM-UP').

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <fitsio.h>

#include "config/timing.h"
#include "imaging/frame_image.h"
#include "indi/exposure_run.h"

namespace noctra::indi {

struct FitsKey {
  enum class Kind { Text, Integer, Real, Logical };
  std::string name;
  Kind kind = Kind::Text;
  std::string text;
  int64_t integer = 0;
  double real = 0;
  int decimals = 6;
  std::string comment;
};

struct FrameFitsInfo {
  FrameTiming timing;
  ExposureOptions options;
  FieldKept field = FieldKept::None;
  // Used for EXPTIME only when the instants are missing.
  double requested_exposure_s = 0;
  std::string instrument = "Noctra";
  std::string software;  // "Noctra 0.7.0"
  std::string image_type = "Light";
  int32_t binning = 1;
};

// FITS dates are UTC without a zone letter (TIMESYS says so), to the ms.
std::string fits_date(int64_t utc_us);

std::vector<FitsKey> frame_fits_keys(const FrameFitsInfo& info);

// Writes each key into the current header, replacing a key of the same name.
// False with CFITSIO's reason when a key cannot be written.
bool write_fits_keys(fitsfile* file, const std::vector<FitsKey>& keys, std::string* error);

// 3 x width x height bytes: the R plane, then G, then B.
std::size_t rgb_planes_size(const FrameImage& frame);
// Fills out (rgb_planes_size bytes) from the frame's BGR rows, stored row 0
// first; the fill bytes at the end of each row are left out.
void pack_rgb_planes(const FrameImage& frame, std::span<uint8_t> out);

}  // namespace noctra::indi
