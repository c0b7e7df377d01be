#include "indi/frame_fits.h"

#include <variant>

namespace noctra::indi {

std::vector<FitsKey> exposure_fits_keys(const ExposureResult& result,
                                        const ExposureFitsInfo& info) {
  RecordingInfo recording;
  recording.instrument = info.instrument;
  std::vector<FitsKey> keys =
      fits_frame_keys(result.timing, result.metadata, recording, info.frame_number);
  for (FitsKey& key : keys) {
    if (key.name == "IMAGETYP") key.value = info.image_type;
  }
  return keys;
}

bool write_fits_keys(fitsfile* file, const std::vector<FitsKey>& keys, std::string* error) {
  for (const FitsKey& key : keys) {
    int status = 0;
    const char* name = key.name.c_str();
    const char* comment = key.comment.c_str();
    if (const auto* text = std::get_if<std::string>(&key.value)) {
      fits_update_key_str(file, name, text->c_str(), comment, &status);
    } else if (const auto* real = std::get_if<double>(&key.value)) {
      fits_update_key_fixdbl(file, name, *real, kFitsRealDecimals, comment, &status);
    } else if (const auto* integer = std::get_if<int64_t>(&key.value)) {
      fits_update_key_lng(file, name, static_cast<LONGLONG>(*integer), comment, &status);
    } else {
      fits_update_key_log(file, name, std::get<bool>(key.value) ? 1 : 0, comment, &status);
    }
    if (status != 0) {
      if (error != nullptr) {
        char reason[FLEN_STATUS] = {};
        fits_get_errstatus(status, reason);
        *error = "FITS key " + key.name + ": " + reason;
      }
      return false;
    }
  }
  return true;
}

std::size_t rgb_planes_size(const FrameImage& frame) {
  return 3 * static_cast<std::size_t>(frame.width()) * static_cast<std::size_t>(frame.height());
}

void pack_rgb_planes(const FrameImage& frame, std::span<uint8_t> out) {
  const std::size_t width = static_cast<std::size_t>(frame.width());
  const std::size_t plane = width * static_cast<std::size_t>(frame.height());
  if (out.size() < 3 * plane) return;
  uint8_t* red = out.data();
  uint8_t* green = red + plane;
  uint8_t* blue = green + plane;
  for (int32_t r = 0; r < frame.height(); ++r) {
    const uint8_t* pixel = frame.row(r);
    const std::size_t base = static_cast<std::size_t>(r) * width;
    for (std::size_t x = 0; x < width; ++x, pixel += 3) {
      blue[base + x] = pixel[0];
      green[base + x] = pixel[1];
      red[base + x] = pixel[2];
    }
  }
}

}  // namespace noctra::indi
