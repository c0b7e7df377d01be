#include "indi/frame_fits.h"

#include <cstring>

namespace noctra::indi {

namespace {

FitsKey text_key(const char* name, std::string value, const char* comment) {
  FitsKey key;
  key.name = name;
  key.text = std::move(value);
  key.comment = comment;
  return key;
}

FitsKey integer_key(const char* name, int64_t value, const char* comment) {
  FitsKey key;
  key.name = name;
  key.kind = FitsKey::Kind::Integer;
  key.integer = value;
  key.comment = comment;
  return key;
}

const char* field_text(FieldKept field, Resolution resolution) {
  if (resolution == Resolution::High) return "merged";
  switch (field) {
    case FieldKept::Even: return "even";
    case FieldKept::Odd: return "odd";
    case FieldKept::None: break;
  }
  return "both";
}

}  // namespace

std::string fits_date(int64_t utc_us) {
  std::string text = format_utc(utc_us, 3);
  if (!text.empty() && text.back() == 'Z') text.pop_back();
  return text;
}

std::vector<FitsKey> frame_fits_keys(const FrameFitsInfo& info) {
  std::vector<FitsKey> keys;
  const auto& start = info.timing.start;
  const auto& end = info.timing.end;

  FitsKey exposure;
  exposure.name = "EXPTIME";
  exposure.kind = FitsKey::Kind::Real;
  exposure.real = (start && end) ? static_cast<double>(end->mono_us - start->mono_us) / 1e6
                                 : info.requested_exposure_s;
  exposure.decimals = 6;
  exposure.comment = "[s] first start byte to trigger byte";
  keys.push_back(exposure);
  if (start) {
    keys.push_back(text_key("DATE-OBS", fits_date(start->utc_us), "UTC of the first start byte"));
  }
  if (end) keys.push_back(text_key("DATE-END", fits_date(end->utc_us), "UTC of the trigger byte"));
  keys.push_back(text_key("TIMESYS", "UTC", "time scale of the dates"));
  keys.push_back(text_key("IMAGETYP", info.image_type, "type of the frame"));
  keys.push_back(text_key("INSTRUME", info.instrument, "camera"));
  keys.push_back(text_key("SWCREATE", info.software, "program that took the frame"));
  keys.push_back(integer_key("XBINNING", info.binning, "binning in width"));
  keys.push_back(integer_key("YBINNING", info.binning, "binning in height"));
  keys.push_back(text_key("ROWORDER", "BOTTOM-UP", "first row is the bottom line"));
  keys.push_back(text_key("NOCTMODE",
                          info.options.resolution == Resolution::High ? "High Res" : "Low Res",
                          "resolution mode"));
  keys.push_back(text_key("NOCTFELD", field_text(info.field, info.options.resolution),
                          "interlaced field kept, or merged in High Res"));
  FitsKey amp;
  amp.name = "NOCTAMP";
  amp.kind = FitsKey::Kind::Logical;
  amp.integer = info.options.amp_off ? 1 : 0;
  amp.comment = "amplifier off during the exposure";
  keys.push_back(amp);
  return keys;
}

bool write_fits_keys(fitsfile* file, const std::vector<FitsKey>& keys, std::string* error) {
  for (const FitsKey& key : keys) {
    int status = 0;
    switch (key.kind) {
      case FitsKey::Kind::Text:
        fits_update_key_str(file, key.name.c_str(), key.text.c_str(), key.comment.c_str(), &status);
        break;
      case FitsKey::Kind::Integer:
        fits_update_key_lng(file, key.name.c_str(), static_cast<LONGLONG>(key.integer),
                            key.comment.c_str(), &status);
        break;
      case FitsKey::Kind::Real:
        fits_update_key_fixdbl(file, key.name.c_str(), key.real, key.decimals, key.comment.c_str(),
                               &status);
        break;
      case FitsKey::Kind::Logical:
        fits_update_key_log(file, key.name.c_str(), key.integer != 0 ? 1 : 0, key.comment.c_str(),
                            &status);
        break;
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
