// The V4L2 system calls, through libv4l2 so that libv4lconvert turns YUYV or
// MJPEG into BGR24 for devices that cannot deliver it themselves.
#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "camera/device_nodes.h"
#include "camera/video_device.h"

namespace noctra {

namespace {

int xioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = v4l2_ioctl(fd, request, arg);
  } while (result == -1 && errno == EINTR);
  return result;
}

class SystemVideoDevice : public VideoDevice {
 public:
  ~SystemVideoDevice() override { close(); }

  Status open(const std::string& path) override {
    close();
    fd_ = v4l2_open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return system_failure();
    v4l2_capability caps{};
    if (xioctl(fd_, VIDIOC_QUERYCAP, &caps) != 0) return fail_and_close();
    const uint32_t c =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    if (!(c & V4L2_CAP_VIDEO_CAPTURE) || !(c & V4L2_CAP_STREAMING)) {
      close();
      return failure("not a streaming video capture device");
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
    for (auto& m : maps_) v4l2_munmap(m.start, m.length);
    maps_.clear();
    v4l2_close(fd_);
    fd_ = -1;
  }

  Status set_format(VideoFormat& format) override {
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = static_cast<uint32_t>(format.width);
    f.fmt.pix.height = static_cast<uint32_t>(format.height);
    f.fmt.pix.pixelformat = format.pixel_format;
    f.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(fd_, VIDIOC_S_FMT, &f) != 0) return system_failure();
    format.width = static_cast<int32_t>(std::min<uint32_t>(f.fmt.pix.width, INT32_MAX));
    format.height = static_cast<int32_t>(std::min<uint32_t>(f.fmt.pix.height, INT32_MAX));
    format.pixel_format = f.fmt.pix.pixelformat;
    format.bytes_per_line = f.fmt.pix.bytesperline;
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
      void* start = v4l2_mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                              buffer.m.offset);
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
    out.bytes = {static_cast<const uint8_t*>(map.start),
                 std::min<std::size_t>(buffer.bytesused, map.length)};
    return std::optional<CapturedBuffer>(out);
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
  Failure fail_and_close() {
    Failure reason = system_failure();
    close();
    return reason;
  }

  int fd_ = -1;
  bool streaming_ = false;
  std::vector<Map> maps_;
};

}  // namespace

std::unique_ptr<VideoDevice> make_system_video_device() {
  return std::make_unique<SystemVideoDevice>();
}

bool v4l2_support_built() { return true; }

std::vector<CaptureDeviceInfo> list_capture_devices() {
  std::vector<CaptureDeviceInfo> found;
  for (const auto& path : device_nodes("video")) {
    // Plain open: listing needs no conversion and must not start a stream.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    v4l2_capability caps{};
    if (ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0) {
      const uint32_t c =
          (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
      const auto* card = reinterpret_cast<const char*>(caps.card);
      found.push_back({path, std::string(card, strnlen(card, sizeof caps.card)),
                       (c & V4L2_CAP_VIDEO_CAPTURE) && (c & V4L2_CAP_STREAMING)});
    }
    ::close(fd);
  }
  return found;
}

}  // namespace noctra
