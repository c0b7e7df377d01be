#include "camera/v4l2_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "camera/hardware.h"
#include "camera_fakes.h"
#include "imaging/field_selection.h"
#include "imaging/frame_image.h"

namespace noctra {
namespace {

using test::FakeClock;
using test::FakePump;
using test::LogLines;

// A capture device on the fake clock: it fills a buffer every frame period
// (while it has one queued) and stamps it with the time it was filled. Each
// picture is one grey level: the number of the frame, so tests can tell
// which frame came out.
class FakeVideoDevice : public VideoDevice {
 public:
  explicit FakeVideoDevice(FakeClock& clock) : clock_(clock) {}

  Status open(const std::string&) override {
    ++opens;
    if (!open_error.empty()) return failure(open_error);
    is_open = true;
    return {};
  }
  void close() override {
    is_open = false;
    streaming = false;
  }
  Result<DeviceOffer> describe() override { return offered; }
  Status set_input(uint32_t index) override {
    settings_made.push_back("input " + std::to_string(index));
    offered.input = index;
    return {};
  }
  Status set_standard(uint64_t id) override {
    settings_made.push_back("std " + std::to_string(id));
    offered.standard = id;
    return {};
  }
  Status set_format(VideoFormat& format, Conversion) override {
    requested = format;
    settings_made.push_back("format");
    format = offer;
    return {};
  }
  Status start_streaming(int buffer_count) override {
    streaming = true;
    free_buffers.clear();
    filled.clear();
    for (int i = 0; i < buffer_count; ++i) free_buffers.push_back(i);
    storage.assign(static_cast<std::size_t>(buffer_count), {});
    next_fill_us = now_us() + period_us();
    return {};
  }
  // Sleeps on the fake clock until the next buffer would be ready, as
  // poll(2) does, but never longer than asked.
  bool wait_until_ready(int timeout_ms) override {
    longest_wait_ms = std::max(longest_wait_ms, timeout_ms);
    if (unplugged) return true;
    catch_up();
    std::optional<int64_t> ready_at;
    if (!filled.empty()) {
      ready_at = filled.front().timestamp_us + delivery_delay_us;
    } else if (streaming && !stalled && !free_buffers.empty()) {
      ready_at = next_fill_us + delivery_delay_us;
    }
    if (ready_at && *ready_at <= now_us()) return true;
    const int64_t wait_us = ready_at ? *ready_at - now_us() : INT64_MAX;
    if (wait_us > int64_t{timeout_ms} * 1000) {
      clock_.advance(timeout_ms);
      return false;
    }
    clock_.advance(static_cast<int32_t>((wait_us + 999) / 1000));
    catch_up();
    return true;
  }
  Result<std::optional<CapturedBuffer>> dequeue() override {
    // What the system device says when the stick is pulled out.
    if (unplugged) return failure("the device has gone away (No such device)");
    catch_up();
    if (filled.empty() || filled.front().timestamp_us + delivery_delay_us > now_us()) {
      ++not_ready_dequeues;
      return std::optional<CapturedBuffer>();
    }
    const Filled f = filled.front();
    filled.pop_front();
    CapturedBuffer out;
    out.index = f.index;
    out.timestamp_us = f.timestamp_us + stamp_offset_us;
    out.stamped_at_frame_end = stamps_at_frame_end;
    out.bytes = storage[static_cast<std::size_t>(f.index)];
    out.field = f.field;
    ++dequeues;
    return std::optional<CapturedBuffer>(out);
  }
  Status requeue(int index) override {
    free_buffers.push_back(index);
    return {};
  }
  int64_t now_us() override { return int64_t{clock_.now_ms()} * 1000; }

  VideoFormat offer{640, 480, kPixelFormatBgr24, 640 * 3, 0, FieldOrder::Interlaced, 40};
  DeviceOffer offered{{{kPixelFormatBgr24, "BGR24"}}, {}, {}, {}, 0, {640, 480}};
  // Paints the n-th picture (from 1), begun at stamp_us, and says which
  // field it holds; without it every picture is one grey level, n.
  std::function<FieldOrder(uint32_t n, int64_t stamp_us, std::vector<uint8_t>& bytes)> paint;
  std::size_t picture_bytes = 0;  // a picture of another length than its format's
  std::optional<VideoFormat> requested;
  std::vector<std::string> settings_made;
  std::string open_error;
  bool is_open = false, streaming = false, unplugged = false, stalled = false;
  int opens = 0, dequeues = 0;
  int not_ready_dequeues = 0;  // each one a libv4l2 error line on a real device
  int longest_wait_ms = 0;
  int64_t stamp_offset_us = 0;       // a driver stamping on another clock
  bool stamps_at_frame_end = false;  // as most drivers flag their stamps
  int64_t delivery_delay_us = 0;     // a buffer becomes ready this long after its stamp
  uint8_t frame_number = 0;

