#include "output/timing_log.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "output/checked_write.h"

namespace noctra {

std::string timing_path_for(std::string_view recording_path) {
  const std::size_t slash = recording_path.find_last_of('/');
  const std::size_t name_at = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = recording_path.find_last_of('.');
  std::string path(recording_path);
  if (dot != std::string_view::npos && dot > name_at) path.resize(dot);
  path += ".timing.csv";
  return path;
}

std::string timing_row(int64_t frame, const FrameTiming& timing, std::string_view mode) {
  std::string row = std::to_string(frame);
  row += ',';
  if (timing.start) row += format_utc(timing.start->utc_us);
  row += ',';
  if (timing.end) row += format_utc(timing.end->utc_us);
  row += ',';
  // The exposure from the monotonic clock, which a step of the wall clock
  // during the exposure cannot spoil.
  if (timing.start && timing.end)
    row += format_mono_ms(timing.end->mono_us - timing.start->mono_us);
  row += ',';
  if (timing.delivered) row += format_utc(timing.delivered->utc_us);
  for (const auto& instant : {timing.start, timing.end, timing.delivered}) {
    row += ',';
    if (instant) row += format_mono_ms(instant->mono_us);
  }
  row += ',';
  if (timing.source_mono_us) row += format_mono_ms(*timing.source_mono_us);
  row += ',';
  row += mode;
  row += '\n';
  return row;
}

int TimingLog::open(const std::string& path) {
  close();
  UniqueFd fd(io_.create_file(path.c_str()), io_);
  if (!fd) return errno;
  fd_ = std::move(fd);
  path_ = path;
  end_ = 0;
  last_row_at_ = 0;
  if (const int error = write_all(kTimingHeader); error != 0) {
    close();
    io_.remove_file(path.c_str());
    return error;
  }
  return 0;
}

int TimingLog::write_all(std::string_view text) {
  const struct iovec part = iovec_of(text.data(), text.size());
  if (!write_fully(io_, fd_.get(), std::span(&part, 1), end_)) {
    const int error = errno;
    // A half row would be read as a frame's record: take it back.
    io_.ftruncate(fd_.get(), static_cast<off_t>(end_));
    return error;
  }
  end_ += text.size();
  return 0;
}

int TimingLog::append(int64_t frame, const FrameTiming& timing, std::string_view mode) {
  if (!fd_) return EBADF;
  const uint64_t row_at = end_;
  const int error = write_all(timing_row(frame, timing, mode));
  if (error == 0) last_row_at_ = row_at;
  return error;
}

int TimingLog::cut_back_last_row() {
  if (!fd_ || last_row_at_ == 0) return 0;
  if (io_.ftruncate(fd_.get(), static_cast<off_t>(last_row_at_)) != 0) return errno;
  end_ = last_row_at_;
  last_row_at_ = 0;
  return 0;
}

int TimingLog::flush() { return fd_ && io_.fdatasync(fd_.get()) != 0 ? errno : 0; }

int TimingLog::close() { return fd_.close(); }

}  // namespace noctra
