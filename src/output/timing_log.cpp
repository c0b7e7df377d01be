#include "output/timing_log.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstdio>

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
  const int fd = io_.create_file(path.c_str());
  if (fd < 0) return errno;
  fd_ = fd;
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
  std::size_t done = 0;
  while (done < text.size()) {
    iovec part{const_cast<char*>(text.data() + done), text.size() - done};
    const ssize_t n = io_.pwritev(fd_, &part, 1, static_cast<off_t>(end_ + done));
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      // A half row would be read as a frame's record: take it back.
      io_.ftruncate(fd_, static_cast<off_t>(end_));
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  end_ += text.size();
  return 0;
}

int TimingLog::append(int64_t frame, const FrameTiming& timing, std::string_view mode) {
  if (fd_ < 0) return EBADF;
  const uint64_t row_at = end_;
  const int error = write_all(timing_row(frame, timing, mode));
  if (error == 0) last_row_at_ = row_at;
  return error;
}

int TimingLog::cut_back_last_row() {
  if (fd_ < 0 || last_row_at_ == 0) return 0;
  if (io_.ftruncate(fd_, static_cast<off_t>(last_row_at_)) != 0) return errno;
  end_ = last_row_at_;
  last_row_at_ = 0;
  return 0;
}

int TimingLog::flush() { return fd_ >= 0 && io_.fdatasync(fd_) != 0 ? errno : 0; }

int TimingLog::close() {
  if (fd_ < 0) return 0;
  const int result = io_.close(fd_);
  fd_ = -1;
  return result != 0 ? errno : 0;
}

}  // namespace noctra
