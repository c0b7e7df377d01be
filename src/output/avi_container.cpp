// The AVI writer's layout behind the container interface. The writer keeps
// its own messages ("Can't open AVI file ...", "Can't create AVI stream",
// ...), word for word; the container hands them to the recording, which
// decides when to show them.

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include "output/avi_writer.h"
#include "output/container.h"

namespace noctra {

namespace {

// Keeps the writer's messages for the container's answer instead of showing them.
class KeptMessages final : public ErrorReporter {
 public:
  void show_error(const std::string& text) override {
    if (message.empty()) message = text;
  }
  std::string take() { return std::exchange(message, {}); }
  std::string message;
};

AviLimits container_limits() {
  AviLimits limits;
  // The recording flushes on its own helper thread; the writer itself then
  // only puts the finished file on the disk when it closes.
  limits.flush_interval_ms = std::numeric_limits<int64_t>::max();
  limits.flush_in_background = false;
  return limits;
}

class AviContainer final : public RecordingContainer {
 public:
  explicit AviContainer(WriterIo& io)
      : writer_(settings_, messages_, nullptr, io, container_limits()) {}

  ContainerStatus open(const std::string& path, const FrameImage& first, const FrameTiming&,
                       const RecordingInfo&) override {
    writer_.avi_close();
    messages_.take();
    settings_.image_file_path = path;
    if (writer_.avi_open(first)) return ContainerStatus::success();
    ContainerStatus status = ContainerStatus::open_failed(0);
    status.message = messages_.take();
    return status;
  }

  ContainerStatus append(const FrameImage& frame, const FrameTiming&,
                         const FrameMetadata&) override {
    const int32_t before = writer_.next_frame_index();
    if (before < 0) return ContainerStatus::write_failed(EBADF);
    writer_.avi_write_frame(&frame);
    std::string message = messages_.take();
    if (writer_.next_frame_index() > before) return ContainerStatus::success();
    // The writer says each kind of failure once a recording; a frame lost
    // without a word is a write failure it has already told.
    ContainerStatus status = ContainerStatus::write_failed(EIO);
    if (message.rfind("Frame not written", 0) == 0) status = ContainerStatus::refused({});
    status.message = std::move(message);
    return status;
  }

  int64_t frames() const override { return std::max<int32_t>(writer_.next_frame_index(), 0); }

  ContainerStatus flush() override {
    if (const int error = writer_.avi_flush(); error != 0) {
      return ContainerStatus::write_failed(error);
    }
    return ContainerStatus::success();
  }

  ContainerStatus close() override {
    writer_.avi_close();
    std::string message = messages_.take();
    if (message.empty()) return ContainerStatus::success();
    ContainerStatus status = ContainerStatus::write_failed(EIO);
    status.message = std::move(message);
    return status;
  }

 private:
  Settings settings_;
  KeptMessages messages_;
  AviWriter writer_;
};

}  // namespace

std::unique_ptr<RecordingContainer> make_avi_container(WriterIo& io) {
  return std::make_unique<AviContainer>(io);
}

}  // namespace noctra
