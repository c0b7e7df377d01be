#include "output/recorded_frames.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "output/checked_write.h"
#include "output/recording_reader.h"

namespace noctra {

RecordedFrames::RecordedFrames(std::string path) : path_(std::move(path)) {
  for (std::size_t k = 0; k < 256; ++k) {
    palette_[4 * k] = palette_[4 * k + 1] = palette_[4 * k + 2] = static_cast<uint8_t>(k);
  }
}

bool RecordedFrames::open_file(std::string& error) {
  WriterIo& io = posix_writer_io();
  fd_ = UniqueFd(io.open_file(path_.c_str(), false), io);
  if (!fd_) {
    error = "Can't open " + path_ + ": " + std::generic_category().message(errno);
    return false;
  }
  const int64_t size = io.file_size(fd_.get());
  if (size < 0) {
    error =
        "Can't read " + path_ + ": " + (errno == EISDIR ? "it is a folder" : "it is not a file");
    return false;
  }
  file_size_ = static_cast<uint64_t>(size);
  return true;
}

void RecordedFrames::set_palette(const uint8_t* table, std::size_t entries) {
  std::memcpy(palette_.data(), table, 4 * std::min<std::size_t>(entries, 256));
}

bool RecordedFrames::read_at(uint64_t offset, uint8_t* into, std::size_t bytes,
                             std::string& error) {
  if (offset > file_size_ || bytes > file_size_ - offset) {
    error = path_ + " is cut short";
    return false;
  }
  if (read_fully(posix_writer_io(), fd_.get(), into, bytes, offset)) return true;
  error = "Can't read " + path_ + ": " +
          (errno != 0 ? std::generic_category().message(errno) : "it is cut short");
  return false;
}

std::optional<FrameImage> RecordedFrames::read_frame(std::size_t index, std::string& error) {
  if (index >= frame_count_) {
    error = path_ + " has no frame " + std::to_string(index);
    return std::nullopt;
  }
  std::optional<FrameImage> frame = FrameImage::create(width_, height_);
  if (!frame) {
    error = path_ + ": the frame size " + std::to_string(width_) + " x " + std::to_string(height_) +
            " is too large";
    return std::nullopt;
  }
  const StoredFrame stored = stored_frame(index);
  const auto height = static_cast<std::size_t>(height_);
  const std::size_t packed =
      static_cast<std::size_t>(width_) * (samples_ == Samples::Indexed ? 1 : 3);
  const std::size_t padded = (packed + 3) / 4 * 4;
  std::size_t stride;
  if (stored.bytes >= padded * height) {
    stride = padded;
  } else if (stored.bytes >= packed * height) {
    stride = packed;
  } else {
    error = path_ + ": frame " + std::to_string(index) + " holds " + std::to_string(stored.bytes) +
            " bytes, fewer than its picture needs (" + std::to_string(padded * height) + ")";
    return std::nullopt;
  }
  // Rows the frame keeps as they are stored are read straight into it.
  const bool direct = samples_ == Samples::Bgr && !top_down_ && stride == frame->stride();
  uint8_t* into = frame->pixels();
  if (!direct) {
    scratch_.resize(stride * height);
    into = scratch_.data();
  }
  if (!read_at(stored.offset, into, stride * height, error)) return std::nullopt;
  if (!direct) {
    for (int32_t q = 0; q < height_; ++q) {
      unpack_row(scratch_.data() + static_cast<std::size_t>(q) * stride,
                 frame->row(top_down_ ? height_ - 1 - q : q));
    }
  }
  return frame;
}

void RecordedFrames::unpack_row(const uint8_t* from, uint8_t* to) const {
  switch (samples_) {
    case Samples::Bgr:
      std::memcpy(to, from, static_cast<std::size_t>(width_) * 3);
      break;
    case Samples::Rgb:
      for (int32_t c = 0; c < width_; ++c) {
        to[3 * c] = from[3 * c + 2];
        to[3 * c + 1] = from[3 * c + 1];
        to[3 * c + 2] = from[3 * c];
      }
      break;
    case Samples::Indexed:
      for (int32_t c = 0; c < width_; ++c) std::memcpy(to + 3 * c, &palette_[4 * from[c]], 3);
      break;
  }
}

namespace {

class FramesReader final : public RecordingReader {
 public:
  explicit FramesReader(std::unique_ptr<RecordedFrames> frames) : frames_(std::move(frames)) {}
  std::size_t count() const override { return frames_->frame_count(); }
  Status read_frame(std::size_t index, RecordedFrame& out) override {
    std::string error;
    out.timing = {};
    out.image = frames_->read_frame(index, error);
    if (!out.image) return failure(error);
    return {};
  }

 private:
  std::unique_ptr<RecordedFrames> frames_;
};

}  // namespace

std::unique_ptr<RecordingReader> recording_reader_of(std::unique_ptr<RecordedFrames> frames) {
  return std::make_unique<FramesReader>(std::move(frames));
}

}  // namespace noctra
