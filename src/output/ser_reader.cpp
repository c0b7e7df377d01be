#include "output/ser_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "imaging/little_endian.h"
#include "output/ser_container.h"

namespace noctra {

using namespace ser_layout;

namespace {

constexpr int32_t kSerColourMono = 0;
constexpr int32_t kSerColourRgb = 100;

std::string system_message(int error) { return std::generic_category().message(error); }

// Reads exactly `bytes` at `offset`; false (with errno, or 0 at the end of
// the file) when it cannot.
bool read_at(int fd, uint8_t* into, std::size_t bytes, uint64_t offset) {
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t got = ::pread(fd, into + done, bytes - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = 0;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

SerReader::SerReader(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

SerReader::SerReader(SerReader&& other) noexcept { *this = std::move(other); }

SerReader& SerReader::operator=(SerReader&& other) noexcept {
  if (this != &other) {
    close_file();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    width_ = other.width_;
    height_ = other.height_;
    colour_ = other.colour_;
    planes_ = other.planes_;
    frame_bytes_ = other.frame_bytes_;
    frame_count_ = other.frame_count_;
    truncated_ = other.truncated_;
    scratch_ = std::move(other.scratch_);
  }
  return *this;
}

SerReader::~SerReader() { close_file(); }

void SerReader::close_file() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::optional<SerReader> SerReader::open(const std::string& path, std::string& error) {
  error.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "Can't open " + path + ": " + system_message(errno);
    return std::nullopt;
  }
  SerReader reader(fd, path);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "Can't read " + path + ": it is not a file";
    return std::nullopt;
  }
  const auto file_size = static_cast<uint64_t>(info.st_size);
  uint8_t header[kSerHeaderBytes];
  if (file_size < kSerHeaderBytes || !read_at(fd, header, sizeof header, 0)) {
    error = path + " is not a SER file: it is shorter than a SER header";
    return std::nullopt;
  }
  if (std::memcmp(header, kFileId, kFileIdBytes) != 0) {
    error = path + " is not a SER file";
    return std::nullopt;
  }
  const auto colour = static_cast<int32_t>(load_u32(header + kColourIdAt));
  const auto width = static_cast<int32_t>(load_u32(header + kWidthAt));
  const auto height = static_cast<int32_t>(load_u32(header + kHeightAt));
  const auto depth = static_cast<int32_t>(load_u32(header + kDepthAt));
  const uint32_t counted = load_u32(header + kFrameCountAt);
  if (colour != kSerColourBgr && colour != kSerColourRgb && colour != kSerColourMono) {
    error = path + ": SER colour " + std::to_string(colour) +
            " is not supported (only BGR, RGB and monochrome)";
    return std::nullopt;
  }
  // Depths 1 to 8 all store one byte per sample.
  if (depth < 1 || depth > 8) {
    error =
        path + ": SER samples of " + std::to_string(depth) + " bits are not supported (only 8-bit)";
    return std::nullopt;
  }
  if (width <= 0 || height <= 0 || width > kMaxFrameDimension || height > kMaxFrameDimension) {
    error = path + ": the SER frame size " + std::to_string(width) + " x " +
            std::to_string(height) + " is not usable";
    return std::nullopt;
  }
  reader.width_ = width;
  reader.height_ = height;
  reader.colour_ = colour;
  reader.planes_ = colour == kSerColourMono ? 1 : 3;
  reader.frame_bytes_ =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * reader.planes_;
  const uint64_t whole = (file_size - kSerHeaderBytes) / reader.frame_bytes_;
  reader.frame_count_ = static_cast<std::size_t>(std::min<uint64_t>(counted, whole));
  reader.truncated_ = counted > whole;
  return reader;
}

std::optional<FrameImage> SerReader::read_frame(std::size_t index, std::string& error) {
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
  scratch_.resize(frame_bytes_);
  const uint64_t offset = kSerHeaderBytes + uint64_t{frame_bytes_} * index;
  if (!read_at(fd_, scratch_.data(), frame_bytes_, offset)) {
    error = "Can't read " + path_ + ": " + (errno != 0 ? system_message(errno) : "it is cut short");
    return std::nullopt;
  }
  const std::size_t line = static_cast<std::size_t>(width_) * planes_;
  for (int32_t r = 0; r < height_; ++r) {
    const uint8_t* from = scratch_.data() + static_cast<std::size_t>(r) * line;
    uint8_t* to = frame->row(height_ - 1 - r);
    if (colour_ == kSerColourBgr) {
      std::memcpy(to, from, line);
    } else if (colour_ == kSerColourRgb) {
      for (int32_t c = 0; c < width_; ++c) {
        to[3 * c] = from[3 * c + 2];
        to[3 * c + 1] = from[3 * c + 1];
        to[3 * c + 2] = from[3 * c];
      }
    } else {
      for (int32_t c = 0; c < width_; ++c) to[3 * c] = to[3 * c + 1] = to[3 * c + 2] = from[c];
    }
  }
  return frame;
}

}  // namespace noctra
