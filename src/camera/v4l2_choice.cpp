#include "camera/v4l2_choice.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <span>
#include <string_view>
#include <utility>

#include "camera/v4l2_pictures.h"
#include "imaging/frame_image.h"

namespace noctra {

namespace {

// V4L2_STD_525_60 and the families asked for by their plain names.
constexpr uint64_t kStandards525Lines = 0xF900;
constexpr std::pair<std::string_view, uint64_t> kStandardFamilies[] = {
    {"pal", 0x000000FF}, {"ntsc", 0x0000B000}, {"secam", 0x00FF0000}};

constexpr std::pair<std::string_view, uint32_t> kFormatNames[] = {
    {"bgr24", kPixelFormatBgr24}, {"rgb24", kPixelFormatRgb24},
    {"grey", kPixelFormatGrey},   {"yuyv", kPixelFormatYuyv},
    {"uyvy", kPixelFormatUyvy},   {"mjpeg", four_cc('M', 'J', 'P', 'G')},
};

constexpr std::pair<std::string_view, FieldOrder> kFieldNames[] = {
    {"none", FieldOrder::None},
    {"interlaced", FieldOrder::Interlaced},
    {"interlaced-tb", FieldOrder::InterlacedTopFirst},
    {"interlaced-bt", FieldOrder::InterlacedBottomFirst},
    {"seq-tb", FieldOrder::SeqTopFirst},
    {"seq-bt", FieldOrder::SeqBottomFirst},
    {"alternate", FieldOrder::Alternate},
    {"top", FieldOrder::Top},
    {"bottom", FieldOrder::Bottom},
};

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The four characters of a pixel format's code, in lower case, blanks left out.
std::string four_cc_text(uint32_t code) {
  std::string text;
  for (int shift = 0; shift < 32; shift += 8) {
    const char c = static_cast<char>((code >> shift) & 0xFF);
    if (std::isgraph(static_cast<unsigned char>(c))) text += c;
  }
  return lower(text);
}

std::string size_text(const FrameSize& size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::optional<int32_t> dimension(std::string_view text) {
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0 ||
      value > kMaxFrameDimension) {
    return std::nullopt;
  }
  return value;
}

std::optional<FrameSize> parse_size(std::string_view text) {
  const auto x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto width = dimension(text.substr(0, x));
  const auto height = dimension(text.substr(x + 1));
  if (!width || !height) return std::nullopt;
  return FrameSize{*width, *height};
}

std::optional<FieldOrder> parse_field(std::string name) {
  std::replace(name.begin(), name.end(), '_', '-');
  if (name == "tb" || name == "bt") name = "interlaced-" + name;
  for (const auto& [text, order] : kFieldNames) {
    if (name == text) return order;
  }
  return std::nullopt;
}

// "0 (Camera), 1 (Television)" and the like.
template <typename Items, typename Text>
std::string joined(const Items& items, Text text) {
  std::string out;
  for (const auto& item : items) {
    const std::string part = text(item);
    if (part.empty()) continue;
    if (!out.empty()) out += ", ";
    out += part;
  }
  return out.empty() ? std::string("none") : out;
}

const InputOffer* current_input(const DeviceOffer& offer) {
  for (const InputOffer& input : offer.inputs) {
    if (offer.input && input.index == *offer.input) return &input;
  }
  return nullptr;
}

}  // namespace

Result<V4l2Address> parse_v4l2_address(const std::string& address) {
  V4l2Address parsed;
  std::string_view rest = address;
  const auto comma = rest.find(',');
  parsed.path = std::string(rest.substr(0, comma));
  if (parsed.path.empty()) return failure("needs a device path (v4l2:/dev/video0)");
  rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  const std::string hint =
      " (options: format=yuyv, std=pal, input=1, size=720x576, field=interlaced)";
  while (!rest.empty()) {
    const auto end = rest.find(',');
    const std::string_view option = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const auto equals = option.find('=');
    const std::string key = lower(option.substr(0, equals));
    const std::string value =
        equals == std::string_view::npos ? std::string() : std::string(option.substr(equals + 1));
    if (equals == std::string_view::npos || value.empty()) {
      return failure("option \"" + std::string(option) + "\" needs a value" + hint);
    }
    if (key == "format") {
      parsed.format = value;
    } else if (key == "std") {
      parsed.standard = value;
    } else if (key == "input") {
      parsed.input = value;
    } else if (key == "size") {
      parsed.size = parse_size(lower(value));
      if (!parsed.size) return failure("size=" + value + " is not WIDTHxHEIGHT (size=720x576)");
    } else if (key == "field") {
      parsed.field = parse_field(lower(value));
      if (!parsed.field) {
        return failure("field=" + value + " is not a field order (use " +
                       joined(kFieldNames, [](const auto& f) { return std::string(f.first); }) +
                       ")");
      }
    } else {
      return failure("unknown option \"" + key + "\"" + hint);
    }
  }
  return parsed;
}

std::string v4l2_address_text(const V4l2Address& address) {
  std::string text = address.path;
  if (!address.format.empty()) text += ",format=" + address.format;
  if (!address.standard.empty()) text += ",std=" + address.standard;
  if (!address.input.empty()) text += ",input=" + address.input;
  if (address.size) text += ",size=" + size_text(*address.size);
  if (address.field) text += ",field=" + field_order_name(*address.field);
  return text;
}

std::string pixel_format_name(uint32_t pixel_format) {
  for (const auto& [name, code] : kFormatNames) {
    if (code == pixel_format) return std::string(name);
  }
  return four_cc_text(pixel_format);
}

std::string field_order_name(FieldOrder order) {
  for (const auto& [name, value] : kFieldNames) {
    if (value == order) return std::string(name);
  }
  return "any";
}

bool one_field_per_buffer(FieldOrder order) {
  return order == FieldOrder::Top || order == FieldOrder::Bottom || order == FieldOrder::Alternate;
}

int32_t standard_height(uint64_t standard) {
  return (standard & kStandards525Lines) != 0 ? 480 : 576;
}

std::string offered_formats_text(const DeviceOffer& offer) {
  return joined(offer.formats,
                [](const PixelFormatOffer& f) { return pixel_format_name(f.pixel_format); });
}

std::string offered_sizes_text(const PixelFormatOffer& format) {
  std::vector<std::string> parts;
  for (const FrameSize& size : format.sizes) parts.push_back(size_text(size));
  if (format.smallest && format.largest) {
    parts.push_back(size_text(*format.smallest) + " to " + size_text(*format.largest));
  }
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += ' ';
    text += part;
  }
  return text;
}

