#include "output/container.h"

#include <gtest/gtest.h>

#include "output/fits_container.h"

namespace noctra::test {
namespace {

TEST(RecordingFormats, TheExtensionNamesTheFormatInAnyLetterCase) {
  const std::pair<const char*, RecordingFormat> cases[] = {
      {"/sky/m42.avi", RecordingFormat::Avi},      {"/sky/m42.AVI", RecordingFormat::Avi},
      {"/sky/m42.ser", RecordingFormat::Ser},      {"/sky/M42.Ser", RecordingFormat::Ser},
      {"/sky/m42.fits", RecordingFormat::Fits},    {"/sky/m42.FIT", RecordingFormat::Fits},
      {"/sky/m42.fits.avi", RecordingFormat::Avi}, {"/sky/m42.mpg", RecordingFormat::Avi},
      {"/sky/ser", RecordingFormat::Avi},          {"", RecordingFormat::Avi},
  };
  for (const auto& [path, format] : cases) EXPECT_EQ(format_of_path(path), format) << path;
}

TEST(RecordingFormats, EachFormatCarriesItsExtensionFilterAndName) {
  struct Expected {
    RecordingFormat format;
    const char* name;
    const char* extension;
    const char* description;
    const char* pattern;
  };
  const Expected cases[] = {
      {RecordingFormat::Avi, "AVI", ".avi", "Microsoft AVI", "*.avi"},
      {RecordingFormat::Ser, "SER", ".ser", "SER video", "*.ser"},
      {RecordingFormat::Fits, "FITS", ".fits", "FITS images", "*.fits"},
  };
  for (const Expected& e : cases) {
    const ContainerFormat& f = container_format(e.format);
    EXPECT_EQ(f.format, e.format);
    EXPECT_EQ(f.name, e.name);
    EXPECT_EQ(f.extensions[0], e.extension);
    EXPECT_EQ(f.filter.description, e.description);
    EXPECT_EQ(f.filter.pattern, e.pattern);
  }
  EXPECT_EQ(kRecordingFileFilters[1].description, "All Files");
  EXPECT_EQ(kRecordingFileFilters[1].pattern, "*.*");
}

TEST(RecordingFormats, FailureMessagesNameTheFormatAndTheFile) {
  const ContainerFormat& ser = container_format(RecordingFormat::Ser);
  const ContainerFormat& fits = container_format(RecordingFormat::Fits);
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
}

TEST(RecordingFormats, FitsFrameNamesKeepTheRecordingsNameAndExtension) {
  EXPECT_EQ(fits_frame_path("/sky/m42_000.fits", 0), "/sky/m42_000_000000.fits");
  EXPECT_EQ(fits_frame_path("/sky/m42_000.FIT", 123456), "/sky/m42_000_123456.FIT");
  EXPECT_EQ(fits_frame_path("m42.fits", 7), "m42_000007.fits");
  EXPECT_EQ(fits_frame_path("/sky.d/m42", 1), "/sky.d/m42_000001.fits");
}

}  // namespace
}  // namespace noctra::test
