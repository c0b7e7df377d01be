#include "indi/frame_fits.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/frame_test_support.h"
#include "indi/hardware_names.h"
#include "indi/port_trace.h"

namespace noctra::indi {
namespace {

// 2026-12-07T21:04:05.123456Z
constexpr int64_t kStartUtc = 1'796'677'445'123'456;

class FitsMemoryFile {
 public:
  FitsMemoryFile() {
    int status = 0;
    fits_create_memfile(&file_, &memory_, &size_, 2880, std::realloc, &status);
    long axes[3] = {4, 2, 3};
    fits_create_img(file_, BYTE_IMG, 3, axes, &status);
    EXPECT_EQ(status, 0);
  }
  ~FitsMemoryFile() {
    int status = 0;
    fits_close_file(file_, &status);
    std::free(memory_);
  }
  fitsfile* file() { return file_; }
  std::string text(const char* key) {
    char value[FLEN_VALUE] = {};
    int status = 0;
    fits_read_key_str(file_, key, value, nullptr, &status);
    return status == 0 ? value : "<missing>";
  }
  double real(const char* key) {
    double value = -1;
    int status = 0;
    fits_read_key_dbl(file_, key, &value, nullptr, &status);
    return value;
  }
  int count(const char* key) {
    int keys = 0;
    int status = 0;
    fits_get_hdrspace(file_, &keys, nullptr, &status);
    int found = 0;
    for (int i = 1; i <= keys; ++i) {
      char card[FLEN_CARD] = {};
      fits_read_record(file_, i, card, &status);
      if (std::string(card).rfind(std::string(key) + " ", 0) == 0 ||
          std::string(card).rfind(std::string(key) + "=", 0) == 0) {
        ++found;
      }
    }
    return found;
  }

