#include "camera/v4l2_choice.h"

#include <gtest/gtest.h>

namespace noctra {
namespace {

// A grabber with a camera input and a TV input, YUYV, UYVY and a
// converted-only MJPEG; PAL on now.
DeviceOffer grabber() {
  DeviceOffer offer;
  offer.formats = {{kPixelFormatYuyv, "YUYV 4:2:2", {{720, 576}, {720, 480}}},
                   {kPixelFormatUyvy, "UYVY 4:2:2", {{720, 576}, {720, 480}}},
                   {four_cc('M', 'J', 'P', 'G'), "Motion-JPEG"}};
  offer.inputs = {{0, "Composite", 0xB0FF}, {1, "Camera", 0}};
  offer.standards = {{0xB000, "NTSC"}, {0xFF, "PAL"}, {0x10, "PAL-I"}, {0xFF0000, "SECAM"}};
  offer.input = 0;
  offer.standard = 0xFF;
  return offer;
}

// What choose_format asks the device for, or the failure.
std::string asked(const std::string& name, const DeviceOffer& offer, bool mono) {
  Result<V4l2Address> address = parse_v4l2_address(name);
  if (!address) return "error: " + address.message();
  Result<FormatChoice> choice = choose_format(*address, offer, mono);
  if (!choice) return "error: " + choice.message();
  const VideoFormat& r = choice->request;
  return (choice->conversion == Conversion::ToBgr24 ? "bgr24 from " : "") +
         (r.pixel_format != 0 ? pixel_format_name(r.pixel_format) : std::string("its choice")) +
         " " + std::to_string(r.width) + "x" + std::to_string(r.height) + " " +
         field_order_name(r.field);
}

TEST(V4l2Choice, FormatSizeAndFieldOrderAskedFor) {
  DeviceOffer webcam;
  webcam.formats = {
      {kPixelFormatYuyv, "YUYV"}, {kPixelFormatBgr24, "BGR24"}, {kPixelFormatGrey, "GREY"}};
  DeviceOffer grey_only;
  grey_only.formats = {{kPixelFormatGrey, "GREY"}};
  DeviceOffer ntsc = grabber();
  ntsc.standard = 0x1000;
  const struct {
    const char* name;
    DeviceOffer offer;
    bool mono;
    const char* asked;
  } cases[] = {
      {"/dev/video0", grabber(), true, "yuyv 720x576 interlaced"},
      {"/dev/video0", ntsc, true, "yuyv 720x480 interlaced"},
      {"/dev/video0", grabber(), false, "bgr24 from its choice 720x576 interlaced"},
      {"/dev/video0", webcam, true, "grey 640x480 interlaced"},
      {"/dev/video0", webcam, false, "bgr24 640x480 interlaced"},
      {"/dev/video0,format=uyvy", grabber(), true, "uyvy 720x576 interlaced"},
      {"/dev/video0,format=UYVY", grabber(), false, "bgr24 from uyvy 720x576 interlaced"},
      {"/dev/video0,format=mjpeg", grabber(), true, "bgr24 from mjpeg 720x576 interlaced"},
      {"/dev/video0,format=gray", webcam, false, "grey 640x480 interlaced"},
      {"/dev/video0", grey_only, false, "grey 640x480 interlaced"},
      {"/dev/video0,field=alternate", grabber(), true, "yuyv 720x288 alternate"},
      {"/dev/video0,size=704x576,field=SEQ_TB", grabber(), true, "yuyv 704x576 seq-tb"},
      {"/dev/video0,format=grey", grabber(), true,
       "error: format=grey: the device offers yuyv, uyvy, mjpeg"},
      {"/dev/video0,size=720", grabber(), true,
       "error: size=720 is not WIDTHxHEIGHT (size=720x576)"},
      {"/dev/video0,field=odd", grabber(), true,
       "error: field=odd is not a field order (use none, interlaced, interlaced-tb, "
       "interlaced-bt, seq-tb, seq-bt, alternate, top, bottom)"},
      {"/dev/video0,format", grabber(), true,
       "error: option \"format\" needs a value (options: format=yuyv, std=pal, input=1, "
       "size=720x576, field=interlaced)"},
      {",format=yuyv", grabber(), true, "error: needs a device path (v4l2:/dev/video0)"},
  };
  for (const auto& c : cases) EXPECT_EQ(asked(c.name, c.offer, c.mono), c.asked) << c.name;
}

TEST(V4l2Choice, InputsAndStandardsByNumberOrName) {
  DeviceOffer camera_input = grabber();
  camera_input.input = 1;
  const struct {
    const char* input;
    const char* standard;
    const DeviceOffer offer;
    const char* chosen;
  } cases[] = {
      {"1", "", grabber(), "input 1"},
      {"CAMERA", "", grabber(), "input 1"},
      {"2", "", grabber(), "error: input=2: the device has the inputs 0 (Composite), 1 (Camera)"},
      {"", "pal", grabber(), "std 255"},
      {"", "Pal-I", grabber(), "std 16"},
      {"", "ntsc", grabber(), "std 45056"},
      {"", "secam", grabber(), "error: std=secam: input 0 (Composite) takes NTSC, PAL, PAL-I"},
      {"", "pal", camera_input,
       "error: std=pal: input 1 (Camera) has no TV standards (inputs: 0 (Composite), 1 "
       "(Camera))"},
  };
  for (const auto& c : cases) {
    Result<uint32_t> input = choose_input(c.input, c.offer);
    Result<uint64_t> standard = choose_standard(c.standard, c.offer);
    const std::string chosen =
        *c.input != '\0'
            ? (input ? "input " + std::to_string(*input) : "error: " + input.message())
            : (standard ? "std " + std::to_string(*standard) : "error: " + standard.message());
    EXPECT_EQ(chosen, c.chosen) << c.input << c.standard;
  }
}

TEST(V4l2Choice, TheListingNamesWhatTheDeviceOffers) {
  EXPECT_EQ(offer_lines(grabber()), (std::vector<std::string>{
                                        "formats: yuyv, uyvy, mjpeg",
                                        "sizes yuyv: 720x576 720x480",
                                        "sizes uyvy: 720x576 720x480",
                                        "inputs: 0 (Composite), 1 (Camera); now 0",
                                        "standards (inputs 0): NTSC, PAL, PAL-I",
                                    }));
}

}  // namespace
}  // namespace noctra
