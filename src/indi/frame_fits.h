#pragma once
// What an exposure carries into the FITS file INDI makes of it: Noctra's
// header keys (the same list as a recorded FITS frame's, with the frame type
// the client chose) and the pixel data as three 8-bit planes R, G, B whose
// rows stay in the frame's bottom-up order, so the first stored row is FITS
// row 1 (ROWORDER = 'BOTTOM-UP').

#include <fitsio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "imaging/frame_image.h"
#include "indi/exposure_run.h"
#include "output/fits_container.h"

namespace noctra::indi {

struct ExposureFitsInfo {
  std::string instrument = "Noctra";
  std::string image_type = "Light";  // the client's frame type: Light, Bias, Dark, Flat
  int64_t frame_number = 0;          // frames sent since Connect, from 0
};

// The recording's keys for this exposure (see fits_frame_keys). An instant
// the exposure lacks leaves its keys out, so INDI's own EXPTIME (the
// requested duration) and DATE-OBS stay in the header then.
std::vector<FitsKey> exposure_fits_keys(const ExposureResult& result, const ExposureFitsInfo& info);

// Writes each key into the current header, replacing a key of the same name
// (INDI has written its own EXPTIME, DATE-OBS, IMAGETYP, ... before). False
// with CFITSIO's reason when a key cannot be written.
bool write_fits_keys(fitsfile* file, const std::vector<FitsKey>& keys, std::string* error);

// 3 x width x height bytes: the R plane, then G, then B.
std::size_t rgb_planes_size(const FrameImage& frame);
// Fills out (rgb_planes_size bytes) from the frame's BGR rows, stored row 0
// first; the fill bytes at the end of each row are left out.
void pack_rgb_planes(const FrameImage& frame, std::span<uint8_t> out);

}  // namespace noctra::indi
