#pragma once
// The timing record beside a recording: one CSV row per frame written, with
// the instants of the exposure's start (first control byte written), its end
// (trigger byte written) and the frame's delivery by the source. A row goes to
// the file, in one write, before its frame, so after a crash the record never
// has fewer rows than the recording has frames, and at most one more.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "config/timing.h"
#include "output/unique_fd.h"
#include "output/writer_io.h"

namespace noctra {

// The columns, in order. The first five are the stable part that scripts can
// rely on; the monotonic instants (milliseconds, as the port trace prints
// them) and the mode follow.
inline constexpr std::string_view kTimingHeader =
    "frame,start_utc,end_utc,exposure_ms,delivered_utc,start_mono_ms,end_mono_ms,"
    "delivered_mono_ms,source_mono_ms,mode\n";

// The recording's path with its extension replaced by ".timing.csv"
// ("m42_000.avi" gives "m42_000.timing.csv"); a name without an extension
// gets the suffix appended. Only the last path component's dot counts.
std::string timing_path_for(std::string_view recording_path);

// One row, with its line break; empty fields for instants the frame lacks.
std::string timing_row(int64_t frame, const FrameTiming& timing, std::string_view mode);

// A timing record read back: each frame's exposure start and end, by its
// frame number (a frame listed twice keeps its last row). Rows that are not
// a frame's are passed over; readable says whether the file could be opened.
struct TimingRecordRow {
  std::optional<int64_t> start_utc, end_utc;  // microseconds since 1970
};
std::map<int64_t, TimingRecordRow> read_timing_record(const std::string& path,
                                                      WriterIo& io = posix_writer_io(),
                                                      bool* readable = nullptr);

class TimingLog {
 public:
  explicit TimingLog(WriterIo& io = posix_writer_io()) : io_(io) {}
  TimingLog(const TimingLog&) = delete;
  TimingLog& operator=(const TimingLog&) = delete;

  // Creates (or truncates) the file and writes the header. The errno of a
  // failure, or 0.
  int open(const std::string& path);
  bool is_open() const { return static_cast<bool>(fd_); }
  // For a flush on the recording's helper thread; -1 while closed.
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Appends the row of the frame about to be written.
  int append(int64_t frame, const FrameTiming& timing, std::string_view mode);
  // Takes the last row back, when its frame could not be written.
  int cut_back_last_row();
  int flush();
  // The errno of the close, or 0; a closed log does nothing.
  int close();

 private:
  int write_all(std::string_view text);

  WriterIo& io_;
  UniqueFd fd_;
  std::string path_;
  uint64_t end_ = 0;
  uint64_t last_row_at_ = 0;
};

}  // namespace noctra
