// Delivered images of any shape through acquire_frame: whatever the frame
// source hands over, the copy must read only the delivered block, refuse what
// it cannot copy safely (leaving the holder empty), and otherwise hold a
// frame whose header, rows and trailing bytes match the block.
//
// And capture devices of any shape through the V4L2 source: formats, sizes,
// line lengths and field orders as the device answers them, buffers of any
// length with any field flag. The source reads only inside each buffer,
// delivers whole frames of the size it announced, and a woven or progressive
// picture's luma or colour lands byte for byte where it belongs.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <vector>

#include "camera/acquisition.h"
#include "camera/camera_port.h"
#include "camera/still_window.h"
#include "camera/v4l2_pictures.h"
#include "camera/v4l2_source.h"
#include "imaging/frame_image.h"

namespace {

// Hands out the block, in a buffer of exactly its size, so that the
// address sanitizer catches any read past its end.
class FuzzedSource : public noctra::FrameSource {
 public:
  explicit FuzzedSource(std::optional<std::vector<uint8_t>> block) : block_(std::move(block)) {}
  bool available() override { return true; }
  std::optional<std::vector<uint8_t>> acquire() override { return block_; }
  std::string name() const override { return "fuzz"; }

 private:
  std::optional<std::vector<uint8_t>> block_;
};

// Raw bytes reach the header checks; a mostly plausible header with a block
// of any length reaches the copy itself.
std::optional<std::vector<uint8_t>> make_block(FuzzedDataProvider& in) {
  const uint8_t mode = in.ConsumeIntegral<uint8_t>();
  if (mode == 0) return std::nullopt;
  if (mode < 64) return in.ConsumeRemainingBytes<uint8_t>();
  noctra::BitmapInfoHeader h;
  h.width = in.ConsumeIntegralInRange<int32_t>(-2, 300);
  h.height = in.ConsumeIntegralInRange<int32_t>(-2, 300);
  if (mode < 96) {
    h.width = in.ConsumeIntegral<int32_t>();
    h.height = in.ConsumeIntegral<int32_t>();
  }
  h.bit_count = mode < 128 ? in.ConsumeIntegral<uint16_t>() : 24;
  h.clr_used = mode < 160 ? in.ConsumeIntegralInRange<uint32_t>(0, 2) : 0;
  h.size = mode < 176 ? in.ConsumeIntegral<uint32_t>() : 40;
  const auto stride = noctra::row_stride_for(h.width, 24).value_or(0);
  // Absurd geometry gets a small block: the copy must refuse it unread.
  std::size_t rows = stride * static_cast<std::size_t>(std::max(h.height, 0));
  if (stride > (std::size_t{1} << 20) || rows > (std::size_t{1} << 20)) rows = 64;
  // Around the exact size: short by a little, exact, or a little long.
  const std::size_t wanted = noctra::kBitmapHeaderSize + rows + 4;
  const std::size_t slack = in.ConsumeIntegralInRange<std::size_t>(0, 16);
  const std::size_t size = in.ConsumeBool() ? wanted - std::min(slack, wanted) : wanted + slack;
  std::vector<uint8_t> block(std::max(size, noctra::kBitmapHeaderSize));
  noctra::write_bitmap_header(h, block.data());
  for (std::size_t i = noctra::kBitmapHeaderSize; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i * 31);
  block.resize(size);
  return block;
}

// A device that answers with whatever the input says. Each buffer is a
// vector of exactly its length, kept until the run ends, so that the sanitizer
// sees any read past it.
class FuzzedDevice : public noctra::VideoDevice {
 public:
  FuzzedDevice(FuzzedDataProvider& in, noctra::VideoFormat answer) : in_(in), answer_(answer) {}
  noctra::Status open(const std::string&) override { return {}; }
  void close() override {}
  noctra::Result<noctra::DeviceOffer> describe() override {
    noctra::DeviceOffer offer;
    offer.formats = {{answer_.pixel_format, "fuzzed"}};
    return offer;
  }
  noctra::Status set_input(uint32_t) override { return {}; }
  noctra::Status set_standard(uint64_t) override { return {}; }
  noctra::Status set_format(noctra::VideoFormat& format, noctra::Conversion) override {
    format = answer_;
    return {};
  }
  noctra::Status start_streaming(int) override { return {}; }
  // Whether a buffer is ready, as the input says; once the input is used up,
  // dequeue() says the device has gone.
  bool wait_until_ready(int) override { return in_.remaining_bytes() == 0 || in_.ConsumeBool(); }
  noctra::Result<std::optional<noctra::CapturedBuffer>> dequeue() override {
    if (in_.remaining_bytes() == 0) return noctra::failure("the device has gone away");
    static constexpr noctra::FieldOrder kFlags[] = {
        noctra::FieldOrder::Top, noctra::FieldOrder::Bottom, noctra::FieldOrder::Any,
        noctra::FieldOrder::Interlaced, noctra::FieldOrder::None};
    noctra::CapturedBuffer out;
    out.index = ++count_;
    out.timestamp_us = now_us() + 1000;
    out.field = in_.PickValueInArray(kFlags);
    const std::size_t wanted =
        std::size_t{answer_.bytes_per_line} * static_cast<std::size_t>(std::max(answer_.height, 0));
    buffers.push_back(in_.ConsumeBytes<uint8_t>(
        in_.ConsumeBool() ? wanted : in_.ConsumeIntegralInRange<std::size_t>(0, wanted + 8)));
    out.bytes = buffers.back();
    fields.push_back(out.field);
    return std::optional(out);
  }
  noctra::Status requeue(int) override { return {}; }
  int64_t now_us() override { return ++clock_us_ * 1000; }

