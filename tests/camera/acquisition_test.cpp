#include "camera/acquisition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera_fakes.h"

namespace noctra {
namespace {

using test::LogLines;

std::vector<uint8_t> make_dib(int32_t width, int32_t height, uint16_t bits = 24,
                              uint32_t colours = 0, std::size_t rows_bytes = SIZE_MAX) {
  BitmapInfoHeader h;
  h.width = width;
  h.height = height;
  h.bit_count = bits;
  h.clr_used = colours;
  if (rows_bytes == SIZE_MAX) {
    const auto stride = row_stride_for(width, bits);
    rows_bytes = stride ? *stride * static_cast<std::size_t>(height > 0 ? height : 0) + 4 : 0;
  }
  std::vector<uint8_t> dib(kBitmapHeaderSize + rows_bytes);
  write_bitmap_header(h, dib.data());
  for (std::size_t i = kBitmapHeaderSize; i < dib.size(); ++i) dib[i] = static_cast<uint8_t>(i * 7);
  return dib;
}

TEST(CopyDeliveredImage, GeometryOfTheCopy) {
  struct Case {
    int32_t width, height;
    std::size_t stride, block;
  };
  for (const Case& c : {Case{640, 480, 1920, 44 + 921600}, Case{641, 480, 1924, 44 + 1924 * 480},
                        Case{1, 1, 4, 48}}) {
    const auto dib = make_dib(c.width, c.height);
    const auto frame = copy_delivered_image(dib);
    ASSERT_TRUE(frame.ok()) << c.width;
    EXPECT_EQ(frame->stride(), c.stride);
    EXPECT_EQ(frame->block_size(), c.block);
    EXPECT_EQ(std::memcmp(frame->block(), dib.data(), c.block), 0);
  }
}

TEST(CopyDeliveredImage, TrailingBytesTheBlockLacksAreLeftAlone) {
  for (std::size_t missing = 1; missing <= 4; ++missing) {
    auto dib = make_dib(3, 2);
    dib.resize(dib.size() - missing);
    const auto frame = copy_delivered_image(dib);
    ASSERT_TRUE(frame.ok()) << missing;
    EXPECT_EQ(std::memcmp(frame->block(), dib.data(), dib.size()), 0);
    for (std::size_t i = dib.size(); i < frame->block_size(); ++i) EXPECT_EQ(frame->block()[i], 0);
  }
}

TEST(CopyDeliveredImage, RefusesWhatItCannotCopySafely) {
  struct Case {
    const char* what;
    std::vector<uint8_t> dib;
  };
  auto short_rows = make_dib(640, 480);
  short_rows.resize(short_rows.size() - 5);
  const std::vector<Case> cases = {
      {"shorter than a header", std::vector<uint8_t>(39, 0)},
      {"rows cut short", short_rows},
      {"no rows at all", make_dib(640, 480, 24, 0, 0)},
      {"zero width", make_dib(0, 480)},
      {"negative height", make_dib(640, -480, 24, 0, 1920 * 480 + 4)},
      {"32 bits", make_dib(640, 480, 32)},
      {"8 bits with a palette", make_dib(640, 480, 8, 256)},
      {"colour table on 24 bits", make_dib(640, 480, 24, 1)},
      {"geometry that overflows", make_dib(0x7FFFFFFF, 0x7FFFFFFF, 24, 0, 64)},
      {"rows beyond any sane size", make_dib(16384, 16384, 24, 0, 64)},
  };
  for (const auto& c : cases) {
    const Result<FrameImage> refused = copy_delivered_image(c.dib);
    EXPECT_FALSE(refused.ok()) << c.what;
    EXPECT_FALSE(refused.message().empty()) << c.what;
  }
}

// Records the calls the acquisition makes and hands out a prepared block.
class ScriptedSource : public FrameSource {
 public:
  explicit ScriptedSource(std::vector<std::string>& calls) : calls_(calls) {}
  bool available() override {
    calls_.push_back("available");
    return is_available;
  }
  std::optional<std::vector<uint8_t>> acquire() override {
    calls_.push_back("acquire");
    if (during_acquire) during_acquire();
    return next;
  }
  std::string name() const override { return "scripted"; }

  bool is_available = true;
  std::optional<std::vector<uint8_t>> next;
  std::function<void()> during_acquire;

 private:
  std::vector<std::string>& calls_;
};

struct AcquisitionRig {
  SimPortDevice device{0xC0};
  CameraPort port{device};
  StillWindowRegistry windows;
  LogLines log;
  std::vector<std::string> calls;
  Acquisition acquisition{port, windows, log.sink()};
  ScriptedSource* source = nullptr;

