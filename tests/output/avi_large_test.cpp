#include <gtest/gtest.h>

#include <filesystem>

#include "output/avi_writer.h"
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
  AviLimits limits;
  limits.flush_interval_ms = -1;  // the flush has its own test; this one is about size
  TempFolder folder(roomy_folder());
  WriterRig rig(limits);
  rig.settings.image_file_path = folder.file("Large.avi");
  FrameImage frame = pattern_frame(kSide, kSide, 99);
  std::vector<uint32_t> crcs;
  for (int i = 0; i < kFrames; ++i) {
    stamp(frame, static_cast<uint8_t>(i));
    crcs.push_back(picture_crc(frame));
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

  int index = 0;
  bool all_same = true;
  const int64_t streamed = stream_with_ffmpeg(file, kSide, kSide, [&](const std::vector<uint8_t>& decoded) {
    stamp(frame, static_cast<uint8_t>(index++));
    all_same = all_same && same_picture(decoded, frame);
    return true;
  });
  EXPECT_EQ(streamed, kFrames);
  EXPECT_TRUE(all_same);

  const FrameChecksums by_opencv = checksums_with_opencv(file);
  ASSERT_TRUE(by_opencv.ok);
  EXPECT_EQ(by_opencv.reported_count, kFrames);
  EXPECT_EQ(by_opencv.crcs, crcs);
}

}  // namespace
}  // namespace noctra::test
