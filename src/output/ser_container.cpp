#include "output/ser_container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>
#include <vector>

#include "output/checked_write.h"
#include "output/riff.h"

namespace noctra {

using namespace ser_layout;

namespace {

constexpr std::size_t kObserverAt = 42;
constexpr std::size_t kDateTimeAt = 162;
constexpr int32_t kPixelDepth = 8;
constexpr std::size_t kTimestampBytes = 8;

void put_text(uint8_t* at, const std::string& text) {
  std::memset(at, 0, kSerTextBytes);
  std::memcpy(at, text.data(), std::min(text.size(), kSerTextBytes));
}

class SerContainer final : public RecordingContainer {
 public:
  explicit SerContainer(WriterIo& io) : io_(io) {}
  ~SerContainer() override { close(false); }

  ContainerStatus open(const std::string& path, const FrameImage& first,
                       const FrameTiming& first_timing, const RecordingInfo& info) override {
    close(false);
    io_.remove_file(path.c_str());
    const int fd = io_.create_file(path.c_str());
    if (fd < 0) return ContainerStatus::open_failed(errno);

    uint8_t header[kSerHeaderBytes] = {};
    std::memcpy(header, kFileId, kFileIdBytes);
    // LuID (14) stays 0; LittleEndian (22) stays 0, which is what readers
    // take to mean little-endian data.
    riff::store_u32(header + kColourIdAt, static_cast<uint32_t>(kSerColourBgr));
    riff::store_u32(header + kWidthAt, static_cast<uint32_t>(first.width()));
    riff::store_u32(header + kHeightAt, static_cast<uint32_t>(first.height()));
    riff::store_u32(header + kDepthAt, static_cast<uint32_t>(kPixelDepth));
    put_text(header + kObserverAt, info.observer);
    put_text(header + kObserverAt + kSerTextBytes, info.instrument);
    put_text(header + kObserverAt + 2 * kSerTextBytes, info.telescope);
    if (first_timing.start) {
      const int64_t utc = first_timing.start->utc_us;
      const int64_t local = utc + local_utc_offset_s(utc) * 1'000'000;
      riff::store_u64(header + kDateTimeAt, static_cast<uint64_t>(ticks_since_year_one(local)));
      riff::store_u64(header + kDateTimeAt + 8, static_cast<uint64_t>(ticks_since_year_one(utc)));
    }
    const struct iovec whole = iovec_of(header, sizeof header);
    if (!write_fully(io_, fd, std::span(&whole, 1), 0)) {
      const int error = errno;
      io_.close(fd);
      io_.remove_file(path.c_str());
      return ContainerStatus::open_failed(error);
    }

    fd_ = fd;
    width_ = first.width();
    height_ = first.height();
    row_bytes_ = static_cast<std::size_t>(width_) * 3;
    frame_bytes_ = uint64_t{row_bytes_} * static_cast<uint64_t>(height_);
    rows_.assign(static_cast<std::size_t>(height_), {});
    timestamps_.clear();
    all_stamped_ = true;
    return ContainerStatus::success();
  }

  ContainerStatus append(const FrameImage& frame, const FrameTiming& timing,
                         const FrameMetadata&) override {
    if (fd_ < 0) return ContainerStatus::write_failed(EBADF);
    if (frame.width() != width_ || frame.height() != height_) {
      return ContainerStatus::refused("its size " + std::to_string(frame.width()) + "x" +
                                      std::to_string(frame.height()) +
                                      " differs from the recording's " + std::to_string(width_) +
                                      "x" + std::to_string(height_));
    }
    if (timestamps_.size() >= static_cast<std::size_t>(INT32_MAX)) {
      return ContainerStatus::refused("the file's frame count is full");
    }
    // SER stores the top line first; the frame keeps it last. The rows go
    // straight from the frame, without their padding.
    for (int32_t r = 0; r < height_; ++r) {
      rows_[static_cast<std::size_t>(r)] = iovec_of(frame.row(height_ - 1 - r), row_bytes_);
    }
    const uint64_t end = data_end();
    if (!write_fully(io_, fd_, rows_, end)) return cut_back(errno, end);
    uint8_t count[4];
    riff::store_u32(count, static_cast<uint32_t>(timestamps_.size() + 1));
    const struct iovec count_part = iovec_of(count, sizeof count);
    if (!write_fully(io_, fd_, std::span(&count_part, 1), kFrameCountAt)) {
      return cut_back(errno, end);
    }
    if (timing.start) {
      timestamps_.push_back(ticks_since_year_one(timing.start->utc_us));
    } else {
      timestamps_.push_back(0);
      all_stamped_ = false;
    }
    return ContainerStatus::success();
  }

