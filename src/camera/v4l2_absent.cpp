// Built when libv4l2 was not found: v4l2 sources name an unavailable back end.
#include "camera/video_device.h"

namespace noctra {

namespace {

class AbsentVideoDevice : public VideoDevice {
 public:
  std::string open(const std::string&) override { return "this Noctra was built without libv4l2"; }
  void close() override {}
  std::string set_format(VideoFormat&) override { return "no libv4l2"; }
  std::string start_streaming(int) override { return "no libv4l2"; }
  bool wait_until_ready(int) override { return true; }
  DequeueResult dequeue(CapturedBuffer&, std::string& error) override {
    error = "no libv4l2";
    return DequeueResult::Failed;
  }
  std::string requeue(int) override { return "no libv4l2"; }
  int64_t now_us() override { return 0; }
};

}  // namespace

std::unique_ptr<VideoDevice> make_system_video_device() { return std::make_unique<AbsentVideoDevice>(); }
std::vector<CaptureDeviceInfo> list_capture_devices() { return {}; }
bool v4l2_support_built() { return false; }

}  // namespace noctra
