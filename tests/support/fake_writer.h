#pragma once
// A frame writer that counts what reaches it and keeps each frame's first byte.

#include <cstdint>
#include <functional>
#include <vector>

#include "output/frame_writer.h"

namespace noctra::test {

class FakeWriter : public FrameWriter {
 public:
  int writes = 0;   // frames written
  int missing = 0;  // writes without a frame
  int closes = 0;
  std::vector<uint8_t> first_bytes;
  std::vector<FrameTiming> timings;  // of the frames written
  std::vector<FrameMetadata> hows;
  std::function<void()> on_write;

  void write_frame(const FrameImage* frame, const FrameTiming& timing,
                   const FrameMetadata& how) override {
    if (frame == nullptr) {
      ++missing;
    } else {
      ++writes;
      first_bytes.push_back(frame->row(0)[0]);
      timings.push_back(timing);
      hows.push_back(how);
    }
    if (on_write) on_write();
  }
  void close_recording() override { ++closes; }
};

}  // namespace noctra::test
