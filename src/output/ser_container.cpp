#include "output/ser_container.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "output/checked_write.h"
#include "output/riff.h"
#include "output/unique_fd.h"

namespace noctra {

using namespace ser_layout;

namespace {

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
    UniqueFd fd(io_.create_file(path.c_str()), io_);
    if (!fd) return ContainerStatus::open_failed(errno);

    uint8_t header[kSerHeaderBytes] = {};
    std::memcpy(header, kFileId, kFileIdBytes);
    // LuID (14) stays 0; LittleEndian (22) stays 0, which is what readers
    // take to mean little-endian data.
    riff::store_u32(header + kColourIdAt,
                    static_cast<uint32_t>(info.mono ? kSerColourMono : kSerColourBgr));
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
    if (!write_fully(io_, fd.get(), std::span(&whole, 1), 0)) {
      const int error = errno;
      fd.close();
      io_.remove_file(path.c_str());
      return ContainerStatus::open_failed(error);
    }

    fd_ = std::move(fd);
    width_ = first.width();
    height_ = first.height();
    mono_ = info.mono;
    row_bytes_ = static_cast<std::size_t>(width_) * (mono_ ? 1 : 3);
    frame_bytes_ = uint64_t{row_bytes_} * static_cast<uint64_t>(height_);
    rows_.assign(mono_ ? 1 : static_cast<std::size_t>(height_), {});
    luma_.assign(mono_ ? frame_bytes_ : 0, 0);
    timestamps_.clear();
    all_stamped_ = true;
    return ContainerStatus::success();
  }

  ContainerStatus append(const FrameImage& frame, const FrameTiming& timing,
                         const FrameMetadata&) override {
    if (!fd_) return ContainerStatus::write_failed(EBADF);
    if (ContainerStatus other = refuse_other_size(frame, width_, height_); !other.ok()) {
      return other;
    }
    if (timestamps_.size() >= static_cast<std::size_t>(INT32_MAX)) {
      return ContainerStatus::refused("the file's frame count is full");
    }
    // SER stores the top line first; the frame keeps it last. Colour rows go
    // straight from the frame, without their padding.
    if (mono_) {
      take_luma(frame, luma_.data(), row_bytes_, true);
      rows_[0] = iovec_of(luma_.data(), luma_.size());
    } else {
      for (int32_t r = 0; r < height_; ++r) {
        rows_[static_cast<std::size_t>(r)] = iovec_of(frame.row(height_ - 1 - r), row_bytes_);
      }
    }
    const uint64_t end = data_end();
    if (!write_fully(io_, fd_.get(), rows_, end)) return cut_back(errno, end);
    uint8_t count[4];
    riff::store_u32(count, static_cast<uint32_t>(timestamps_.size() + 1));
    const struct iovec count_part = iovec_of(count, sizeof count);
    if (!write_fully(io_, fd_.get(), std::span(&count_part, 1), kFrameCountAt)) {
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
    if (fd_ && io_.fdatasync(fd_.get()) != 0) return ContainerStatus::write_failed(errno);
    return ContainerStatus::success();
  }

  ContainerStatus close(bool sync) override {
    if (!fd_) return ContainerStatus::success();
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
      if (!write_fully(io_, fd_.get(), std::span(&whole, 1), data_end())) {
        status = ContainerStatus::write_failed(errno);
        io_.ftruncate(fd_.get(), static_cast<off_t>(data_end()));
      }
    }
    if (sync && io_.fdatasync(fd_.get()) != 0 && status.ok()) {
      status = ContainerStatus::write_failed(errno);
    }
    if (const int error = fd_.close(); error != 0 && status.ok()) {
      status = ContainerStatus::write_failed(error);
    }
    return status;
  }

 private:
  uint64_t data_end() const { return kSerHeaderBytes + frame_bytes_ * timestamps_.size(); }

  ContainerStatus cut_back(int error, uint64_t end) {
    io_.ftruncate(fd_.get(), static_cast<off_t>(end));
    // The count may already name the frame that was cut off.
    uint8_t count[4];
    riff::store_u32(count, static_cast<uint32_t>(timestamps_.size()));
    const struct iovec count_part = iovec_of(count, sizeof count);
    write_fully(io_, fd_.get(), std::span(&count_part, 1), kFrameCountAt);
    return ContainerStatus::write_failed(error);
  }

  WriterIo& io_;
  UniqueFd fd_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  bool mono_ = false;
  std::size_t row_bytes_ = 0;
  uint64_t frame_bytes_ = 0;
  std::vector<struct iovec> rows_;
  std::vector<uint8_t> luma_;        // a mono frame's rows
  std::vector<int64_t> timestamps_;  // one per whole frame
  bool all_stamped_ = true;
};

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

}  // namespace noctra