std::string offered_inputs_text(const DeviceOffer& offer) {
  return joined(offer.inputs, [](const InputOffer& input) {
    return std::to_string(input.index) + " (" + input.name + ")";
  });
}

std::string offered_standards_text(const DeviceOffer& offer, uint64_t mask) {
  return joined(offer.standards, [mask](const StandardOffer& standard) {
    return (standard.id & mask) != 0 ? standard.name : std::string();
  });
}

std::vector<std::string> offer_lines(const DeviceOffer& offer) {
  std::vector<std::string> lines{"formats: " + offered_formats_text(offer)};
  // One line when every format comes in the same sizes.
  std::vector<std::string> sizes;
  for (const PixelFormatOffer& format : offer.formats) sizes.push_back(offered_sizes_text(format));
  if (std::all_of(sizes.begin(), sizes.end(), [](const std::string& s) { return s.empty(); })) {
    lines.push_back("size now: " + size_text(offer.size));
  } else if (std::all_of(sizes.begin(), sizes.end(),
                         [&](const std::string& s) { return s == sizes.front(); })) {
    lines.push_back("sizes: " + sizes.front());
  } else {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      if (!sizes[i].empty()) {
        lines.push_back("sizes " + pixel_format_name(offer.formats[i].pixel_format) + ": " +
                        sizes[i]);
      }
    }
  }
  if (!offer.inputs.empty()) {
    lines.push_back("inputs: " + offered_inputs_text(offer) +
                    (offer.input ? "; now " + std::to_string(*offer.input) : std::string()));
  }
  std::string tv_inputs;
  uint64_t taken = 0;
  for (const InputOffer& input : offer.inputs) {
    if (input.standards == 0) continue;
    if (!tv_inputs.empty()) tv_inputs += ", ";
    tv_inputs += std::to_string(input.index);
    taken |= input.standards;
  }
  if (!offer.standards.empty()) {
    lines.push_back("standards" +
                    (tv_inputs.empty() ? std::string() : " (inputs " + tv_inputs + ")") + ": " +
                    offered_standards_text(offer, offer.inputs.empty() ? ~uint64_t{0} : taken));
  }
  return lines;
}

