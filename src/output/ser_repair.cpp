#include "output/ser_repair.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <system_error>
#include <vector>

#include "config/timing.h"
#include "imaging/little_endian.h"
#include "output/checked_write.h"
#include "output/ser_header.h"
#include "output/unique_fd.h"

namespace noctra {

using namespace ser_layout;

namespace {

constexpr std::size_t kTimestampBytes = 8;
constexpr std::size_t kBlockBytes = 64 * 1024;
// A timing row is far shorter; a longer line is no row of it.
constexpr std::size_t kLongestLine = 4096;

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool digits_at(std::string_view text, std::size_t at, std::size_t count, int64_t& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t k = at; k < at + count; ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
    value = value * 10 + (text[k] - '0');
  }
  return true;
}

unsigned days_in_month(int64_t year, int64_t month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

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

// The timing record's start_utc of each frame, by frame number.
std::map<int64_t, int64_t> read_start_instants(WriterIo& io, const std::string& path,
                                               bool& readable) {
  std::map<int64_t, int64_t> starts;
  const UniqueFd fd(io.open_file(path.c_str(), false), io);
  readable = static_cast<bool>(fd);
  if (!fd) return starts;
  LineReader lines(io, fd.get());
  std::string line;
  if (!lines.next(line)) return starts;
  const std::vector<std::string_view> names = split_cells(line);
  const auto column = [&](std::string_view name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::size_t frame_column = column("frame");
  const std::size_t start_column = column("start_utc");
  if (frame_column >= names.size() || start_column >= names.size()) return starts;
  while (lines.next(line)) {
    const std::vector<std::string_view> cells = split_cells(line);
    if (cells.size() <= std::max(frame_column, start_column)) continue;
    const std::string_view frame_text = cells[frame_column];
    int64_t frame = 0;
    if (frame_text.empty() || frame_text.size() > 10 ||
        !digits_at(frame_text, 0, frame_text.size(), frame)) {
      continue;
    }
    const std::optional<int64_t> start = parse_utc(cells[start_column]);
    if (start) starts.emplace(frame, *start);
  }
  return starts;
}

SerRepairResult repair_result(SerRepairOutcome outcome, int64_t frames, std::string message) {
  return {outcome, frames, std::move(message)};
}

}  // namespace

std::optional<int64_t> parse_utc(std::string_view text) {
  // YYYY-MM-DDThh:mm:ss[.f{1,6}]Z
  int64_t year, month, day, hour, minute, second;
  if (text.size() < 20 || !digits_at(text, 0, 4, year) || text[4] != '-' ||
      !digits_at(text, 5, 2, month) || text[7] != '-' || !digits_at(text, 8, 2, day) ||
      text[10] != 'T' || !digits_at(text, 11, 2, hour) || text[13] != ':' ||
      !digits_at(text, 14, 2, minute) || text[16] != ':' || !digits_at(text, 17, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::size_t at = 19;
  int64_t micro = 0;
  if (text[at] == '.') {
    ++at;
    int decimals = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && decimals < 6) {
      micro = micro * 10 + (text[at] - '0');
      ++at;
      ++decimals;
    }
    if (decimals == 0) return std::nullopt;
    for (int k = decimals; k < 6; ++k) micro *= 10;
  }
  if (at + 1 != text.size() || text[at] != 'Z') return std::nullopt;
  const int64_t days =
      days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return ((days * 86400 + hour * 3600 + minute * 60 + second) * 1'000'000) + micro;
}

SerRepairResult repair_ser(const std::string& path, const std::string& timing_record_path,
                           WriterIo& io) {
  UniqueFd fd(io.open_file(path.c_str(), true), io);
  if (!fd) {
    return repair_result(SerRepairOutcome::Failed, 0,
                         "Can't open " + path + ": " + std::generic_category().message(errno));
  }
  const auto failed = [&](const char* doing) {
    return repair_result(
        SerRepairOutcome::Failed, 0,
        std::string("Can't ") + doing + " " + path + ": " + std::generic_category().message(errno));
  };
  const auto sync = [&] { return io.fdatasync(fd.get()) == 0; };

  const int64_t size = io.file_size(fd.get());
  if (size < 0 && errno != EISDIR && errno != EINVAL) return failed("read");
  std::vector<uint8_t> header(kSerHeaderBytes);
  if (size >= static_cast<int64_t>(kSerHeaderBytes) &&
      !read_fully(io, fd.get(), header.data(), header.size(), 0)) {
    if (errno == 0) errno = EIO;
    return failed("read");
  }
  if (size < static_cast<int64_t>(kSerHeaderBytes)) header.clear();
  const Result<SerHeader> parsed = parse_ser_header(header);
  if (!parsed) return repair_result(SerRepairOutcome::NotSer, 0, path + " " + parsed.message());
  const uint64_t frame_bytes = parsed->frame_bytes();
  const auto counted = static_cast<int64_t>(parsed->frame_count);
  const uint64_t data = static_cast<uint64_t>(size) - kSerHeaderBytes;
  int64_t frames = static_cast<int64_t>(data / frame_bytes);
  const uint64_t counted_end = static_cast<uint64_t>(counted) * frame_bytes;
  const uint64_t full_trailer = static_cast<uint64_t>(counted) * kTimestampBytes;
  if (counted > 0 && data == counted_end + full_trailer) {
    return repair_result(
        SerRepairOutcome::AlreadyComplete, counted,
        path + " already has its " + std::to_string(counted) + " frames and their timestamps");
  }
  // Bytes after the counted frames that fit inside their trailer are a
  // trailer cut short, not another frame.
  if (counted < frames && data >= counted_end && data - counted_end < full_trailer) {
    frames = counted;
  }
  frames = std::min<int64_t>(frames, INT32_MAX);

  uint8_t count[4];
  store_u32(count, static_cast<uint32_t>(frames));
  const struct iovec count_part = iovec_of(count, sizeof count);
  if (!write_fully(io, fd.get(), std::span(&count_part, 1), kFrameCountAt)) {
    return failed("write to");
  }
  const std::string counted_text = path + ": " + std::to_string(frames) + " frames";
  if (frames == 0) {
    if (!sync()) return failed("write to");
    return repair_result(SerRepairOutcome::Completed, 0, counted_text);
  }

  bool readable = false;
  const std::map<int64_t, int64_t> starts = read_start_instants(io, timing_record_path, readable);
  // The record's frames are unique keys in order: every frame has its start
  // when those below `frames` number `frames`.
  const auto first_beyond = starts.lower_bound(frames);
  const auto dated = static_cast<int64_t>(std::distance(starts.begin(), first_beyond));
  if (dated < frames) {
    if (!sync()) return failed("write to");
    const std::string why = !readable
                                ? "the timing record " + timing_record_path + " can't be read"
                                : "the timing record " + timing_record_path + " has no start for " +
                                      std::to_string(frames - dated) + " of them";
    return repair_result(SerRepairOutcome::CountOnly, frames,
                         counted_text + ", no timestamps added: " + why);
  }
  // The trailer goes in blocks, so its size never has to fit in memory.
  uint64_t at = kSerHeaderBytes + static_cast<uint64_t>(frames) * frame_bytes;
  std::vector<uint8_t> block;
  block.reserve(kBlockBytes);
  for (auto it = starts.begin(); it != first_beyond; ++it) {
    block.resize(block.size() + kTimestampBytes);
    store_u64(block.data() + block.size() - kTimestampBytes,
              static_cast<uint64_t>(ticks_since_year_one(it->second)));
    if (block.size() == kBlockBytes || std::next(it) == first_beyond) {
      const struct iovec part = iovec_of(block.data(), block.size());
      if (!write_fully(io, fd.get(), std::span(&part, 1), at)) return failed("write to");
      at += block.size();
      block.clear();
    }
  }
  if (!sync()) return failed("write to");
  return repair_result(SerRepairOutcome::Completed, frames, counted_text + " with timestamps");
}

int repair_exit_status(SerRepairOutcome outcome) {
  switch (outcome) {
    case SerRepairOutcome::Completed:
    case SerRepairOutcome::AlreadyComplete:
      return 0;
    case SerRepairOutcome::NotSer:
      return 2;
    case SerRepairOutcome::CountOnly:
    case SerRepairOutcome::Failed:
      return 1;
  }
  return 1;
}

}  // namespace noctra
