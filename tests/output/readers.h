#pragma once
// Reads AVI files back the way users' programs will: with ffprobe/ffmpeg and
// with OpenCV through the system Python, plus a small chunk walker for the
// fields no player shows.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "imaging/frame_image.h"

namespace noctra::test {

// Runs a shell command; its standard output, or nothing when it failed.
std::optional<std::string> run_command(const std::string& command);
std::string shell_quote(const std::string& text);

// ffprobe's view of the first video stream (frames counted by decoding):
// codec_type, codec_name, pix_fmt, width, height, r_frame_rate, nb_frames,
// nb_read_frames (when counted), ...
std::map<std::string, std::string> probe_video(const std::filesystem::path& file,
                                               bool count_frames = true);

// Runs a reader that writes frames of frame_bytes each to its standard
// output and hands them over one at a time (while on_frame returns true): the
// number handed over, or -1 when the reader failed.
using FrameSink = std::function<bool(const std::vector<uint8_t>& frame)>;
int64_t stream_frames(const std::string& command, std::size_t frame_bytes,
                      const FrameSink& on_frame);

// The file's frames as top-down BGR rows without padding (width x 3 bytes a
// row), decoded by ffmpeg or by OpenCV through the system Python. Frames
// stream through, so files of gigabytes are no harder than small ones.
int64_t stream_with_ffmpeg(const std::filesystem::path& file, int32_t width, int32_t height,
                           const FrameSink& on_frame);
struct OpenCvFigures {
  int32_t width = 0, height = 0;
  double fps = 0;
  int64_t reported_count = 0;  // CAP_PROP_FRAME_COUNT
};
int64_t stream_with_opencv(const std::filesystem::path& file, int32_t width, int32_t height,
                           const FrameSink& on_frame, OpenCvFigures& figures);

// True when a decoded top-down frame shows exactly the bottom-up rows of the
// frame image.
bool same_picture(const std::vector<uint8_t>& decoded, const FrameImage& frame);

// A RIFF file's chunks, by path of ids ("RIFF/LIST:hdrl/avih"), in file order.
struct Chunk {
  std::string path;
  uint64_t offset = 0;        // of the chunk's header
  std::vector<uint8_t> body;  // empty for lists and for '00db' frames (not kept)
  uint32_t size = 0;
};
std::vector<Chunk> walk_riff(const std::filesystem::path& file);
const Chunk* find_chunk(const std::vector<Chunk>& chunks, const std::string& path);
uint32_t u32_at(const std::vector<uint8_t>& bytes, std::size_t offset);

// A frame filled with a pattern of its own (padding bytes too).
FrameImage pattern_frame(int32_t width, int32_t height, uint32_t seed);

// A fresh empty folder, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder() : TempFolder(std::filesystem::temp_directory_path()) {}
  explicit TempFolder(const std::filesystem::path& base);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace noctra::test