  int64_t frames() const override { return static_cast<int64_t>(timestamps_.size()); }

  ContainerStatus flush() override {
    if (fd_ >= 0 && io_.fdatasync(fd_) != 0) return ContainerStatus::write_failed(errno);
    return ContainerStatus::success();
  }

  ContainerStatus close(bool sync) override {
    if (fd_ < 0) return ContainerStatus::success();
    ContainerStatus status;
    // A trailer with a hole would date frames wrongly; readers take a file
    // without one as undated.
    if (all_stamped_ && !timestamps_.empty()) {
      std::vector<uint8_t> trailer(timestamps_.size() * kTimestampBytes);
      for (std::size_t k = 0; k < timestamps_.size(); ++k) {
        riff::store_u64(trailer.data() + k * kTimestampBytes,
                        static_cast<uint64_t>(timestamps_[k]));
      }
      const struct iovec whole = iovec_of(trailer.data(), trailer.size());
      if (!write_fully(io_, fd_, std::span(&whole, 1), data_end())) {
        status = ContainerStatus::write_failed(errno);
        io_.ftruncate(fd_, static_cast<off_t>(data_end()));
      }
    }
    if (sync && io_.fdatasync(fd_) != 0 && status.ok())
      status = ContainerStatus::write_failed(errno);
    if (io_.close(fd_) != 0 && status.ok()) status = ContainerStatus::write_failed(errno);
    fd_ = -1;
    return status;
  }

 private:
  uint64_t data_end() const { return kSerHeaderBytes + frame_bytes_ * timestamps_.size(); }

  ContainerStatus cut_back(int error, uint64_t end) {
    io_.ftruncate(fd_, static_cast<off_t>(end));
    // The count may already name the frame that was cut off.
    uint8_t count[4];
    riff::store_u32(count, static_cast<uint32_t>(timestamps_.size()));
    const struct iovec count_part = iovec_of(count, sizeof count);
    write_fully(io_, fd_, std::span(&count_part, 1), kFrameCountAt);
    return ContainerStatus::write_failed(error);
  }