  std::list<std::vector<uint8_t>> buffers;
  std::vector<noctra::FieldOrder> fields;

 private:
  FuzzedDataProvider& in_;
  noctra::VideoFormat answer_;
  int count_ = 0;
  int64_t clock_us_ = 0;
};

// Presses the capture button at every turn of the loop.
class PressingPump : public noctra::EventPump {
 public:
  PressingPump(noctra::StillWindowRegistry& windows, int32_t& now) : windows_(windows), now_(now) {}
  void run_until(const std::function<bool()>& done) override {
    for (int i = 0; i < 200 && !done(); ++i) {
      now_ += 5;
      if (auto press = windows_.find_capture_button()) (*press)();
    }
  }
  bool quitting() const override { return false; }

 private:
  noctra::StillWindowRegistry& windows_;
  int32_t& now_;
};

class SteppingClock : public noctra::Clock {
 public:
  int32_t now_ms() override { return now; }
  int32_t now = 0;
};

// The reference: one pixel of a picture line, the slow way.
void expected_pixel(const uint8_t* line, uint32_t pixel_format, int32_t x, uint8_t out[3]) {
  switch (pixel_format) {
    case noctra::kPixelFormatBgr24:
      std::memcpy(out, line + 3 * x, 3);
      return;
    case noctra::kPixelFormatRgb24:
      out[0] = line[3 * x + 2], out[1] = line[3 * x + 1], out[2] = line[3 * x];
      return;
    case noctra::kPixelFormatGrey:
      out[0] = out[1] = out[2] = line[x];
      return;
    default:
      out[0] = out[1] = out[2] = line[2 * x + (pixel_format == noctra::kPixelFormatUyvy ? 1 : 0)];
  }
}

int fuzz_source(FuzzedDataProvider& in) {
  static constexpr uint32_t kFormats[] = {noctra::kPixelFormatBgr24, noctra::kPixelFormatRgb24,
                                          noctra::kPixelFormatGrey, noctra::kPixelFormatYuyv,
                                          noctra::kPixelFormatUyvy};
  static constexpr noctra::FieldOrder kOrders[] = {
      noctra::FieldOrder::None,        noctra::FieldOrder::Interlaced,
      noctra::FieldOrder::SeqTopFirst, noctra::FieldOrder::SeqBottomFirst,
      noctra::FieldOrder::Alternate,   noctra::FieldOrder::Top,
      noctra::FieldOrder::Bottom,      noctra::FieldOrder::Any};
  const bool mono = in.ConsumeBool();
  noctra::VideoFormat answer;
  answer.pixel_format = in.PickValueInArray(kFormats);
  answer.width = in.ConsumeIntegralInRange<int32_t>(-1, 80);
  answer.height = in.ConsumeIntegralInRange<int32_t>(-1, 300);
  const std::size_t pixel_bytes = answer.pixel_format == noctra::kPixelFormatGrey ? 1
                                  : answer.pixel_format == noctra::kPixelFormatYuyv ||
                                          answer.pixel_format == noctra::kPixelFormatUyvy
                                      ? 2
                                      : 3;
  answer.bytes_per_line = static_cast<uint32_t>(
      in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 300)
                       : pixel_bytes * static_cast<std::size_t>(std::max(answer.width, 0)) +
                             in.ConsumeIntegralInRange<uint32_t>(0, 8));
  answer.size_image = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, 80000);
  answer.field = in.PickValueInArray(kOrders);

  noctra::StillWindowRegistry windows;
  SteppingClock clock;
  PressingPump pump(windows, clock.now);
  auto owned = std::make_unique<FuzzedDevice>(in, answer);
  FuzzedDevice& device = *owned;
  noctra::V4l2Options options;
  options.mono = [mono] { return mono; };
  noctra::V4l2Source source(
      {"/dev/fuzz"}, std::move(owned), clock, pump, windows, [](const std::string&) {}, options);
  if (!source.open_now()) return 0;
  const noctra::FrameSize size = *source.frame_size();
  const noctra::VideoFormat agreed = *source.format();
  for (int request = 0; request < 3; ++request) {
    const std::size_t buffers_before = device.buffers.size();
    std::optional<std::vector<uint8_t>> dib = source.acquire();
    if (!dib) continue;
    const noctra::BitmapInfoHeader header = noctra::read_bitmap_header(dib->data());
    const std::size_t stride = *noctra::row_stride_for(size.width, 24);
    if (header.width != size.width || header.height != size.height ||
        dib->size() != noctra::kBitmapHeaderSize + stride * static_cast<std::size_t>(size.height) +
                           noctra::kFrameTrailingBytes) {
      std::abort();
    }
    // A picture in one buffer: the last buffer taken, line by line.
    if (noctra::one_field_per_buffer(agreed.field) ||
        agreed.field == noctra::FieldOrder::SeqTopFirst ||
        agreed.field == noctra::FieldOrder::SeqBottomFirst ||
        device.buffers.size() == buffers_before) {
      continue;
    }
    const std::vector<uint8_t>& bytes = device.buffers.back();
    for (int32_t line = 0; line < size.height; ++line) {
      const uint8_t* from = bytes.data() + std::size_t{agreed.bytes_per_line} * line;
      const uint8_t* to = dib->data() + noctra::kBitmapHeaderSize +
                          stride * static_cast<std::size_t>(size.height - 1 - line);
      for (int32_t x = 0; x < size.width; ++x) {
        uint8_t want[3];
        expected_pixel(from, agreed.pixel_format, x, want);
        if (std::memcmp(to + 3 * x, want, 3) != 0) std::abort();
      }
    }
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // An odd first byte: a capture device, from the bytes after it.
  if (size > 0 && (data[0] & 1) != 0) {
    FuzzedDataProvider device_input(data + 1, size - 1);
    return fuzz_source(device_input);
  }
  noctra::SimPortDevice device;
  noctra::CameraPort port(device);
  noctra::StillWindowRegistry windows;
  int log_lines = 0;
  noctra::Acquisition acquisition(port, windows, [&](const std::string&) { ++log_lines; });
  FuzzedDataProvider in(data, size);
  std::optional<std::vector<uint8_t>> block = make_block(in);
  acquisition.set_source(std::make_unique<FuzzedSource>(block));

  noctra::FrameHolder holder = noctra::FrameImage::create(4, 4);
  acquisition.acquire_frame(holder, noctra::TriggerCode::Main);

  if (!holder) {
    // Refused (or nothing delivered): at most one line about it.
    if (log_lines > 1) std::abort();
    return 0;
  }
  if (log_lines != 0) std::abort();
  if (!block) std::abort();
  const noctra::FrameImage& frame = *holder;
  data = block->data();
  size = block->size();
  const std::size_t rows_end = noctra::kBitmapHeaderSize + frame.rows_size();
  if (size < rows_end) std::abort();
  if (std::memcmp(frame.block(), data, rows_end) != 0) std::abort();
  for (std::size_t i = rows_end; i < frame.block_size(); ++i) {
    const uint8_t expected = i < size ? data[i] : 0;
    if (frame.block()[i] != expected) std::abort();
  }
  return 0;
}
