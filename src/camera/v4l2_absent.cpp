// Built when libv4l2 was not found: v4l2 sources name an unavailable back end.
#include "camera/video_device.h"

namespace noctra {

namespace {

class AbsentVideoDevice : public VideoDevice {
 public:
  Status open(const std::string&) override {
    return failure("this Noctra was built without libv4l2");
  }
  bool wait_until_ready(int) override { return true; }
} void close() override {
}
Status set_format(VideoFormat&) override { return failure("no libv4l2"); }
Status start_streaming(int) override { return failure("no libv4l2"); }
Result<std::optional<CapturedBuffer>> dequeue() override {
  return failure("capture failed: no libv4l2");
}
Status requeue(int) override { return failure("no libv4l2"); }
int64_t now_us() override { return 0; }
};

}  // namespace

std::unique_ptr<VideoDevice> make_system_video_device() {
  return std::make_unique<AbsentVideoDevice>();
}
std::vector<CaptureDeviceInfo> list_capture_devices() { return {}; }
bool v4l2_support_built() { return false; }

}  // namespace noctra
