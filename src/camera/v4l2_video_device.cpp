// The V4L2 system calls. Pictures the source takes itself come straight from
// the mapped buffers; for the others libv4lconvert turns each buffer into
// BGR24, from the format asked for or from the one it chooses.
#include <fcntl.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "camera/device_nodes.h"
#include "camera/video_device.h"

namespace noctra {

namespace {

// Enumerations stop here even if a driver never says it has no more.
constexpr uint32_t kMaxEnumerated = 256;

int xioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = ::ioctl(fd, request, arg);
  } while (result == -1 && errno == EINTR);
  return result;
}

// The standards by the names the kernel gives them, for a device that
// names its standards only while one of its TV inputs is chosen.
constexpr std::pair<v4l2_std_id, const char*> kStandardNames[] = {
    {V4L2_STD_NTSC, "NTSC"},           {V4L2_STD_NTSC_M, "NTSC-M"},
    {V4L2_STD_NTSC_M_JP, "NTSC-M-JP"}, {V4L2_STD_NTSC_M_KR, "NTSC-M-KR"},
    {V4L2_STD_NTSC_443, "NTSC-443"},   {V4L2_STD_PAL, "PAL"},
    {V4L2_STD_PAL_BG, "PAL-BG"},       {V4L2_STD_PAL_H, "PAL-H"},
    {V4L2_STD_PAL_I, "PAL-I"},         {V4L2_STD_PAL_DK, "PAL-DK"},
    {V4L2_STD_PAL_M, "PAL-M"},         {V4L2_STD_PAL_N, "PAL-N"},
    {V4L2_STD_PAL_Nc, "PAL-Nc"},       {V4L2_STD_PAL_60, "PAL-60"},
    {V4L2_STD_SECAM, "SECAM"},         {V4L2_STD_SECAM_B, "SECAM-B"},
    {V4L2_STD_SECAM_G, "SECAM-G"},     {V4L2_STD_SECAM_H, "SECAM-H"},
    {V4L2_STD_SECAM_DK, "SECAM-DK"},   {V4L2_STD_SECAM_L, "SECAM-L"},
    {V4L2_STD_SECAM_LC, "SECAM-Lc"},
};

template <std::size_t N>
std::string text_of(const uint8_t (&chars)[N]) {
  const auto* text = reinterpret_cast<const char*>(chars);
  return std::string(text, strnlen(text, N));
}

FrameSize size_of(uint32_t width, uint32_t height) {
  return {static_cast<int32_t>(std::min<uint32_t>(width, INT32_MAX)),
          static_cast<int32_t>(std::min<uint32_t>(height, INT32_MAX))};
}

void add_sizes(int fd, PixelFormatOffer& format) {
  for (uint32_t i = 0; i < kMaxEnumerated; ++i) {
    v4l2_frmsizeenum size{};
    size.index = i;
    size.pixel_format = format.pixel_format;
    if (xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) return;
    if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      format.sizes.push_back(size_of(size.discrete.width, size.discrete.height));
      continue;
    }
    format.smallest = size_of(size.stepwise.min_width, size.stepwise.min_height);
    format.largest = size_of(size.stepwise.max_width, size.stepwise.max_height);
    return;
  }
}

// What the device says it offers; only what it captures itself (the raw
// descriptor lists no converted formats).
DeviceOffer describe_device(int fd) {
  DeviceOffer offer;
  for (uint32_t i = 0; i < kMaxEnumerated; ++i) {
    v4l2_fmtdesc desc{};
    desc.index = i;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_ENUM_FMT, &desc) != 0) break;
    PixelFormatOffer format{desc.pixelformat, text_of(desc.description), {}, {}, {}};
    add_sizes(fd, format);
    offer.formats.push_back(std::move(format));
  }
  for (uint32_t i = 0; i < kMaxEnumerated; ++i) {
    v4l2_input input{};
    input.index = i;
    if (xioctl(fd, VIDIOC_ENUMINPUT, &input) != 0) break;
    offer.inputs.push_back({input.index, text_of(input.name), input.std});
  }
  for (uint32_t i = 0; i < kMaxEnumerated; ++i) {
    v4l2_standard standard{};
    standard.index = i;
    if (xioctl(fd, VIDIOC_ENUMSTD, &standard) != 0) break;
    offer.standards.push_back({standard.id, text_of(standard.name)});
  }
  v4l2_std_id taken = 0;
  for (const InputOffer& input : offer.inputs) taken |= input.standards;
  if (offer.standards.empty()) {
    for (const auto& [id, name] : kStandardNames) {
      if ((id & taken) == id) offer.standards.push_back({id, name});
    }
  }
  int input = 0;
  if (xioctl(fd, VIDIOC_G_INPUT, &input) == 0 && input >= 0) {
    offer.input = static_cast<uint32_t>(input);
  }
  v4l2_std_id standard = 0;
  if (xioctl(fd, VIDIOC_G_STD, &standard) == 0) offer.standard = standard;
  v4l2_format current{};
  current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(fd, VIDIOC_G_FMT, &current) == 0) {
    offer.size = size_of(current.fmt.pix.width, current.fmt.pix.height);
  }
  return offer;
}