  AcquisitionRig() {
    auto owned = std::make_unique<ScriptedSource>(calls);
    source = owned.get();
    acquisition.set_source(std::move(owned));
  }
};

TEST(AcquireFrame, CallsInOrderWithBusyFlagAroundTheWait) {
  AcquisitionRig rig;
  FrameHolder holder = FrameImage::create(8, 8);
  rig.source->next = make_dib(640, 480);
  bool busy_inside = false, old_frame_kept_inside = false;
  rig.source->during_acquire = [&] {
    busy_inside = rig.acquisition.busy();
    old_frame_kept_inside = holder.has_value() && holder->width() == 8;
  };
  rig.acquisition.acquire_frame(holder, TriggerCode::Main);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"available", "acquire"}));
  EXPECT_TRUE(busy_inside);
  EXPECT_TRUE(old_frame_kept_inside);
  EXPECT_FALSE(rig.acquisition.busy());
  ASSERT_TRUE(holder.has_value());
  EXPECT_EQ(holder->width(), 640);
  EXPECT_TRUE(rig.log.lines.empty());
}

TEST(AcquireFrame, HolderOutcomes) {
  const struct {
    const char* what;
    bool available;
    std::optional<std::vector<uint8_t>> delivered;
    bool frame_held;
    std::size_t log_lines;  // each naming the source
  } cases[] = {
      {"no source available: the holder keeps its frame", false, std::nullopt, true, 0},
      {"nothing delivered: the old frame is freed", true, std::nullopt, false, 0},
      {"a bad image: none held", true, make_dib(640, 480, 32), false, 1},
  };
  for (const auto& c : cases) {
    AcquisitionRig rig;
    rig.source->is_available = c.available;
    rig.source->next = c.delivered;
    FrameHolder holder = FrameImage::create(8, 8);
    rig.acquisition.acquire_frame(holder, TriggerCode::Main);
    EXPECT_EQ(holder.has_value(), c.frame_held) << c.what;
    if (!c.available) {
      EXPECT_EQ(rig.calls, std::vector<std::string>{"available"}) << c.what;
    }
    EXPECT_EQ(rig.log.lines.size(), c.log_lines) << c.what;
    for (const auto& line : rig.log.lines) EXPECT_NE(line.find("scripted"), std::string::npos);
  }
  AcquisitionRig no_source;
  no_source.acquisition.set_source(nullptr);
  FrameHolder holder = FrameImage::create(8, 8);
  EXPECT_FALSE(no_source.acquisition.source_available());
  no_source.acquisition.acquire_frame(holder, TriggerCode::Main);
  EXPECT_TRUE(holder.has_value()) << "no source set at all";
}

TEST(StillTrigger, WritesTheCodeKeepingTopBitsThenPresses) {
  AcquisitionRig rig;
  int presses = 0;
  auto window = rig.windows.open_capture_window([&] {
    // The code is on the port before the button is pressed.
    EXPECT_EQ(rig.device.read(), 0xC0 | 0x37);
    ++presses;
  });
  rig.acquisition.still_trigger();  // nothing pending yet
  EXPECT_TRUE(rig.device.log().empty());

  rig.acquisition.set_pending_trigger(TriggerCode::Main);
  rig.acquisition.still_trigger();
  EXPECT_EQ(rig.device.log(), std::vector<uint8_t>{0xF7});
  EXPECT_EQ(rig.acquisition.pending_trigger(), std::nullopt);
  EXPECT_EQ(presses, 1);

  rig.acquisition.still_trigger();  // consumed: no second press
  EXPECT_EQ(presses, 1);
}

TEST(StillTrigger, WithoutAButtonTheCodeStaysPending) {
  AcquisitionRig rig;
  auto window = rig.windows.open_window({"hauppauge capture", {{"Button", "Capture Still Image"}}},
                                        {[] { FAIL() << "pressed a lower-case window"; }});
  rig.acquisition.set_pending_trigger(TriggerCode::Guide);
  rig.acquisition.still_trigger();
  EXPECT_TRUE(rig.device.log().empty());
  EXPECT_EQ(rig.acquisition.pending_trigger(), TriggerCode::Guide);
}

TEST(AcquireFrame, TicksInsideTheWaitPressTheSimulatedCameraButton) {
  test::SkyRig rig;
  int busy_ticks = 0;
  rig.pump.on_tick = [&] {
    if (rig.acquisition.busy()) ++busy_ticks;
    rig.acquisition.still_trigger();
  };
  rig.port.exposure_start_sequence();
  rig.clock.advance(1000);
  const FrameHolder holder = rig.grab_holder(TriggerCode::Main);
  ASSERT_TRUE(holder.has_value());
  EXPECT_EQ(holder->width(), 640);
  EXPECT_EQ(holder->height(), 480);
  EXPECT_EQ(busy_ticks, 1);
  EXPECT_EQ(rig.device.log().back(), 0x37);
  EXPECT_EQ(rig.windows.open_count(), 0U);
  EXPECT_TRUE(rig.log.lines.empty());
}

TEST(AcquireFrame, AQuittingPumpEndsTheWaitWithNoFrame) {
  test::SkyRig rig;
  rig.pump.quitting_ = true;
  FrameHolder holder = FrameImage::create(8, 8);
  rig.acquisition.acquire_frame(holder, TriggerCode::Main);
  EXPECT_FALSE(holder.has_value());
  EXPECT_FALSE(rig.acquisition.busy());
  EXPECT_TRUE(rig.log.lines.empty());
}

}  // namespace
}  // namespace noctra
