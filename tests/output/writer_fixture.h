#pragma once
// A writer wired to a recording reporter, a counting numbering step and a
// folder of its own.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "output/avi_writer.h"
#include "output/readers.h"

namespace noctra::test {

class RecordingReporter final : public ErrorReporter {
 public:
  void show_error(const std::string& text) override {
    messages.push_back(text);
    if (while_shown) while_shown();
  }
  std::vector<std::string> messages;
  // Runs while the message is up, as the user's Stop would in the GUI.
  std::function<void()> while_shown;
};

struct WriterRig {
  explicit WriterRig(AviLimits limits = {}, WriterIo& io = posix_writer_io(),
                     const std::string& name = "Images.avi")
      : writer(settings, reporter, [this](std::string& path) { return number(path); }, io, limits) {
    settings.image_file_path = folder.file(name);
  }

  std::string number(std::string& path) {
    ++numbering_calls;
    return numbering ? numbering(path) : std::string();
  }

  TempFolder folder;
  Settings settings;
  RecordingReporter reporter;
  int numbering_calls = 0;
  std::function<std::string(std::string&)> numbering;
  AviWriter writer;
};

inline std::vector<FrameImage> write_frames(WriterRig& rig, int count, int32_t width, int32_t height,
                                     uint32_t first_seed = 1) {
  std::vector<FrameImage> frames;
  for (int i = 0; i < count; ++i) {
    frames.push_back(pattern_frame(width, height, first_seed + static_cast<uint32_t>(i)));
    rig.writer.avi_write_frame(&frames.back());
  }
  return frames;
}

// ffprobe, ffmpeg and OpenCV all read the file as exactly these frames.
inline void expect_read_back(const std::filesystem::path& file, const std::vector<FrameImage>& frames) {
  ASSERT_FALSE(frames.empty());
  const int32_t width = frames[0].width();
  const int32_t height = frames[0].height();
  auto probe = probe_video(file);
  EXPECT_EQ(probe["codec_type"], "video");
  EXPECT_EQ(probe["codec_name"], "rawvideo");
  EXPECT_EQ(probe["pix_fmt"], "bgr24");
  EXPECT_EQ(probe["width"], std::to_string(width));
  EXPECT_EQ(probe["height"], std::to_string(height));
  EXPECT_EQ(probe["r_frame_rate"], "25/1");
  EXPECT_EQ(probe["nb_frames"], std::to_string(frames.size()));
  EXPECT_EQ(probe["nb_read_frames"], std::to_string(frames.size()));

  const DecodedFrames by_ffmpeg = decode_with_ffmpeg(file, width, height);
  ASSERT_TRUE(by_ffmpeg.ok);
  ASSERT_EQ(by_ffmpeg.frames.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(same_picture(by_ffmpeg.frames[i], frames[i])) << "ffmpeg, frame " << i;
  }

  const DecodedFrames by_opencv = decode_with_opencv(file);
  ASSERT_TRUE(by_opencv.ok);
  EXPECT_EQ(by_opencv.width, width);
  EXPECT_EQ(by_opencv.height, height);
  EXPECT_DOUBLE_EQ(by_opencv.fps, 25.0);
  EXPECT_EQ(by_opencv.reported_count, static_cast<int64_t>(frames.size()));
  ASSERT_EQ(by_opencv.frames.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(same_picture(by_opencv.frames[i], frames[i])) << "OpenCV, frame " << i;
  }
}

}  // namespace noctra::test