uint32_t capabilities(int fd, std::string* card) {
  v4l2_capability caps{};
  if (xioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) return 0;
  if (card != nullptr) *card = text_of(caps.card);
  return (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
}

bool can_stream_video(uint32_t caps) {
  return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

class SystemVideoDevice : public VideoDevice {
 public:
  ~SystemVideoDevice() override { close(); }

  Status open(const std::string& path) override {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return system_failure();
    errno = 0;
    const uint32_t caps = capabilities(fd_, nullptr);
    if (!can_stream_video(caps)) {
      const Failure reason =
          errno != 0 ? system_failure() : failure("not a streaming video capture device");
      close();
      return reason;
    }
    return {};
  }

  void close() override {
    if (fd_ < 0) return;
    if (streaming_) {
      v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      xioctl(fd_, VIDIOC_STREAMOFF, &type);
      streaming_ = false;
    }
    for (auto& m : maps_) ::munmap(m.start, m.length);
    maps_.clear();
    stop_converting();
    ::close(fd_);
    fd_ = -1;
  }

  Result<DeviceOffer> describe() override { return describe_device(fd_); }

  Status set_input(uint32_t index) override {
    int input = static_cast<int>(index);
    if (xioctl(fd_, VIDIOC_S_INPUT, &input) != 0) return system_failure();
    return {};
  }

  Status set_standard(uint64_t id) override {
    v4l2_std_id standard = id;
    if (xioctl(fd_, VIDIOC_S_STD, &standard) != 0) return system_failure();
    return {};
  }

  Status set_format(VideoFormat& format, Conversion conversion) override {
    stop_converting();
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = static_cast<uint32_t>(std::max(format.width, 0));
    f.fmt.pix.height = static_cast<uint32_t>(std::max(format.height, 0));
    f.fmt.pix.pixelformat = format.pixel_format;
    f.fmt.pix.field = static_cast<uint32_t>(format.field);
    if (conversion == Conversion::ToBgr24) {
      if (Status chosen = choose_converted(f); !chosen) return chosen;
    }
    if (xioctl(fd_, VIDIOC_S_FMT, &f) != 0) return system_failure();
    format.width = size_of(f.fmt.pix.width, f.fmt.pix.height).width;
    format.height = size_of(f.fmt.pix.width, f.fmt.pix.height).height;
    format.pixel_format = f.fmt.pix.pixelformat;
    format.bytes_per_line = f.fmt.pix.bytesperline;
    format.size_image = f.fmt.pix.sizeimage;
    format.field = static_cast<FieldOrder>(f.fmt.pix.field);
    format.captured_format = 0;
    if (converter_ != nullptr) {
      // The pictures are handed over converted, in lines of 3 bytes a pixel.
      source_format_ = f;
      target_format_ = f;
      target_format_.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
      target_format_.fmt.pix.bytesperline = 3 * f.fmt.pix.width;
      target_format_.fmt.pix.sizeimage = 3 * f.fmt.pix.width * f.fmt.pix.height;
      converted_.assign(target_format_.fmt.pix.sizeimage, 0);
      format.captured_format = format.pixel_format;
      format.pixel_format = kPixelFormatBgr24;
      format.bytes_per_line = target_format_.fmt.pix.bytesperline;
      format.size_image = target_format_.fmt.pix.sizeimage;
    }
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_G_PARM, &parm) == 0) {
      const auto& tpf = parm.parm.capture.timeperframe;
      if (tpf.denominator != 0 && tpf.numerator != 0) {
        format.frame_period_ms = static_cast<int32_t>(
            std::clamp<uint64_t>(uint64_t{1000} * tpf.numerator / tpf.denominator, 1, 10000));
      }
    }
    return {};
  }

  Status start_streaming(int buffer_count) override {
    v4l2_requestbuffers request{};
    request.count = static_cast<uint32_t>(buffer_count);
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_REQBUFS, &request) != 0) return system_failure();
    if (request.count < 2) return failure("the device gave too few buffers");
    for (uint32_t i = 0; i < request.count; ++i) {
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      buffer.index = i;
      if (xioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) return system_failure();
      void* start =
          ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buffer.m.offset);
      if (start == MAP_FAILED) return system_failure();
      maps_.push_back({start, buffer.length});
      if (xioctl(fd_, VIDIOC_QBUF, &buffer) != 0) return system_failure();
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_STREAMON, &type) != 0) return system_failure();
    streaming_ = true;
    return {};
  }

  bool wait_until_ready(int timeout_ms) override {
    if (fd_ < 0) return true;
    pollfd ready{fd_, POLLIN, 0};
    int result;
    do {
      result = ::poll(&ready, 1, timeout_ms);
    } while (result == -1 && errno == EINTR);
    return result != 0;
  }

  Result<std::optional<CapturedBuffer>> dequeue() override {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) {
      if (errno == EAGAIN) return std::optional<CapturedBuffer>();
      const std::string reason = std::strerror(errno);
      if (errno == ENODEV || errno == EIO || errno == ENXIO) {
        return failure("the device has gone away (" + reason + ")");
      }
      return failure("capture failed: " + reason);
    }
    if (buffer.index >= maps_.size()) {
      return failure("capture failed: the device returned an unknown buffer");
    }
    const auto& map = maps_[buffer.index];
    CapturedBuffer out;
    out.index = static_cast<int>(buffer.index);
    // Only monotonic stamps compare with now_us(); for the others the moment
    // the buffer was taken has to do.
    if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC) {
      out.timestamp_us = int64_t{buffer.timestamp.tv_sec} * 1000000 + buffer.timestamp.tv_usec;
      out.stamped_at_frame_end =
          (buffer.flags & V4L2_BUF_FLAG_TSTAMP_SRC_MASK) == V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
    } else {
      out.timestamp_us = now_us();
    }
    out.field = static_cast<FieldOrder>(buffer.field);
    out.sequence = buffer.sequence;
    out.bytes = {static_cast<const uint8_t*>(map.start),
                 std::min<std::size_t>(buffer.bytesused, map.length)};
    if (converter_ != nullptr) convert(out);
    return std::optional<CapturedBuffer>(std::move(out));
  }

  Status requeue(int index) override {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = static_cast<uint32_t>(index);
    if (xioctl(fd_, VIDIOC_QBUF, &buffer) != 0) return system_failure();
    return {};
  }

  int64_t now_us() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
  }

 private:
  struct Map {
    void* start;
    std::size_t length;
  };
  static Failure system_failure() { return failure(std::strerror(errno)); }

  // Sets up libv4lconvert and, where no format was named, lets it choose
  // the one the device is to capture in.
  Status choose_converted(v4l2_format& device_format) {
    converter_ = v4lconvert_create(fd_);
    if (converter_ == nullptr) return failure("libv4lconvert cannot work with the device");
    v4l2_format target = device_format;
    target.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    v4l2_format chosen{};
    if (v4lconvert_try_format(converter_, &target, &chosen) != 0 ||
        target.fmt.pix.pixelformat != V4L2_PIX_FMT_BGR24) {
      return failure("libv4lconvert cannot make 24-bit BGR pictures from the device's");
    }
    if (device_format.fmt.pix.pixelformat == 0) {
      device_format = chosen;
    }
    return {};
  }

  void convert(CapturedBuffer& buffer) {
    const int written = v4lconvert_convert(converter_, &source_format_, &target_format_,
                                           const_cast<uint8_t*>(buffer.bytes.data()),
                                           static_cast<int>(buffer.bytes.size()), converted_.data(),
                                           static_cast<int>(converted_.size()));
    if (written < 0) {
      buffer.problem = std::string("libv4lconvert: ") + v4lconvert_get_error_message(converter_);
      buffer.bytes = {};
      return;
    }
    buffer.bytes = {converted_.data(), static_cast<std::size_t>(written)};
  }

  void stop_converting() {
    if (converter_ != nullptr) v4lconvert_destroy(converter_);
    converter_ = nullptr;
  }

  int fd_ = -1;
  bool streaming_ = false;
  std::vector<Map> maps_;
  v4lconvert_data* converter_ = nullptr;
  v4l2_format source_format_{};
  v4l2_format target_format_{};
  std::vector<uint8_t> converted_;
};

}  // namespace

std::unique_ptr<VideoDevice> make_system_video_device() {
  return std::make_unique<SystemVideoDevice>();
}

bool v4l2_support_built() { return true; }

std::vector<CaptureDeviceInfo> list_capture_devices() {
  std::vector<CaptureDeviceInfo> found;
  for (const auto& path : device_nodes("video")) {
    // Listing must not start a stream or change the device's settings.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    CaptureDeviceInfo info;
    info.path = path;
    const uint32_t caps = capabilities(fd, &info.card);
    if (caps != 0) {
      info.can_capture = can_stream_video(caps);
      if (info.can_capture) info.offer = describe_device(fd);
      found.push_back(std::move(info));
    }
    ::close(fd);
  }
  return found;
}

}  // namespace noctra
