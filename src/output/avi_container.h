#pragma once
// AVI recordings: one uncompressed video stream at 25 frames a second, one
// key-frame sample per frame, the container laid out by Noctra itself. The
// stream's format is the first frame's header (the frames as the camera
// delivered them: 24-bit BGR rows, bottom-up); a mono recording's frames are
// 8-bit rows of their B bytes behind a colour table of 256 greys.
//
// Past the first segment limit (1 GiB) the file goes on in OpenDML segments,
// so a night's recording has no size limit. After every frame the sizes and
// frame counts in the headers are brought up to date, so a file cut short by
// a crash reads up to its last whole frame. A write that fails is cut back to
// the last whole frame and left out of the file's index. Numbering, messages
// and the once-a-second flush belong to the recording (output/recording.h).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "output/container.h"
#include "output/unique_fd.h"
#include "output/writer_io.h"

namespace noctra {

inline constexpr uint32_t kAviFrameRate = 25;

struct AviLimits {
  // A segment (RIFF) is closed before a frame would carry it past this size.
  uint64_t segment_bytes = uint64_t{1} << 30;
  // Room reserved in the header for this many segments (1 TiB at 1 GiB each).
  uint32_t max_segments = 1024;
};

class AviContainer final : public RecordingContainer {
 public:
  explicit AviContainer(WriterIo& io = posix_writer_io(), AviLimits limits = {});
  // Finishes an open file without a word.
  ~AviContainer() override;
  AviContainer(const AviContainer&) = delete;
  AviContainer& operator=(const AviContainer&) = delete;

  ContainerStatus open(const std::string& path, const FrameImage& first,
                       const FrameTiming& first_timing, const RecordingInfo& info) override;
  ContainerStatus append(const FrameImage& frame, const FrameTiming& timing,
                         const FrameMetadata& metadata) override;
  int64_t frames() const override { return total_frames_; }
  ContainerStatus flush() override;
  ContainerStatus close(bool sync) override;

  // Any packed bitmaps, as a general AVI writer takes them: `header` holds
  // the BITMAPINFOHEADER followed by its colour table (biSize + 4 x
  // biClrUsed bytes make the stream's format), `pixels` the rows, of which
  // the image size is written (the size of the rows when it is 0); a frame
  // whose image size is larger than its rows is refused. open_bitmaps()
  // creates the file for frames like the first without writing one.
  ContainerStatus open_bitmaps(const std::string& path, std::span<const uint8_t> first_header,
                               std::size_t first_pixel_bytes);
  ContainerStatus append_bitmap(std::span<const uint8_t> header, std::span<const uint8_t> pixels);

 private:
  struct IndexEntry {
    uint32_t data_offset;  // from the start of the segment's RIFF header
    uint32_t size;
  };

  ContainerStatus create(const std::string& path, std::span<const uint8_t> header,
                         uint32_t image_bytes);
  bool needs_new_segment(uint64_t chunk_bytes) const;
  // These return 0, or the errno of the write that failed.
  int start_segment();
  int finish_segment();
  int update_counters();
  int update_frame_counts();
  int patch_u32(uint64_t offset, uint32_t value);
  int write_at(uint64_t offset, std::span<const struct iovec> parts);

  WriterIo& io_;
  AviLimits limits_;
  UniqueFd fd_;

  // Where the counters live in the file's header.
  uint64_t avih_total_frames_at_ = 0;
  uint64_t strh_length_at_ = 0;
  uint64_t dmlh_total_frames_at_ = 0;
  uint64_t super_index_at_ = 0;

  // The current segment: its RIFF and 'movi' list headers and the end of its
  // last whole frame (everything past it is cut off after a failure).
  uint64_t riff_at_ = 0;
  uint64_t movi_at_ = 0;
  uint64_t end_at_ = 0;
  bool segment_open_ = false;
  uint32_t segments_done_ = 0;
  uint32_t total_frames_ = 0;
  uint32_t first_segment_frames_ = 0;
  std::vector<IndexEntry> entries_;  // frames of the current segment

  // A mono recording: its frames' size, its stream format and one frame's rows.
  bool mono_ = false;
  int32_t mono_width_ = 0;
  int32_t mono_height_ = 0;
  std::vector<uint8_t> mono_format_;
  std::vector<uint8_t> luma_;
};

std::unique_ptr<RecordingContainer> make_avi_container(WriterIo& io = posix_writer_io());

}  // namespace noctra
