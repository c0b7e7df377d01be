// Built when libv4lconvert was not found: v4l2 sources name an unavailable
// back end.
#include "camera/video_device.h"

namespace noctra {

namespace {

Failure absent() { return failure("this Noctra was built without libv4lconvert"); }

class AbsentVideoDevice : public VideoDevice {
 public:
  Status open(const std::string&) override { return absent(); }
  void close() override {}
  Result<DeviceOffer> describe() override { return absent(); }
  Status set_input(uint32_t) override { return absent(); }
  Status set_standard(uint64_t) override { return absent(); }
  Status set_format(VideoFormat&, Conversion) override { return absent(); }
  Status start_streaming(int) override { return absent(); }
  bool wait_until_ready(int) override { return true; }
  Result<std::optional<CapturedBuffer>> dequeue() override { return absent(); }
  Status requeue(int) override { return absent(); }
  int64_t now_us() override { return 0; }
};

}  // namespace

std::unique_ptr<VideoDevice> make_system_video_device() {
  return std::make_unique<AbsentVideoDevice>();
}
std::vector<CaptureDeviceInfo> list_capture_devices() { return {}; }
bool v4l2_support_built() { return false; }

}  // namespace noctra
