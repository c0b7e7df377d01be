#pragma once
// Noctra's AVI sequence writer: one uncompressed video stream at 25 frames a
// second, one key-frame sample per written exposure, the container laid out
// by Noctra itself.
//
// Past the first segment limit (1 GiB) the file goes on in OpenDML segments,
// so a night's recording has no size limit. After every frame the sizes and
// frame counts in the headers are brought up to date, so a file cut short by
// a crash reads up to its last whole frame; the data go to the disk at most
// once a second, from a helper thread. A write that fails is cut back to the last whole frame,
// reported once per recording and left out of the file's index.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "config/platform.h"
#include "config/settings.h"
#include "imaging/frame_image.h"
#include "output/naming.h"
#include "output/writer_io.h"

namespace noctra {

inline constexpr uint32_t kAviFrameRate = 25;

// Numbers the output path in place before a file is opened. Returns the
// message to show when no usable path can be made (nothing is opened then),
// else an empty string.
using NumberOutputPath = std::function<std::string(std::string& path)>;

// The auto-increment rule on the settings' flag, probing the real files.
NumberOutputPath auto_increment_numbering(const Settings& settings,
                                          FileExistsProbe exists = output_file_exists);

struct AviLimits {
  // A segment (RIFF) is closed before a frame would carry it past this size.
  uint64_t segment_bytes = uint64_t{1} << 30;
  // Room reserved in the header for this many segments (1 TiB at 1 GiB each).
  uint32_t max_segments = 1024;
  // fdatasync at most this often; negative turns the flush off.
  int64_t flush_interval_ms = 1000;
  // Flush on a helper thread, so that a slow disk never holds up the caller
  // (the capture timer); a flush still running when the next is due makes
  // that one wait for a later frame.
  bool flush_in_background = true;
};

// The recording part (output/recording.h) drives it as the AVI container;
// its own calls remain for writing any packed bitmap.
class AviWriter final {
 public:
  // settings.image_file_path names the next file (and is rewritten by the
  // numbering); reporter shows the "Error" messages; io does the file calls.
  AviWriter(Settings& settings, ErrorReporter& reporter, NumberOutputPath number_path,
            WriterIo& io = posix_writer_io(), AviLimits limits = {});
  // The program's writer: auto-increment numbering on the real files.
  AviWriter(Settings& settings, ErrorReporter& reporter);
  // Finishes an open file quietly; the program should call avi_close first.
  ~AviWriter();
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  // A frame image: its 40-byte header and its pixel rows.
  void avi_write_frame(const FrameImage* frame);
  // Any packed bitmap: header holds the BITMAPINFOHEADER followed by its
  // colour table (biSize + 4 x biClrUsed bytes are taken for the stream
  // format); pixels holds the rows, of which the image size is written. An
  // empty header is a missing frame.
  void avi_write_frame(std::span<const uint8_t> header, std::span<const uint8_t> pixels);
  void avi_close();
  // Opens the file for frames like `first` without writing a frame (the
  // numbering and the messages as for the first avi_write_frame); true when open.
  bool avi_open(const FrameImage& first);
  // Puts everything written so far on the disk; the errno of a failure, or 0.
  // May run on another thread while a frame is being written.
  int avi_flush();

  // -1 while no file is open, else the frames in the file (the position the
  // next one takes).
  int32_t next_frame_index() const { return next_frame_index_; }
  // The path of the open file, empty while closed.
  const std::string& open_path() const { return open_path_; }

 private:
  struct IndexEntry {
    uint32_t data_offset;  // from the start of the segment's RIFF header
    uint32_t size;
  };

  bool avi_open(std::span<const uint8_t> header, uint32_t image_bytes);
  void append_frame(std::span<const uint8_t> sample);
  bool needs_new_segment(uint64_t chunk_bytes) const;
  bool start_segment();
  bool finish_segment();
  bool update_counters();
  bool update_frame_counts();
  bool patch_u32(uint64_t offset, uint32_t value);
  bool write_at(uint64_t offset, std::span<const struct iovec> parts);
  void flush_if_due();
  // Waits for a background flush; the errno it failed with, or 0.
  int finish_background_flush();
  void report_write_failure(int error);
  void report_once(bool& reported, const std::string& text);
  void finish_quietly();

  Settings& settings_;
  ErrorReporter& reporter_;
  NumberOutputPath number_path_;
  WriterIo& io_;
  AviLimits limits_;

  int32_t next_frame_index_ = -1;
  int fd_ = -1;
  std::string open_path_;
  bool write_failure_reported_ = false;
  bool refusal_reported_ = false;

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
  int64_t last_flush_ms_ = 0;
  std::thread flusher_;
  std::atomic<bool> flush_running_{false};
  std::atomic<int> flush_error_{0};
};

}  // namespace noctra
