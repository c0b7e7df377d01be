#pragma once
// One recording from Record to Stop, whatever its file format: the part of
// the output that every format shares. It numbers the settings' path when the
// first frame comes (the numbered path stays in the settings), picks the
// container by the path's extension (output/formats.h), writes the timing record beside it
// (<name>.timing.csv, the row before its frame, taken back when the frame is lost), reports each
// kind of failure once a recording (a recording that cannot be opened at every frame, as it always
// was), and puts the data on the disk at most once a second from a helper thread, so that a slow
// disk never holds up the capture timer.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "config/platform.h"
#include "config/settings.h"
#include "output/container.h"
#include "output/formats.h"
#include "output/frame_writer.h"
#include "output/timing_log.h"
#include "output/writer_io.h"

namespace noctra {

struct RecordingOptions {
  // fdatasync at most this often; negative turns the flush off (also at close).
  int64_t flush_interval_ms = 1000;
  bool flush_in_background = true;
};

// Makes the container of a format; tests pass containers with failing io.
using MakeContainer = std::function<std::unique_ptr<RecordingContainer>(const RecordingFormat&)>;
// The program's containers, doing their file calls through io.
MakeContainer standard_containers(WriterIo& io = posix_writer_io());

// Numbers the path in place before a recording is opened; the message to
// show when no usable path can be made (nothing is opened then), else "".
using NumberRecordingPath = std::function<std::string(std::string& path)>;
// Each format's numbering rule on the settings' auto-increment flag, probing
// with the format's recording_exists.
NumberRecordingPath recording_numbering(const Settings& settings);

class Recording final : public FrameWriter {
 public:
  // settings.image_file_path names the next recording (and is rewritten by
  // the numbering); its Observer, Instrument and Telescope go into the
  // recording's headers; reporter shows the "Error" messages.
  Recording(Settings& settings, ErrorReporter& reporter, NumberRecordingPath number_path,
            MakeContainer make_container, WriterIo& io = posix_writer_io(),
            RecordingOptions options = {});
  // The program's recording: auto-increment numbering, the real files.
  Recording(Settings& settings, ErrorReporter& reporter);
  // Finishes an open recording quietly; the program should close it first.
  ~Recording() override;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Calibrated recordings: each recording opened while `wanted` says so is
  // calibrated by `calibrate` (on the container's writer thread) when its
  // format takes calibrated frames; a format that does not records raw
  // frames and says so once.
  void set_calibration(std::function<bool()> wanted, CalibrateRecordedFrame calibrate);

  void write_frame(const FrameImage* frame, const FrameTiming& timing,
                   const FrameMetadata& how) override;
  void close_recording() override;

  bool is_open() const { return container_ != nullptr; }
  // Whole frames in the open recording; 0 while closed.
  int64_t frames() const { return container_ ? container_->frames() : 0; }
  // The open recording's path and format; an empty path while closed.
  const std::string& open_path() const { return open_path_; }
  const RecordingFormat& format() const { return *format_; }

 private:
  bool open(const FrameImage& first, const FrameTiming& timing);
  void write_timing_row(int64_t frame, const FrameTiming& timing, const FrameMetadata& how,
                        bool& written);
  void flush_if_due();
  // Waits for a background flush; its failure, if any.
  ContainerStatus finish_background_flush();
  void report(const ContainerStatus& status);
  void report_timing(int error);
  void report_once(bool& reported, const std::string& text);
  void finish_quietly();

  Settings& settings_;
  ErrorReporter& reporter_;
  NumberRecordingPath number_path_;
  MakeContainer make_container_;
  WriterIo& io_;
  RecordingOptions options_;

  std::unique_ptr<RecordingContainer> container_;
  const RecordingFormat* format_ = &format_of_path({});
  std::string open_path_;
  TimingLog timing_;
  bool write_failure_reported_ = false;
  bool refusal_reported_ = false;
  bool timing_failure_reported_ = false;
  std::function<bool()> calibration_wanted_;
  CalibrateRecordedFrame calibrate_;
  std::string calibration_refusal_;  // said after the first frame is written

  int64_t last_flush_ms_ = 0;
  std::thread flusher_;
  std::atomic<bool> flush_running_{false};
  ContainerStatus flush_status_;  // written by the flusher, read after joining it
};

}  // namespace noctra