 private:
  struct Filled {
    int index;
    int64_t timestamp_us;
    FieldOrder field;
  };
  // One field per buffer comes at twice the frame rate.
  int64_t period_us() const {
    return offer.frame_period_ms * (offer.field == FieldOrder::Alternate ? 500 : 1000);
  }
  void catch_up() {
    while (streaming && !stalled && next_fill_us <= now_us()) {
      ++frame_number;
      ++pictures;
      if (!free_buffers.empty()) {
        const int index = free_buffers.front();
        free_buffers.pop_front();
        auto& bytes = storage[static_cast<std::size_t>(index)];
        bytes.assign(picture_bytes != 0 ? picture_bytes
                                        : std::size_t{offer.bytes_per_line} *
                                              static_cast<std::size_t>(offer.height),
                     frame_number);
        const FieldOrder field = paint ? paint(pictures, next_fill_us, bytes) : offer.field;
        filled.push_back({index, next_fill_us, field});
      }
      next_fill_us += period_us();
    }
  }

  FakeClock& clock_;
  std::deque<int> free_buffers;
  std::deque<Filled> filled;
  std::vector<std::vector<uint8_t>> storage;
  int64_t next_fill_us = 0;
  uint32_t pictures = 0;
};

struct V4l2Rig {
  FakeClock clock{0};
  FakePump pump{clock};
  StillWindowRegistry windows;
  LogLines log;
  FakeVideoDevice* device = nullptr;
  std::unique_ptr<V4l2Source> source;
  int press_on_tick = 1;
  int ticks = 0;
  bool mono = false;
  int64_t press_us = 0;

