// Delivered images of any shape through acquire_frame: whatever the frame
// source hands over, the copy must read only the delivered block, refuse what
// it cannot copy safely (leaving the holder empty), and otherwise hold a
// frame whose header, rows and trailing bytes match the block.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "camera/acquisition.h"
#include "camera/camera_port.h"
#include "camera/still_window.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
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
