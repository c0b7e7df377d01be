#pragma once
// An AVI recording as the program makes one (the recording over the AVI
// container), wired to a recording reporter, a counting numbering step and a
// folder of its own, and driven with the AVI writer's calls.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "output/avi_container.h"
#include "output/readers.h"
#include "output/recording.h"

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

// The AVI writer's calls on a recording: a frame (or none), Stop, and the
// next frame's position (-1 while no file is open).
struct AviWriterCalls {
  Recording& recording;
  void avi_write_frame(const FrameImage* frame) { recording.write_frame(frame, {}, {}); }
  void avi_close() { recording.close_recording(); }
  int32_t next_frame_index() const {
    return recording.is_open() ? static_cast<int32_t>(recording.frames()) : -1;
  }
  const std::string& open_path() const { return recording.open_path(); }
};

struct WriterRig {
  explicit WriterRig(AviLimits limits = {}, WriterIo& io = posix_writer_io(),
                     RecordingOptions options = {}, const std::string& name = "Images.avi")
      : recording(
            settings, reporter, [this](std::string& path) { return number(path); },
            [&io, limits](const RecordingFormat&) {
              return std::make_unique<AviContainer>(io, limits);
            },
            io, options) {
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
  Recording recording;
  AviWriterCalls writer{recording};
};

inline std::vector<FrameImage> write_frames(WriterRig& rig, int count, int32_t width,
                                            int32_t height, uint32_t first_seed = 1) {
  std::vector<FrameImage> frames;
  for (int i = 0; i < count; ++i) {
    frames.push_back(pattern_frame(width, height, first_seed + static_cast<uint32_t>(i)));
    rig.writer.avi_write_frame(&frames.back());
  }
  return frames;
}

inline std::vector<FrameImage> pattern_frames(int32_t width, int32_t height,
                                              std::initializer_list<uint32_t> seeds) {
  std::vector<FrameImage> frames;
  for (uint32_t seed : seeds) frames.push_back(pattern_frame(width, height, seed));
  return frames;
}

// The one message a failed write leaves.
inline std::vector<std::string> write_failure(const std::string& path, const std::string& reason) {
  return {"Can't write to AVI file " + path + ": " + reason};
}

// A reader's frames, each checked against the expected one of its place.
inline FrameSink expect_frames(const std::vector<FrameImage>& frames, const char* reader) {
  return [&frames, reader, index = std::size_t{0}](const std::vector<uint8_t>& decoded) mutable {
    EXPECT_TRUE(index < frames.size() && same_picture(decoded, frames[index]))
        << reader << ", frame " << index;
    ++index;
    return true;
  };
}

// ffprobe, ffmpeg and OpenCV all read the file as exactly these frames.
inline void expect_read_back(const std::filesystem::path& file,
                             const std::vector<FrameImage>& frames) {
  ASSERT_FALSE(frames.empty());
  const int32_t width = frames[0].width(), height = frames[0].height();
  const auto count = static_cast<int64_t>(frames.size());
  const std::map<std::string, std::string> expected_probe = {
      {"codec_type", "video"},
      {"codec_name", "rawvideo"},
      {"pix_fmt", "bgr24"},
      {"width", std::to_string(width)},
      {"height", std::to_string(height)},
      {"r_frame_rate", "25/1"},
      {"nb_frames", std::to_string(count)},
      {"nb_read_frames", std::to_string(count)}};
  EXPECT_EQ(probe_video(file), expected_probe);

  EXPECT_EQ(stream_with_ffmpeg(file, width, height, expect_frames(frames, "ffmpeg")), count);
  OpenCvFigures figures;
  EXPECT_EQ(stream_with_opencv(file, width, height, expect_frames(frames, "OpenCV"), figures),
            count);
  EXPECT_EQ(std::tuple(figures.width, figures.height, figures.fps, figures.reported_count),
            std::tuple(width, height, 25.0, count));
}

}  // namespace noctra::test
