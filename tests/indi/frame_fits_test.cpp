#include "indi/frame_fits.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "config/version.h"
#include "imaging/frame_test_support.h"
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
  int logical(const char* key) {
    int value = -1;
    int status = 0;
    fits_read_key_log(file_, key, &value, nullptr, &status);
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

ExposureResult sample_result() {
  ExposureResult result;
  result.timing.start = Instant{kStartUtc, 10'000'000};
  result.timing.end = Instant{kStartUtc + 1'000'132, 11'000'132};
  result.metadata.mode = CaptureMode::LowRes;
  result.metadata.field = KeptField::Odd;
  result.metadata.amp_switching = true;
  return result;
}

std::string value_text(const FitsKey& key) {
  return std::visit(
      [](const auto& value) {
        std::ostringstream text;
        text << value;
        return text.str();
      },
      key.value);
}

TEST(FrameFitsTest, AnExposureCarriesTheRecordingsKeysWithTheClientsFrameType) {
  const ExposureResult result = sample_result();
  RecordingInfo recording;
  recording.instrument = "Noctra";
  const std::vector<FitsKey> recorded =
      fits_frame_keys(result.timing, result.metadata, recording, 4);
  const std::vector<FitsKey> sent = exposure_fits_keys(result, {"Noctra", "Dark", 4});
  ASSERT_EQ(sent.size(), recorded.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(recorded[i].name);
    EXPECT_EQ(sent[i].name, recorded[i].name);
    EXPECT_EQ(sent[i].comment, recorded[i].comment);
    if (sent[i].name == "IMAGETYP") {
      EXPECT_EQ(value_text(sent[i]), "Dark");
    } else {
      EXPECT_EQ(value_text(sent[i]), value_text(recorded[i]));
    }
  }
}

TEST(FrameFitsTest, KeysReplaceINDIsOwnAndCarryTheInstantsAndTheMode) {
  FitsMemoryFile fits;
  int status = 0;
  // What INDI has written before the driver's keys go in.
  fits_update_key_str(fits.file(), "IMAGETYP", "Light Frame", "", &status);
  fits_update_key_str(fits.file(), "ROWORDER", "TOP-DOWN", "", &status);
  fits_update_key_dbl(fits.file(), "EXPTIME", 1.0, 6, "", &status);
  fits_update_key_str(fits.file(), "DATE-OBS", "2026-12-07T21:04:05", "", &status);
  ASSERT_EQ(status, 0);
  const std::vector<FitsKey> keys = exposure_fits_keys(sample_result(), {"Noctra", "Light", 2});
  std::string error;
  ASSERT_TRUE(write_fits_keys(fits.file(), keys, &error)) << error;
  for (const char* key : {"IMAGETYP", "ROWORDER", "EXPTIME", "DATE-OBS"}) {
    EXPECT_EQ(fits.count(key), 1) << key;
  }
  EXPECT_NEAR(fits.real("EXPTIME"), 1.000132, 1e-9);
  EXPECT_EQ(fits.text("DATE-OBS"), "2026-12-07T21:04:05.123");
  // 21:04:06.123588 rounded to the millisecond.
  EXPECT_EQ(fits.text("DATE-END"), "2026-12-07T21:04:06.124");
  EXPECT_EQ(fits.text("TIMESYS"), "UTC");
  EXPECT_EQ(fits.text("IMAGETYP"), "Light");
  EXPECT_EQ(fits.text("INSTRUME"), "Noctra");
  EXPECT_EQ(fits.text("SWCREATE"), std::string("Noctra ") + kVersion);
  EXPECT_EQ(fits.text("ROWORDER"), "BOTTOM-UP");
  EXPECT_EQ(fits.text("NOCMODE"), "Low Res");
  EXPECT_EQ(fits.text("NOCFIELD"), "ODD");
  EXPECT_EQ(fits.logical("NOCAMPSW"), 1);
  EXPECT_EQ(fits.real("FRAMENO"), 2);
  EXPECT_EQ(fits.real("XBINNING"), 1);
  EXPECT_EQ(fits.real("YBINNING"), 1);
}

TEST(FrameFitsTest, WithoutAnEndInstantINDIsRequestedExposureStays) {
  ExposureResult result = sample_result();
  result.metadata.mode = CaptureMode::HighRes;
  result.metadata.field = KeptField::Both;
  result.timing.end.reset();
  FitsMemoryFile fits;
  int status = 0;
  fits_update_key_dbl(fits.file(), "EXPTIME", 2.5, 6, "", &status);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(write_fits_keys(fits.file(), exposure_fits_keys(result, {}), nullptr));
  EXPECT_EQ(fits.text("NOCMODE"), "High Res");
  EXPECT_EQ(fits.text("NOCFIELD"), "BOTH");
  EXPECT_EQ(fits.text("DATE-END"), "<missing>");
  EXPECT_EQ(fits.text("DATE-OBS"), "2026-12-07T21:04:05.123");
  EXPECT_NEAR(fits.real("EXPTIME"), 2.5, 1e-9);
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
  EXPECT_EQ(planes, (std::vector<uint8_t>{0x30, 0x31, 0x32, 0x33, 0x34, 0x35,     // R
                                          0x20, 0x21, 0x22, 0x23, 0x24, 0x25,     // G
                                          0x10, 0x11, 0x12, 0x13, 0x14, 0x15}));  // B
  // A buffer too small is left alone.
  std::vector<uint8_t> small(17, 0);
  pack_rgb_planes(frame, small);
  EXPECT_EQ(small, std::vector<uint8_t>(17, 0));
}

TEST(PortTraceTest, AFileThatCannotBeOpenedLeavesTheTraceOff) {
  PortTrace trace;
  std::string error;
  EXPECT_FALSE(trace.open("/nonexistent-folder/trace.txt", &error));
  EXPECT_NE(error.find("/nonexistent-folder/trace.txt"), std::string::npos);
  EXPECT_FALSE(trace.active());
}

TEST(PortTraceTest, OneLinePerByteWithTheMonotonicMilliseconds) {
  char folder[] = "/tmp/noctra-trace-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/port.trace";
  {
    PortTrace trace;
    std::string error;
    ASSERT_TRUE(trace.open(path, &error)) << error;
    trace.record(0x27, 1'234'567);
    trace.record(0x3F, 5'000);
    // Lines are flushed as they are written: a reader sees them at once.
    std::ifstream early(path);
    std::string first;
    std::getline(early, first);
    EXPECT_EQ(first, "port 0x27 at 1234.567 ms");
  }
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_EQ(all.str(), "port 0x27 at 1234.567 ms\nport 0x3F at 5.000 ms\n");
  std::remove(path.c_str());
  rmdir(folder);
}

}  // namespace
}  // namespace noctra::indi