Result<uint32_t> choose_input(const std::string& asked, const DeviceOffer& offer) {
  for (const InputOffer& input : offer.inputs) {
    if (asked == std::to_string(input.index) || lower(asked) == lower(input.name)) {
      return input.index;
    }
  }
  return failure("input=" + asked + ": the device has the inputs " + offered_inputs_text(offer));
}

Result<uint64_t> choose_standard(const std::string& asked, const DeviceOffer& offer) {
  const InputOffer* input = current_input(offer);
  // A device that names no inputs takes its standards wherever it is.
  const uint64_t takes = input != nullptr ? input->standards : ~uint64_t{0};
  const std::string name = lower(asked);
  for (const StandardOffer& standard : offer.standards) {
    if ((standard.id & takes) != 0 && lower(standard.name) == name) return standard.id & takes;
  }
  uint64_t offered = 0;
  for (const StandardOffer& standard : offer.standards) offered |= standard.id;
  for (const auto& [family, bits] : kStandardFamilies) {
    if (name == family && (bits & takes & offered) != 0) return bits & takes & offered;
  }
  const std::string where = input != nullptr
                                ? "input " + std::to_string(input->index) + " (" + input->name + ")"
                                : std::string("the device");
  if ((takes & offered) == 0) {
    return failure("std=" + asked + ": " + where +
                   " has no TV standards (inputs: " + offered_inputs_text(offer) + ")");
  }
  return failure("std=" + asked + ": " + where + " takes " + offered_standards_text(offer, takes));
}

Result<FormatChoice> choose_format(const V4l2Address& address, const DeviceOffer& offer,
                                   bool mono) {
  FormatChoice choice;
  VideoFormat& request = choice.request;
  const FrameSize size = address.size.value_or(
      offer.standard != 0 ? FrameSize{720, standard_height(offer.standard)} : FrameSize{640, 480});
  request.width = size.width;
  request.height = size.height;
  request.field = address.field.value_or(FieldOrder::Interlaced);
  // A buffer of one field holds half the picture's lines.
  if (one_field_per_buffer(request.field)) request.height = (size.height + 1) / 2;

  auto offered = [&](uint32_t code) {
    return std::any_of(offer.formats.begin(), offer.formats.end(),
                       [code](const PixelFormatOffer& f) { return f.pixel_format == code; });
  };
  if (!address.format.empty()) {
    const std::string asked = lower(address.format) == "gray" ? "grey" : lower(address.format);
    const auto found =
        std::find_if(offer.formats.begin(), offer.formats.end(), [&](const PixelFormatOffer& f) {
          return pixel_format_name(f.pixel_format) == asked ||
                 four_cc_text(f.pixel_format) == asked;
        });
    if (found == offer.formats.end()) {
      return failure("format=" + address.format + ": the device offers " +
                     offered_formats_text(offer));
    }
    request.pixel_format = found->pixel_format;
    if (!pixel_layout_for(found->pixel_format, mono)) choice.conversion = Conversion::ToBgr24;
    return choice;
  }
  // The exact luma first for mono recordings, then the device's own colour.
  static constexpr std::array kMonoOrder{kPixelFormatGrey, kPixelFormatYuyv, kPixelFormatUyvy,
                                         kPixelFormatBgr24, kPixelFormatRgb24};
  static constexpr std::array kColourOrder{kPixelFormatBgr24, kPixelFormatRgb24};
  for (const uint32_t code :
       mono ? std::span<const uint32_t>(kMonoOrder) : std::span<const uint32_t>(kColourOrder)) {
    if (offered(code)) {
      request.pixel_format = code;
      return choice;
    }
  }
  // A device of luma alone loses no colour to a colour recording either.
  if (offer.formats.size() == 1 && offered(kPixelFormatGrey)) {
    request.pixel_format = kPixelFormatGrey;
    return choice;
  }
  choice.conversion = Conversion::ToBgr24;
  return choice;
}

}  // namespace noctra