 private:
  fitsfile* file_ = nullptr;
  void* memory_ = nullptr;
  size_t size_ = 0;
};

FrameFitsInfo sample_info() {
  FrameFitsInfo info;
  info.timing.start = Instant{kStartUtc, 10'000'000};
  info.timing.end = Instant{kStartUtc + 1'000'132, 11'000'132};
  info.options = {Resolution::Low, true};
  info.field = FieldKept::Odd;
  info.requested_exposure_s = 1.0;
  info.software = "Noctra 0.7.0";
  return info;
}

TEST(FrameFitsTest, KeysCarryTheInstantsAndTheMode) {
  FitsMemoryFile fits;
  std::string error;
  ASSERT_TRUE(write_fits_keys(fits.file(), frame_fits_keys(sample_info()), &error)) << error;
  EXPECT_NEAR(fits.real("EXPTIME"), 1.000132, 1e-9);
  EXPECT_EQ(fits.text("DATE-OBS"), "2026-12-07T21:04:05.123");
  EXPECT_EQ(fits.text("DATE-END"), "2026-12-07T21:04:06.123");
  EXPECT_EQ(fits.text("TIMESYS"), "UTC");
  EXPECT_EQ(fits.text("IMAGETYP"), "Light");
  EXPECT_EQ(fits.text("INSTRUME"), "Noctra");
  EXPECT_EQ(fits.text("SWCREATE"), "Noctra 0.7.0");
  EXPECT_EQ(fits.text("ROWORDER"), "BOTTOM-UP");
  EXPECT_EQ(fits.text("NOCTMODE"), "Low Res");
  EXPECT_EQ(fits.text("NOCTFELD"), "odd");
  EXPECT_EQ(fits.real("XBINNING"), 1);
  EXPECT_EQ(fits.real("YBINNING"), 1);
}

TEST(FrameFitsTest, KeysReplaceTheSameKeysAlreadyInTheHeader) {
  FitsMemoryFile fits;
  int status = 0;
  fits_update_key_str(fits.file(), "IMAGETYP", "Light Frame", "", &status);
  fits_update_key_str(fits.file(), "ROWORDER", "TOP-DOWN", "", &status);
  fits_update_key_dbl(fits.file(), "EXPTIME", 1.0, 6, "", &status);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(write_fits_keys(fits.file(), frame_fits_keys(sample_info()), nullptr));
  for (const char* key : {"IMAGETYP", "ROWORDER", "EXPTIME"}) EXPECT_EQ(fits.count(key), 1) << key;
  EXPECT_EQ(fits.text("ROWORDER"), "BOTTOM-UP");
  EXPECT_NEAR(fits.real("EXPTIME"), 1.000132, 1e-9);
}

TEST(FrameFitsTest, ModeAndMissingInstants) {
  FrameFitsInfo info = sample_info();
  info.options.resolution = Resolution::High;
  info.timing.end.reset();
  FitsMemoryFile fits;
  ASSERT_TRUE(write_fits_keys(fits.file(), frame_fits_keys(info), nullptr));
  EXPECT_EQ(fits.text("NOCTMODE"), "High Res");
  EXPECT_EQ(fits.text("NOCTFELD"), "merged");
  EXPECT_EQ(fits.text("DATE-END"), "<missing>");
  // Without an end instant the requested exposure is all there is.
  EXPECT_NEAR(fits.real("EXPTIME"), 1.0, 1e-9);
}

TEST(FrameFitsTest, PlanesAreRedGreenBlueInStoredRowOrderWithoutFillBytes) {
  // Width 3: 9 pixel bytes and 3 fill bytes per stored row.
  FrameImage frame = test::make_frame(3, 2);
  test::fill_rows(frame, 0xEE);
  for (int32_t r = 0; r < 2; ++r) {
    for (int32_t x = 0; x < 3; ++x) {
      test::pixel_byte(frame, x, r, 0) = static_cast<uint8_t>(0x10 + r * 3 + x);  // blue
      test::pixel_byte(frame, x, r, 1) = static_cast<uint8_t>(0x20 + r * 3 + x);  // green
      test::pixel_byte(frame, x, r, 2) = static_cast<uint8_t>(0x30 + r * 3 + x);  // red
    }
  }
  ASSERT_EQ(rgb_planes_size(frame), 18U);
  std::vector<uint8_t> planes(18, 0);
  pack_rgb_planes(frame, planes);
  EXPECT_EQ(planes, (std::vector<uint8_t>{0x30, 0x31, 0x32, 0x33, 0x34, 0x35,    // R
                                          0x20, 0x21, 0x22, 0x23, 0x24, 0x25,    // G
                                          0x10, 0x11, 0x12, 0x13, 0x14, 0x15}));  // B
  // A buffer too small is left alone.
  std::vector<uint8_t> small(17, 0);
  pack_rgb_planes(frame, small);
  EXPECT_EQ(small, std::vector<uint8_t>(17, 0));
}

TEST(HardwareNamesTest, PortAndSourceNamesAsInTheSettings) {
  struct Case {
    const char* name;
    bool port_ok;
    bool source_ok;
  };
  const Case cases[] = {
      {"", true, true},
      {"auto", true, true},
      {"sim", true, true},
      {"ppdev:/dev/parport0", true, false},
      {"ppdev:", false, false},
      {"serial:/dev/ttyUSB0,dtr=2,rts=0", true, false},
      {"serial:/dev/ttyUSB0,dtr=9", false, false},
      {"ftdi", true, false},
      {"ftdi:A1B2C3", true, false},
      {"v4l2:/dev/video0", false, true},
      {"v4l2:", false, false},
      {"parport9", false, false},
      {"SIM", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(port_name_problem(c.name).empty(), c.port_ok) << c.name;
    EXPECT_EQ(source_name_problem(c.name).empty(), c.source_ok) << c.name;
  }
  EXPECT_NE(port_name_problem("parport9").find("unknown camera port \"parport9\""),
            std::string::npos);
}

TEST(PortTraceTest, AFileThatCannotBeOpenedLeavesTheTraceOff) {
  PortTrace trace;
  std::string error;
  EXPECT_FALSE(trace.open("/nonexistent-folder/trace.txt", &error));
  EXPECT_NE(error.find("/nonexistent-folder/trace.txt"), std::string::npos);
  EXPECT_FALSE(trace.active());
}

}  // namespace
}  // namespace noctra::indi
