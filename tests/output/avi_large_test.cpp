#include <gtest/gtest.h>

#include <filesystem>

#include "output/avi_container.h"
#include "output/readers.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

// Marks every row's first pixel with the frame number, so that each of the
// large frames differs from the others everywhere without being regenerated.
void stamp(FrameImage& frame, uint8_t number) {
  for (int32_t r = 0; r < frame.height(); ++r) {
    uint8_t* pixel = frame.row(r);
    pixel[0] = number;
    pixel[1] = static_cast<uint8_t>(r);
    pixel[2] = static_cast<uint8_t>(r >> 8);
  }
}

// Memory-backed when there is room, so the gigabyte never waits for the disk.
fs::path roomy_folder() {
  std::error_code error;
  const fs::space_info shm = fs::space("/dev/shm", error);
  if (!error && shm.available > (uint64_t{3} << 30)) return "/dev/shm";
  return fs::temp_directory_path();
}

TEST(AviLarge, RecordingPastOneGibibyteReadsBackWhole) {
  constexpr int32_t kSide = 4096;  // 48 MiB a frame
  constexpr int kFrames = 22;      // 1.1 GB: 21 frames in the first segment
  RecordingOptions options;
  options.flush_interval_ms = -1;  // the flush has its own test; this one is about size
  TempFolder folder(roomy_folder());
  WriterRig rig(AviLimits{}, posix_writer_io(), options);
  rig.settings.image_file_path = folder.file("Large.avi");
  FrameImage frame = pattern_frame(kSide, kSide, 99);
  for (int i = 0; i < kFrames; ++i) {
    stamp(frame, static_cast<uint8_t>(i));
    rig.writer.avi_write_frame(&frame);
  }
  rig.writer.avi_close();
  EXPECT_TRUE(rig.reporter.messages.empty());
  const fs::path file = rig.settings.image_file_path;
  ASSERT_GT(fs::file_size(file), uint64_t{1} << 30);
  EXPECT_NE(find_chunk(walk_riff(file), "RIFF:AVIX"), nullptr);

  auto probe = probe_video(file, false);  // the frames are counted by decoding below
  EXPECT_EQ(probe["nb_frames"], std::to_string(kFrames));
  EXPECT_EQ(probe["width"], std::to_string(kSide));

  // Each reader's frames, compared with the frame restamped with its number.
  const auto expect_stamped = [&](const char* reader) {
    return [&frame, reader, index = 0](const std::vector<uint8_t>& decoded) mutable {
      stamp(frame, static_cast<uint8_t>(index));
      EXPECT_TRUE(same_picture(decoded, frame)) << reader << ", frame " << index;
      ++index;
      return true;
    };
  };
  EXPECT_EQ(stream_with_ffmpeg(file, kSide, kSide, expect_stamped("ffmpeg")), kFrames);
  OpenCvFigures figures;
  EXPECT_EQ(stream_with_opencv(file, kSide, kSide, expect_stamped("OpenCV"), figures), kFrames);
  EXPECT_EQ(figures.reported_count, kFrames);
}

}  // namespace
}  // namespace noctra::test