  WriterIo& io_;
  int fd_ = -1;
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::size_t row_bytes_ = 0;
  uint64_t frame_bytes_ = 0;
  std::vector<struct iovec> rows_;
  std::vector<int64_t> timestamps_;  // one per whole frame
  bool all_stamped_ = true;
};

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

// The timing record's start_utc of each frame, by frame number.
std::map<int64_t, int64_t> read_start_instants(const std::string& path, bool& readable) {
  std::map<int64_t, int64_t> starts;
  std::ifstream in(path);
  readable = static_cast<bool>(in);
  std::string line;
  if (!readable || !std::getline(in, line)) return starts;
  const auto split = [](const std::string& row) {
    std::vector<std::string> cells;
    std::size_t from = 0;
    for (;;) {
      const std::size_t comma = row.find(',', from);
      std::string cell =
          row.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      if (!cell.empty() && cell.back() == '\r') cell.pop_back();
      cells.push_back(std::move(cell));
      if (comma == std::string::npos) return cells;
      from = comma + 1;
    }
  };
  const std::vector<std::string> names = split(line);
  const auto column = [&](const char* name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::size_t frame_column = column("frame");
  const std::size_t start_column = column("start_utc");
  if (frame_column >= names.size() || start_column >= names.size()) return starts;
  while (std::getline(in, line)) {
    const std::vector<std::string> cells = split(line);
    if (cells.size() <= std::max(frame_column, start_column)) continue;
    const std::string& frame_text = cells[frame_column];
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

std::unique_ptr<RecordingContainer> make_ser_container(WriterIo& io) {
  return std::make_unique<SerContainer>(io);
}

int64_t local_utc_offset_s(int64_t utc_us) {
  const time_t seconds = static_cast<time_t>(utc_us / 1'000'000);
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

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

SerRepairResult repair_ser(const std::string& path, const std::string& timing_record_path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return repair_result(SerRepairOutcome::Failed, 0,
                         "Can't open " + path + ": " + std::generic_category().message(errno));
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  const auto failed = [&](const char* doing) {
    return repair_result(
        SerRepairOutcome::Failed, 0,
        std::string("Can't ") + doing + " " + path + ": " + std::generic_category().message(errno));
  };

  struct stat info {};
  if (::fstat(fd, &info) != 0) return failed("read");
  const std::string not_ser = path + " is not a SER file";
  uint8_t header[kSerHeaderBytes];
  if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) < kSerHeaderBytes) {
    return repair_result(SerRepairOutcome::NotSer, 0, not_ser);
  }
  if (::pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    return failed("read");
  }
  if (std::memcmp(header, kFileId, kFileIdBytes) != 0) {
    return repair_result(SerRepairOutcome::NotSer, 0, not_ser);
  }
  const auto colour = static_cast<int32_t>(riff::load_u32(header + kColourIdAt));
  const auto width = static_cast<int32_t>(riff::load_u32(header + kWidthAt));
  const auto height = static_cast<int32_t>(riff::load_u32(header + kHeightAt));
  const auto depth = static_cast<int32_t>(riff::load_u32(header + kDepthAt));
  const auto counted = static_cast<int64_t>(riff::load_u32(header + kFrameCountAt));
  // Mono and Bayer frames have one plane, RGB and BGR three; depths past 8
  // bits take two bytes a sample.
  const bool one_plane = colour == 0 || (colour >= 8 && colour <= 19);
  const bool three_planes = colour == 100 || colour == 101;
  if ((!one_plane && !three_planes) || width <= 0 || width > kMaxFrameDimension || height <= 0 ||
      height > kMaxFrameDimension || depth < 1 || depth > 16) {
    return repair_result(SerRepairOutcome::NotSer, 0,
                         path + " is not a SER file whose frame size can be known");
  }
  const uint64_t frame_bytes = uint64_t{static_cast<uint32_t>(width)} *
                               static_cast<uint32_t>(height) * (three_planes ? 3 : 1) *
                               (depth > 8 ? 2 : 1);
  const uint64_t data = static_cast<uint64_t>(info.st_size) - kSerHeaderBytes;
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
  riff::store_u32(count, static_cast<uint32_t>(frames));
  if (::pwrite(fd, count, sizeof count, kFrameCountAt) != static_cast<ssize_t>(sizeof count)) {
    return failed("write to");
  }
  const std::string counted_text = path + ": " + std::to_string(frames) + " frames";
  if (frames == 0) {
    if (::fsync(fd) != 0) return failed("write to");
    return repair_result(SerRepairOutcome::Completed, 0, counted_text);
  }

  bool readable = false;
  const std::map<int64_t, int64_t> starts = read_start_instants(timing_record_path, readable);
  std::vector<uint8_t> trailer(static_cast<std::size_t>(frames) * kTimestampBytes);
  int64_t missing = 0;
  for (int64_t k = 0; k < frames; ++k) {
    const auto found = starts.find(k);
    if (found == starts.end()) {
      ++missing;
      continue;
    }
    riff::store_u64(trailer.data() + k * kTimestampBytes,
                    static_cast<uint64_t>(ticks_since_year_one(found->second)));
  }
  if (missing > 0) {
    if (::fsync(fd) != 0) return failed("write to");
    const std::string why = !readable
                                ? "the timing record " + timing_record_path + " can't be read"
                                : "the timing record " + timing_record_path + " has no start for " +
                                      std::to_string(missing) + " of them";
    return repair_result(SerRepairOutcome::CountOnly, frames,
                         counted_text + ", no timestamps added: " + why);
  }
  const uint64_t trailer_at = kSerHeaderBytes + static_cast<uint64_t>(frames) * frame_bytes;
  std::size_t done = 0;
  while (done < trailer.size()) {
    const ssize_t n = ::pwrite(fd, trailer.data() + done, trailer.size() - done,
                               static_cast<off_t>(trailer_at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return failed("write to");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return failed("write to");
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
