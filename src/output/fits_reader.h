#pragma once
// A FITS recording read back: one file per frame (m42_000_000000.fits, ...),
// or a single FITS image, 8-bit or float, one plane or three (R, G, B). A
// frame's instants come from its DATE-OBS and DATE-END (or EXPTIME).

#include <memory>
#include <string>

#include "config/status.h"
#include "output/recording_reader.h"

namespace noctra {

Result<std::unique_ptr<RecordingReader>> open_fits_recording(const std::string& path);

}  // namespace noctra