  explicit V4l2Rig(V4l2Address address = {"/dev/video0"}) {
    auto fake = std::make_unique<FakeVideoDevice>(clock);
    device = fake.get();
    V4l2Options options;
    options.mono = [this] { return mono; };
    source = std::make_unique<V4l2Source>(std::move(address), std::move(fake), clock, pump, windows,
                                          log.sink(), options);
    pump.tick_ms = 10;
    pump.on_tick = [this] {
      if (++ticks != press_on_tick) return;
      press_us = device->now_us();
      if (auto press = windows.find_capture_button()) (*press)();
    };
  }
  std::optional<FrameImage> grab() {
    ticks = 0;
    auto dib = source->acquire();
    if (!dib) return std::nullopt;
    auto frame = FrameImage::from_header(dib->data());
    EXPECT_TRUE(frame.has_value());
    EXPECT_EQ(dib->size(), frame->block_size());
    std::copy(dib->begin() + kBitmapHeaderSize, dib->end(), frame->pixels());
    return frame;
  }
};

std::optional<std::vector<uint8_t>> top_down_bgr_to_dib(std::span<const uint8_t> bytes,
                                                        int32_t width, int32_t height,
                                                        uint32_t bytes_per_line) {
  std::optional<DibFrame> frame = DibFrame::create(width, height);
  if (!frame || !put_picture(*frame, bytes, bytes_per_line, PixelLayout::Bgr24, FieldOrder::None)) {
    return std::nullopt;
  }
  return std::move(*frame).take();
}

TEST(TopDownToDib, RowsAreFlippedAndPaddedToFourBytes) {
  // 3 x 2 picture, 12 bytes per line on the device (3 bytes of padding).
  std::vector<uint8_t> top_down(24 - 3);  // the last row needs no padding
  for (std::size_t i = 0; i < top_down.size(); ++i) top_down[i] = static_cast<uint8_t>(i + 1);
  const auto dib = top_down_bgr_to_dib(top_down, 3, 2, 12);
  ASSERT_TRUE(dib.has_value());
  const BitmapInfoHeader h = read_bitmap_header(dib->data());
  EXPECT_EQ(h.width, 3);
  EXPECT_EQ(h.height, 2);
  EXPECT_EQ(h.bit_count, 24);
  // Stored row 0 is the bottom line: the device's second row; rows padded
  // to 12 bytes, and the four trailing bytes of the block.
  EXPECT_EQ(std::vector<uint8_t>(dib->begin() + 40, dib->end()),
            (std::vector<uint8_t>{13, 14, 15, 16, 17, 18, 19, 20, 21, 0, 0, 0,  //
                                  1,  2,  3,  4,  5,  6,  7,  8,  9,  0, 0, 0,  //
                                  0,  0,  0,  0}));

  EXPECT_FALSE(top_down_bgr_to_dib(std::span(top_down).first(20), 3, 2, 12));
  EXPECT_FALSE(top_down_bgr_to_dib(top_down, 3, 2, 8));  // lines shorter than the width
  EXPECT_FALSE(top_down_bgr_to_dib(top_down, 0, 2, 12));
  EXPECT_FALSE(top_down_bgr_to_dib(top_down, 3, -2, 12));
}

TEST(V4l2Source, NegotiatesBgr24AndTakesTheNearestSize) {
  V4l2Rig rig;
  rig.device->offer.width = 720;
  rig.device->offer.height = 576;
  rig.device->offer.bytes_per_line = 720 * 3;
  // No size is known before the device has agreed one.
  EXPECT_FALSE(rig.source->frame_size());
  const auto frame = rig.grab();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(rig.source->frame_size(), (FrameSize{720, 576}));
  ASSERT_TRUE(rig.device->requested.has_value());
  EXPECT_EQ(rig.device->requested->width, 640);
  EXPECT_EQ(rig.device->requested->height, 480);
  EXPECT_EQ(rig.device->requested->pixel_format, kPixelFormatBgr24);
  EXPECT_EQ(frame->width(), 720);
  EXPECT_EQ(frame->height(), 576);
  EXPECT_EQ(rig.windows.open_count(), 0U);
}

TEST(V4l2Source, DeviceThatAnswersWithAnotherFormatIsRefused) {
  V4l2Rig rig;
  rig.device->offer.pixel_format = kPixelFormatYuyv;  // asked for its BGR24
  EXPECT_FALSE(rig.grab().has_value());
  ASSERT_EQ(rig.log.lines.size(), 1U);
  EXPECT_EQ(rig.log.lines[0],
            "v4l2:/dev/video0: the device answered with yuyv pictures when asked for bgr24");
  EXPECT_FALSE(rig.device->is_open);
}

TEST(V4l2Source, DropsBuffersCapturedBeforeThePress) {
  // Whatever the stamps say: a driver on another clock makes every stamp
  // look later than the press, and the old buffers must still go.
  for (const int64_t stamp_offset_us : {int64_t{0}, int64_t{1} << 40}) {
    V4l2Rig rig;
    ASSERT_TRUE(rig.source->open_now().ok());
    rig.device->stamp_offset_us = stamp_offset_us;
    // Let all four buffers fill with old video, then press 1 s later.
    rig.press_on_tick = 100;
    const auto frame = rig.grab();
    ASSERT_TRUE(frame.has_value()) << stamp_offset_us;
    // The press came at 1010 ms; frames fill every 40 ms from 40 ms on, but
    // only while a buffer is free: the four old ones (1..4) are dropped, the
    // first filled after the press is delivered.
    const uint8_t delivered = frame->row(0)[0];
    EXPECT_GT(delivered, 4) << stamp_offset_us;
    EXPECT_EQ(frame->row(479)[0], delivered) << stamp_offset_us;
    EXPECT_GE(rig.device->dequeues, 5) << stamp_offset_us;
    EXPECT_TRUE(rig.log.lines.empty()) << stamp_offset_us;
  }
}

TEST(V4l2Source, ABufferStampedAtThePressIsStillOldVideo) {
  // Frames are stamped every 40 ms and become ready 5 ms later, so the one
  // stamped at the very moment of the press (40 ms) is not ready yet when
  // the press drains the queue. It still ends before the read-out. A stamp
  // at the end of its frame also makes the next frame old video: it began
  // at the press.
  for (const auto& [at_frame_end, first_new_frame] : {std::pair{false, 2}, std::pair{true, 3}}) {
    V4l2Rig rig;
    ASSERT_TRUE(rig.source->open_now().ok());
    rig.device->delivery_delay_us = 5000;
    rig.device->stamps_at_frame_end = at_frame_end;
    rig.press_on_tick = 4;
    const auto frame = rig.grab();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->row(0)[0], first_new_frame) << at_frame_end;
  }
}

TEST(V4l2Source, NoFrameAfterThePressTimesOutWithoutHanging) {
  V4l2Rig rig;
  ASSERT_TRUE(rig.source->open_now().ok());
  rig.device->stalled = true;
  const int32_t before = rig.clock.now_ms();
  EXPECT_FALSE(rig.grab().has_value());
  const int32_t waited = rig.clock.now_ms() - before;
  EXPECT_GE(waited, 400);  // ten periods of 40 ms, at least 500 ms
  EXPECT_LE(waited, 1000);
  ASSERT_EQ(rig.log.lines.size(), 1U);
  EXPECT_NE(rig.log.lines[0].find("no frame within"), std::string::npos);
  EXPECT_EQ(rig.device->not_ready_dequeues, 0);
  EXPECT_LE(rig.device->longest_wait_ms, 20);
  // The same failure again is not logged a second time.
  EXPECT_FALSE(rig.grab().has_value());
  EXPECT_EQ(rig.log.lines.size(), 1U);
  // Once video flows again the source recovers by reopening the device.
  rig.device->stalled = false;
  EXPECT_TRUE(rig.grab().has_value());
  EXPECT_GE(rig.device->opens, 2);
}

TEST(V4l2Source, UnpluggedDeviceFailsTheAcquisitionAndIsReopenedLater) {
  V4l2Rig rig;
  ASSERT_TRUE(rig.grab().has_value());
  rig.device->unplugged = true;
  EXPECT_FALSE(rig.grab().has_value());
  ASSERT_EQ(rig.log.lines.size(), 1U);
  EXPECT_NE(rig.log.lines[0].find("gone away"), std::string::npos);
  EXPECT_FALSE(rig.device->is_open);
  // A device that went away has no size until it streams again.
  EXPECT_FALSE(rig.source->frame_size());

  rig.device->unplugged = false;
  rig.device->open_error = "No such file or directory";
  EXPECT_FALSE(rig.grab().has_value());
  ASSERT_EQ(rig.log.lines.size(), 2U);
  EXPECT_EQ(rig.log.lines[1], "v4l2:/dev/video0: No such file or directory");
  EXPECT_TRUE(rig.source->available());  // a failed acquisition, not a kept frame

  rig.device->open_error.clear();
  EXPECT_TRUE(rig.grab().has_value());
}

TEST(V4l2Source, AsksForABufferOnlyWhenOneIsReady) {
  // Pressed at once, long before, and while frames become ready late: the
  // source waits for the device instead of asking it again and again, and
  // no single wait holds up the event loop for longer than allowed.
  const struct {
    int press_on_tick;
    int64_t delivery_delay_us;
  } cases[] = {{1, 0}, {100, 0}, {4, 5000}, {2, 30000}};
  for (const auto& c : cases) {
    V4l2Rig rig;
    ASSERT_TRUE(rig.source->open_now().ok());
    rig.press_on_tick = c.press_on_tick;
    rig.device->delivery_delay_us = c.delivery_delay_us;
    for (int frame = 0; frame < 3; ++frame) EXPECT_TRUE(rig.grab().has_value());
    EXPECT_EQ(rig.device->not_ready_dequeues, 0) << c.press_on_tick;
    EXPECT_GT(rig.device->longest_wait_ms, 0) << c.press_on_tick;
    EXPECT_LE(rig.device->longest_wait_ms, 20) << c.press_on_tick;
    EXPECT_TRUE(rig.log.lines.empty()) << c.press_on_tick;
  }
}

TEST(V4l2Source, NoPressMeansNoFrameAfterTheTimeout) {
  V4l2Rig rig;
  rig.press_on_tick = -1;
  EXPECT_FALSE(rig.grab().has_value());
  EXPECT_EQ(rig.log.lines.size(), 1U);
  EXPECT_EQ(rig.windows.open_count(), 0U);
}

// A camera whose first field begun after the still press holds the long
// exposure (200 and up) and every later field a short one (20 and up); each
// line's value also tells which line of the picture it is. Pictures are
// YUYV, the chroma bytes 128.
struct LongExposureCamera {
  FieldOrder order;
  bool top_older;  // the older field of a frame (the first of the stream)
  const int64_t& press_us;
  static constexpr int32_t kWidth = 48, kHeight = 248;
  bool long_given = false;

