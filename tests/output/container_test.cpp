#include <gtest/gtest.h>

#include "output/fits_container.h"
#include "output/formats.h"
#include "output/recording_naming.h"

namespace noctra::test {
namespace {

TEST(RecordingFormats, TheExtensionNamesTheFormatInAnyLetterCase) {
  const std::pair<const char*, std::string_view> cases[] = {
      {"/sky/m42.avi", "AVI"},      {"/sky/m42.AVI", "AVI"},
      {"/sky/m42.ser", "SER"},      {"/sky/M42.Ser", "SER"},
      {"/sky/m42.fits", "FITS"},    {"/sky/m42.FIT", "FITS"},
      {"/sky/m42.fits.avi", "AVI"}, {"/sky/m42.mpg", "AVI"},
      {"/sky/ser", "AVI"},          {"", "AVI"},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(format_of_path(path).name, name) << path;
}

TEST(RecordingFormats, EachRowCarriesItsExtensionFilterAndMonoAndTheChooserListsThemInOrder) {
  struct Expected {
    const char* name;
    const char* extension;
    const char* description;
    const char* pattern;
  };
  const Expected rows[] = {
      {"AVI", ".avi", "Microsoft AVI", "*.avi"},
      {"SER", ".ser", "SER video", "*.ser"},
      {"FITS", ".fits", "FITS images", "*.fits"},
  };
  ASSERT_EQ(recording_formats().size(), std::size(rows));
  for (std::size_t k = 0; k < std::size(rows); ++k) {
    const RecordingFormat& f = recording_formats()[k];
    EXPECT_EQ(f.name, rows[k].name);
    EXPECT_EQ(f.extensions[0], rows[k].extension);
    EXPECT_EQ(f.filter.description, rows[k].description);
    EXPECT_EQ(f.filter.pattern, rows[k].pattern);
    EXPECT_TRUE(f.takes_mono) << f.name;
  }
  std::vector<std::string_view> chooser;
  for (const ChooserFilter& f : recording_file_filters()) {
    chooser.push_back(f.filter.description);
    chooser.push_back(f.filter.pattern);
  }
  EXPECT_EQ(chooser,
            (std::vector<std::string_view>{"Microsoft AVI", "*.avi", "All Files", "*.*",
                                           "SER video", "*.ser", "FITS images", "*.fits"}));
  EXPECT_EQ(recording_file_filters()[all_files_filter()].format, nullptr);
}

TEST(RecordingFormats, FailureMessagesNameTheFormatAndTheFile) {
  const RecordingFormat& ser = format_of_path(".ser");
  const RecordingFormat& fits = format_of_path(".fits");
  EXPECT_EQ(container_failure_message(ser, ContainerStatus::success(), "/a.ser"), "");
  EXPECT_EQ(container_failure_message(ser, ContainerStatus::open_failed(ENOENT), "/x/a.ser"),
            "Can't open SER file /x/a.ser");
  EXPECT_EQ(container_failure_message(ser, ContainerStatus::write_failed(ENOSPC), "/a.ser"),
            "Can't write to SER file /a.ser: No space left on device");
  EXPECT_EQ(container_failure_message(fits, ContainerStatus::write_failed(EFBIG, "/a_000003.fits"),
                                      "/a.fits"),
            "Can't write to FITS file /a_000003.fits: File too large");
  EXPECT_EQ(
      container_failure_message(
          fits, ContainerStatus::write_failed(0, "/a_000003.fits", "CFITSIO: memory"), "/a.fits"),
      "Can't write to FITS file /a_000003.fits: CFITSIO: memory");
  EXPECT_EQ(container_failure_message(ser, ContainerStatus::refused("its size differs"), "/a.ser"),
            "Frame not written to SER file /a.ser: its size differs");
  EXPECT_EQ(mono_refusal_message(ser, "/a.ser"),
            "Can't open SER file /a.ser: SER files take no 8-bit mono frames; set [Recording] "
            "Colour=bgr or choose another format");
}

TEST(RecordingFormats, FitsFrameNamesKeepTheRecordingsNameAndExtension) {
  EXPECT_EQ(fits_frame_path("/sky/m42_000.fits", 0), "/sky/m42_000_000000.fits");
  EXPECT_EQ(fits_frame_path("/sky/m42_000.FIT", 123456), "/sky/m42_000_123456.FIT");
  EXPECT_EQ(fits_frame_path("m42.fits", 7), "m42_000007.fits");
  EXPECT_EQ(fits_frame_path("/sky.d/m42", 1), "/sky.d/m42_000001.fits");
}

}  // namespace
}  // namespace noctra::test
