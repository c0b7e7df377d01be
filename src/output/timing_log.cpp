#include "output/timing_log.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "output/checked_write.h"

namespace noctra {

namespace {

constexpr std::size_t kBlockBytes = 64 * 1024;
// A timing row is far shorter; a longer line is no row of it.
constexpr std::size_t kLongestLine = 4096;

// The lines of a file, read through io a block at a time; a read that fails
// ends them. A line longer than kLongestLine is passed over.
class LineReader {
 public:
  LineReader(WriterIo& io, int fd) : io_(io), fd_(fd) {}

  bool next(std::string& line) {
    for (;;) {
      const std::size_t newline = buffer_.find('\n', at_);
      if (newline != std::string::npos || (ended_ && at_ < buffer_.size())) {
        const std::size_t end = newline == std::string::npos ? buffer_.size() : newline;
        const bool whole = !skipping_;
        skipping_ = false;
        if (whole) line.assign(buffer_, at_, end - at_);
        at_ = end + 1;
        if (whole) return true;
        continue;
      }
      if (ended_) return false;
      buffer_.erase(0, at_);
      at_ = 0;
      if (buffer_.size() > kLongestLine) {
        buffer_.clear();
        skipping_ = true;
      }
      const std::size_t kept = buffer_.size();
      buffer_.resize(kept + kBlockBytes);
      const ssize_t got = io_.pread(fd_, buffer_.data() + kept, kBlockBytes, offset_);
      buffer_.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
      if (got <= 0) ended_ = true;
      if (got > 0) offset_ += got;
    }
  }

 private:
  WriterIo& io_;
  int fd_;
  off_t offset_ = 0;
  std::string buffer_;
  std::size_t at_ = 0;  // where the next line starts in buffer_
  bool ended_ = false;
  bool skipping_ = false;
};

std::vector<std::string_view> split_cells(std::string_view row) {
  if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
  std::vector<std::string_view> cells;
  for (;;) {
    const std::size_t comma = row.find(',');
    cells.push_back(row.substr(0, comma));
    if (comma == std::string_view::npos) return cells;
    row.remove_prefix(comma + 1);
  }
}

}  // namespace

std::map<int64_t, TimingRecordRow> read_timing_record(const std::string& path, WriterIo& io,
                                                      bool* readable) {
  std::map<int64_t, TimingRecordRow> rows;
  const UniqueFd fd(io.open_file(path.c_str(), false), io);
  if (readable != nullptr) *readable = static_cast<bool>(fd);
  if (!fd) return rows;
  LineReader lines(io, fd.get());
  std::string line;
  if (!lines.next(line)) return rows;
  const std::vector<std::string_view> names = split_cells(line);
  const auto column = [&](std::string_view name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::size_t frame_at = column("frame"), start_at = column("start_utc"),
                    end_at = column("end_utc");
  if (frame_at >= names.size()) return rows;
  const auto cell = [](const std::vector<std::string_view>& cells, std::size_t at) {
    return at < cells.size() ? parse_utc(cells[at]) : std::nullopt;
  };
  while (lines.next(line)) {
    const std::vector<std::string_view> cells = split_cells(line);
    if (cells.size() <= frame_at) continue;
    const std::string_view number = cells[frame_at];
    if (number.empty() || number.size() > 10 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    int64_t frame = 0;
    for (char c : number) frame = frame * 10 + (c - '0');
    TimingRecordRow& row = rows[frame];
    row.start_utc = cell(cells, start_at);
    row.end_utc = cell(cells, end_at);
  }
  return rows;
}

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