  static uint8_t value(int32_t line, bool is_long) {
    return static_cast<uint8_t>((is_long ? 200 : 20) + line % 50);
  }
  FieldOrder paint(uint32_t n, int64_t stamp_us, std::vector<uint8_t>& bytes) {
    const bool is_long = !long_given && stamp_us > press_us;
    long_given = long_given || is_long;
    auto put = [&](int32_t at, int32_t line, bool bright) {
      for (int32_t x = 0; x < kWidth; ++x) {
        bytes[static_cast<std::size_t>(at * 2 * kWidth + 2 * x)] = value(line, bright);
        bytes[static_cast<std::size_t>(at * 2 * kWidth + 2 * x + 1)] = 128;
      }
    };
    if (order == FieldOrder::Alternate) {
      const bool top = (n % 2 == 1) == top_older;
      for (int32_t i = 0; i < kHeight / 2; ++i) put(i, 2 * i + (top ? 0 : 1), is_long);
      return top ? FieldOrder::Top : FieldOrder::Bottom;
    }
    for (int32_t line = 0; line < kHeight; ++line) {
      const bool top = line % 2 == 0;
      int32_t at = line;
      if (order == FieldOrder::SeqTopFirst) at = top ? line / 2 : kHeight / 2 + line / 2;
      if (order == FieldOrder::SeqBottomFirst) at = top ? kHeight / 2 + line / 2 : line / 2;
      put(at, line, is_long && top == top_older);
    }
    return order;
  }
};

TEST(V4l2Source, TheLongFieldIsKeptInEveryFieldOrder) {
  // Frames every 40 ms, fields every 20 ms from the start of the stream;
  // presses on a 10 ms tick.
  const struct {
    FieldOrder order;
    bool top_older;
    int press_on_tick;
    bool long_top;
  } cases[] = {
      {FieldOrder::Interlaced, true, 5, true},
      {FieldOrder::Interlaced, false, 5, false},
      {FieldOrder::InterlacedTopFirst, true, 5, true},
      {FieldOrder::InterlacedBottomFirst, false, 5, false},
      {FieldOrder::SeqTopFirst, true, 5, true},
      {FieldOrder::SeqBottomFirst, false, 5, false},
      {FieldOrder::Alternate, true, 5, true},   // fields at 20 (top), 40, 60 (top), ...
      {FieldOrder::Alternate, true, 3, false},  // the first after the press is a bottom one
      {FieldOrder::Alternate, false, 5, false},
      {FieldOrder::Alternate, false, 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(field_order_name(c.order) + (c.top_older ? " top older" : " bottom older") +
                 " press " + std::to_string(c.press_on_tick));
    V4l2Rig rig;
    rig.mono = true;
    rig.device->offered.formats = {{kPixelFormatYuyv, "YUYV"}};
    const int32_t lines = LongExposureCamera::kHeight / (c.order == FieldOrder::Alternate ? 2 : 1);
    rig.device->offer = {48, lines, kPixelFormatYuyv, 2 * 48, 0, c.order, 40};
    LongExposureCamera camera{c.order, c.top_older, rig.press_us};
    rig.device->paint = [&](uint32_t n, int64_t stamp, std::vector<uint8_t>& bytes) {
      return camera.paint(n, stamp, bytes);
    };
    rig.press_on_tick = c.press_on_tick;
    std::optional<FrameImage> frame = rig.grab();
    ASSERT_TRUE(frame.has_value());
    ASSERT_EQ(frame->height(), LongExposureCamera::kHeight);
    // Every line in its place, the long field's bright; the long field is
    // the one field selection keeps (the top field is on the odd stored rows).
    std::vector<int32_t> wrong;
    for (int32_t line = 0; line < LongExposureCamera::kHeight; ++line) {
      const uint8_t* pixel = frame->row(LongExposureCamera::kHeight - 1 - line);
      const bool is_long = (line % 2 == 0) == c.long_top;
      if (pixel[0] != LongExposureCamera::value(line, is_long) || pixel[1] != pixel[0] ||
          pixel[2] != pixel[0]) {
        wrong.push_back(line);
      }
    }
    EXPECT_EQ(wrong, std::vector<int32_t>{});
    EXPECT_EQ(field_to_keep(*frame), c.long_top ? FieldParity::Odd : FieldParity::Even);
    EXPECT_TRUE(rig.log.lines.empty()) << rig.log.lines[0];
  }
}

TEST(V4l2Source, BadPicturesAreRefusedOnceAndTheRecordingGoesOn) {
  const struct {
    const char* what;
    std::function<void(FakeVideoDevice&)> spoil;
    const char* message;
  } cases[] = {
      {"short", [](FakeVideoDevice& d) { d.picture_bytes = 640 * 3 * 479; },
       "shorter than its format 640x480 bgr24 (919680 bytes)"},
      {"larger", [](FakeVideoDevice& d) { d.picture_bytes = 720 * 3 * 576; },
       "does not fit its format 640x480 bgr24 (did the video format change?)"},
      {"a field in a frame's place",
       [](FakeVideoDevice& d) {
         d.paint = [](uint32_t, int64_t, std::vector<uint8_t>&) { return FieldOrder::Top; };
       },
       "does not fit its format"},
  };
  for (const auto& c : cases) {
    V4l2Rig rig;
    rig.device->offer.size_image = 640 * 3 * 480;
    ASSERT_TRUE(rig.grab().has_value()) << c.what;
    c.spoil(*rig.device);
    EXPECT_FALSE(rig.grab().has_value()) << c.what;
    EXPECT_FALSE(rig.grab().has_value()) << c.what;
    ASSERT_EQ(rig.log.lines.size(), 1U) << c.what;
    EXPECT_NE(rig.log.lines[0].find(c.message), std::string::npos) << rig.log.lines[0];
    rig.device->picture_bytes = 0;
    rig.device->paint = nullptr;
    EXPECT_TRUE(rig.grab().has_value()) << c.what;
  }
}

TEST(V4l2Source, FieldsThatNeverAlternateGiveTheFirstOnBothFieldsLines) {
  V4l2Rig rig;
  rig.device->offer = {48, 124, kPixelFormatBgr24, 48 * 3, 0, FieldOrder::Alternate, 40};
  rig.device->paint = [](uint32_t n, int64_t, std::vector<uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(n + i / 144);
    return FieldOrder::Top;
  };
  for (int grab = 0; grab < 2; ++grab) {
    const auto frame = rig.grab();
    ASSERT_TRUE(frame.has_value());
    ASSERT_EQ(frame->height(), 248);
    // Picture lines 2k and 2k + 1 both show the first field's line k.
    const uint8_t first = frame->row(247)[0];
    for (int32_t line = 0; line < 248; ++line) {
      EXPECT_EQ(frame->row(247 - line)[0], static_cast<uint8_t>(first + line / 2)) << line;
    }
  }
  ASSERT_EQ(rig.log.lines.size(), 1U);
  EXPECT_EQ(rig.log.lines[0],
            "v4l2:/dev/video0: the device flagged two top fields in a row: the frame shows the "
            "first of them on both fields' lines");
}

TEST(V4l2Source, InputStandardAndRecordingColourChooseTheFormat) {
  V4l2Rig rig({"/dev/video0", "", "pal", "television", {}, {}});
  rig.device->offered.formats = {{kPixelFormatYuyv, "YUYV"}, {kPixelFormatBgr24, "BGR24"}};
  rig.device->offered.inputs = {{0, "Camera", 0}, {1, "Television", 0xB0FF}};
  rig.device->offered.standards = {{0xB000, "NTSC"}, {0xFF, "PAL"}};
  rig.device->offered.input = 0;
  rig.device->offer = {720, 576, kPixelFormatYuyv, 720 * 2, 0, FieldOrder::Interlaced, 40};
  rig.mono = true;
  ASSERT_TRUE(rig.grab().has_value());
  EXPECT_EQ(rig.device->settings_made, (std::vector<std::string>{"input 1", "std 255", "format"}));
  EXPECT_EQ(rig.device->requested->pixel_format, kPixelFormatYuyv);
  EXPECT_EQ(rig.device->requested->width, 720);
  EXPECT_EQ(rig.device->requested->height, 576);
  EXPECT_EQ(rig.device->requested->field, FieldOrder::Interlaced);
  // A colour recording asks again, for the device's own BGR24.
  rig.mono = false;
  rig.device->offer.pixel_format = kPixelFormatBgr24;
  rig.device->offer.bytes_per_line = 720 * 3;
  ASSERT_TRUE(rig.grab().has_value());
  EXPECT_EQ(rig.device->requested->pixel_format, kPixelFormatBgr24);
  EXPECT_EQ(rig.device->opens, 2);
  EXPECT_TRUE(rig.log.lines.empty());
}

TEST(OpenSource, NamedAndAutomaticChoices) {
  FakeClock clock;
  FakePump pump(clock);
  StillWindowRegistry windows;
  LogLines log;
  SourceContext context{clock, pump, windows, log.sink()};
  std::vector<CaptureDeviceInfo> devices;
  std::string open_error;
  SourceSystem system{[&] { return devices; },
                      [&] {
                        auto fake = std::make_unique<FakeVideoDevice>(clock);
                        fake->open_error = open_error;
                        return std::unique_ptr<VideoDevice>(std::move(fake));
                      }};

  const struct {
    const char* name;
    bool devices;
    const char* open_error;
    const char* chosen;
    const char* note_part;
  } cases[] = {
      {"sim", false, "", "sim + port listener", ""},
      {"auto", false, "", "sim + port listener", "no usable capture device"},
      {"auto", true, "", "v4l2:/dev/video1", "USB2.0 Grabber"},
      {"auto", true, "Device or resource busy", "sim + port listener",
       "v4l2:/dev/video1: Device or resource busy"},
      {"v4l2:/dev/video1", true, "Device or resource busy",
       "error: v4l2:/dev/video1: Device or resource busy", ""},
      {"twain", false, "",
       "error: unknown video source \"twain\" (use auto, sim or v4l2:/dev/video0)", ""},
      {"v4l2", true, "", "error: unknown video source \"v4l2\" (use auto, sim or v4l2:/dev/video0)",
       ""},
      {"sim:1", false, "",
       "error: unknown video source \"sim:1\" (use auto, sim or v4l2:/dev/video0)", ""},
      {"v4l2:", true, "", "error: v4l2: needs a device path (v4l2:/dev/video0)", ""},
      {"v4l2:/dev/video1,size=720x576", true, "",
       "error: v4l2:/dev/video1: size=720x576: the device gives 640x480", ""},
      {"v4l2:/dev/video1,field=alternate", true, "",
       "error: v4l2:/dev/video1: field=alternate: the device gives interlaced", ""},
      {"v4l2:/dev/video1,format=yuyv,colour=mono", true, "",
       "error: v4l2:/dev/video1,format=yuyv,colour=mono: unknown option \"colour\" (options: "
       "format=yuyv, std=pal, input=1, size=720x576, field=interlaced)",
       ""},
  };
  for (const auto& c : cases) {
    devices.clear();
    if (c.devices) {
      devices = {{"/dev/video0", "metadata", false}, {"/dev/video1", "USB2.0 Grabber", true}};
    }
    open_error = c.open_error;
    const Result<SourceChoice> choice = open_source(c.name, context, system);
    const std::string chosen =
        choice ? choice->source->name() + (choice->port_listener ? " + port listener" : "")
               : "error: " + choice.message();
    EXPECT_EQ(chosen, c.chosen) << c.name;
    const std::string note = choice ? choice->note : std::string();
    EXPECT_NE(note.find(c.note_part), std::string::npos) << c.name << ": " << note;
  }
}

TEST(DeviceListing, SaysWhatAutoWouldTake) {
  DeviceListing listing;
  listing.sources = {{"v4l2:/dev/video0", "USB2.0 Grabber", true, {"formats: yuyv", "inputs: 0"}},
                     {"sim", "simulated sky camera", true}};
  listing.ports = {{"ppdev:/dev/parport0", "Permission denied", false},
                   {"sim", "simulated port", true}};
  listing.auto_source = "v4l2:/dev/video0";
  listing.auto_port = "sim";
  const std::string text = format_device_listing(listing);
  EXPECT_NE(text.find("v4l2:/dev/video0  USB2.0 Grabber\n      formats: yuyv\n      inputs: 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("ppdev:/dev/parport0  Permission denied  [unusable]"), std::string::npos);
  EXPECT_NE(text.find("auto would take: v4l2:/dev/video0"), std::string::npos);
  EXPECT_NE(text.find("auto would take: sim"), std::string::npos);
  // The real machine's listing always offers the simulation.
  const DeviceListing here = list_devices();
  EXPECT_FALSE(here.auto_source.empty());
  EXPECT_FALSE(here.auto_port.empty());
  EXPECT_EQ(here.sources.back().name, "sim");
  EXPECT_EQ(here.ports.back().name, "sim");
}

}  // namespace
}  // namespace noctra
