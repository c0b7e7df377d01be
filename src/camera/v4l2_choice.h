#pragma once
// What a v4l2 source name asks of a capture device, and the choice of input,
// TV standard and pixel format from what the device offers:
//
//   v4l2:/dev/video0
//   v4l2:/dev/video0,format=yuyv,std=pal,input=1,size=720x576,field=alternate
//
// Without options the device keeps its input and standard, the size is the
// standard's (720 x 576 for 625 lines, 720 x 480 for 525) or 640 x 480 where
// the input has no standard, the field order asked for is interlaced, and the
// pixel format is the one that gives the recording what it needs exactly:
// the device's own luma (GREY, YUYV, UYVY) for mono recordings, its own
// BGR24 or RGB24 for colour ones (or its GREY, where that is all it has),
// else libv4lconvert's conversion to BGR24.
// Whatever is asked for explicitly and not offered is an error that names
// what the device offers.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/frame_source.h"
#include "camera/video_device.h"
#include "config/status.h"

namespace noctra {

struct V4l2Address {
  std::string path;
  std::string format = {};    // a pixel format's name (yuyv, bgr24, ...); empty: chosen
  std::string standard = {};  // pal, ntsc, secam or a name the device gives
  std::string input = {};     // an input's number or name
  std::optional<FrameSize> size = {};
  std::optional<FieldOrder> field = {};
};

// The part after "v4l2:"; a failure says which option is wrong and what
// would do.
Result<V4l2Address> parse_v4l2_address(const std::string& address);
// The address as a source name takes it ("/dev/video0,input=1,std=pal").
std::string v4l2_address_text(const V4l2Address& address);

// A pixel format as the options and messages name it: bgr24, rgb24, grey,
// yuyv, uyvy, mjpeg, or its four characters in lower case.
std::string pixel_format_name(uint32_t pixel_format);
std::string field_order_name(FieldOrder order);

// Whether a buffer of this field order holds one field only.
bool one_field_per_buffer(FieldOrder order);

// The picture height of a standard (V4L2_STD_* bits): 480 for the 525-line
// standards, 576 for the others.
int32_t standard_height(uint64_t standard);

// What a device offers, as the messages and the listing show it.
std::string offered_formats_text(const DeviceOffer& offer);
std::string offered_sizes_text(const PixelFormatOffer& format);
std::string offered_inputs_text(const DeviceOffer& offer);
// The standards among those the device names that an input takes (all of
// them for a mask of ~0).
std::string offered_standards_text(const DeviceOffer& offer, uint64_t mask);

// The offer as lines for the device listing: formats, sizes, inputs and
// standards.
std::vector<std::string> offer_lines(const DeviceOffer& offer);

// The input asked for (a number or a name, in any letter case).
Result<uint32_t> choose_input(const std::string& asked, const DeviceOffer& offer);
// The standard asked for, among those the current input takes: a name the
// device gives (any letter case), or pal, ntsc or secam for the whole family.
Result<uint64_t> choose_standard(const std::string& asked, const DeviceOffer& offer);

struct FormatChoice {
  VideoFormat request;
  Conversion conversion = Conversion::None;
};
Result<FormatChoice> choose_format(const V4l2Address& address, const DeviceOffer& offer, bool mono);

}  // namespace noctra
