// What taking a capture device's picture into a frame costs, against a
// memcpy of the same buffer measured in the same run: the luma of YUYV,
// UYVY and GREY pictures, woven or field by field, and the colour conversion
// libv4lconvert does for YUYV. The summary at the end prints the ratios
// (medians when run with repetitions).

#include <benchmark/benchmark.h>
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "camera/v4l2_pictures.h"
#include "summary_reporter.h"

namespace {

using noctra::DibFrame;
using noctra::FieldOrder;
using noctra::PixelLayout;

constexpr int32_t kWidth = 720;
constexpr int32_t kHeight = 576;  // a PAL frame

// A 4:2:2 (or GREY) picture of noise, as a grabber hands it over.
std::vector<uint8_t> picture(std::size_t bytes_per_pixel) {
  std::vector<uint8_t> bytes(bytes_per_pixel * kWidth * kHeight);
  std::mt19937 generator(7);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

void BM_MemcpyBuffer(benchmark::State& state) {
  const std::vector<uint8_t> buffer = picture(2);
  std::vector<uint8_t> target(buffer.size());
  for (auto _ : state) {
    std::memcpy(target.data(), buffer.data(), buffer.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
}

// A copy of the frame the picture becomes: 24-bit rows, header and all.
void BM_MemcpyFrame(benchmark::State& state) {
  const std::vector<uint8_t> frame = DibFrame::create(kWidth, kHeight)->block();
  std::vector<uint8_t> target(frame.size());
  for (auto _ : state) {
    std::memcpy(target.data(), frame.data(), frame.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
}

// The whole picture in one buffer into a frame made before the clock runs.
void run_picture(benchmark::State& state, PixelLayout layout, FieldOrder order) {
  const std::size_t pixel_bytes = noctra::source_bytes_per_pixel(layout);
  const std::vector<uint8_t> buffer = picture(pixel_bytes);
  DibFrame frame = *DibFrame::create(kWidth, kHeight);
  for (auto _ : state) {
    if (!noctra::put_picture(frame, buffer, static_cast<uint32_t>(pixel_bytes * kWidth), layout,
                             order)) {
      state.SkipWithError("refused");
    }
    benchmark::ClobberMemory();
  }
}

void BM_YuyvLumaWoven(benchmark::State& state) {
  run_picture(state, PixelLayout::YuyvLuma, FieldOrder::Interlaced);
}
void BM_UyvyLumaWoven(benchmark::State& state) {
  run_picture(state, PixelLayout::UyvyLuma, FieldOrder::Interlaced);
}
void BM_YuyvLumaSeqTb(benchmark::State& state) {
  run_picture(state, PixelLayout::YuyvLuma, FieldOrder::SeqTopFirst);
}
void BM_GreyWoven(benchmark::State& state) {
  run_picture(state, PixelLayout::Grey, FieldOrder::Interlaced);
}

// Two field buffers (the same bytes as one frame buffer) woven into a frame.
void BM_YuyvLumaAlternate(benchmark::State& state) {
  const std::vector<uint8_t> buffer = picture(2);
  const std::span<const uint8_t> top(buffer.data(), buffer.size() / 2);
  const std::span<const uint8_t> bottom(buffer.data() + buffer.size() / 2, buffer.size() / 2);
  DibFrame frame = *DibFrame::create(kWidth, kHeight);
  for (auto _ : state) {
    noctra::put_field(frame, top, 2 * kWidth, PixelLayout::YuyvLuma, true, false);
    noctra::put_field(frame, bottom, 2 * kWidth, PixelLayout::YuyvLuma, false, false);
    benchmark::ClobberMemory();
  }
}

// What the source does per frame: a new frame block, then the luma.
void BM_YuyvLumaNewFrame(benchmark::State& state) {
  const std::vector<uint8_t> buffer = picture(2);
  for (auto _ : state) {
    DibFrame frame = *DibFrame::create(kWidth, kHeight);
    noctra::put_picture(frame, buffer, 2 * kWidth, PixelLayout::YuyvLuma, FieldOrder::Interlaced);
    benchmark::DoNotOptimize(frame.block().data());
  }
}

// libv4lconvert without a device: it asks only for the capabilities.
int no_device_ioctl(void*, int, unsigned long request, void* arg) {
  if (request == VIDIOC_QUERYCAP) {
    auto* caps = static_cast<v4l2_capability*>(arg);
    *caps = {};
    caps->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    caps->device_caps = caps->capabilities;
    return 0;
  }
  errno = EINVAL;
  return -1;
}

void BM_Libv4lconvertYuyvToBgr24(benchmark::State& state) {
  std::vector<uint8_t> buffer = picture(2);
  libv4l_dev_ops ops{};
  ops.ioctl = no_device_ioctl;
  v4lconvert_data* converter = v4lconvert_create_with_dev_ops(-1, nullptr, &ops);
  if (converter == nullptr) {
    state.SkipWithError("libv4lconvert refused");
    return;
  }
  v4l2_format source{}, target{};
  source.type = target.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (v4l2_format* f : {&source, &target}) {
    f->fmt.pix.width = kWidth;
    f->fmt.pix.height = kHeight;
    f->fmt.pix.field = V4L2_FIELD_INTERLACED;
  }
  source.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
  source.fmt.pix.bytesperline = 2 * kWidth;
  source.fmt.pix.sizeimage = 2 * kWidth * kHeight;
  target.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
  target.fmt.pix.bytesperline = 3 * kWidth;
  target.fmt.pix.sizeimage = 3 * kWidth * kHeight;
  std::vector<uint8_t> converted(3 * kWidth * kHeight);
  for (auto _ : state) {
    const int written = v4lconvert_convert(converter, &source, &target, buffer.data(),
                                           static_cast<int>(buffer.size()), converted.data(),
                                           static_cast<int>(converted.size()));
    if (written < 0) state.SkipWithError("conversion failed");
    benchmark::ClobberMemory();
  }
  v4lconvert_destroy(converter);
}

BENCHMARK(BM_MemcpyBuffer);
BENCHMARK(BM_MemcpyFrame);
BENCHMARK(BM_YuyvLumaWoven);
BENCHMARK(BM_UyvyLumaWoven);
BENCHMARK(BM_YuyvLumaSeqTb);
BENCHMARK(BM_YuyvLumaAlternate);
BENCHMARK(BM_GreyWoven);
BENCHMARK(BM_YuyvLumaNewFrame);
BENCHMARK(BM_Libv4lconvertYuyvToBgr24);

// The console output and, at the end, the summary of the ratios.
class SummaryReporter : public noctra::bench::TimesReporter {
 public:
  void print_summary() const {
    const Times base = time_of("BM_MemcpyBuffer");
    if (base.real <= 0) return;
    const Times frame = time_of("BM_MemcpyFrame");
    std::printf(
        "\nSummary (720 x 576): medians; ratios to the memcpy of the YUYV buffer (829,440 "
        "bytes) and, after the bar, of the frame it becomes (1,244,204 bytes)\n");
    std::printf("  %-30s %12s %7s %12s %7s | %7s %7s\n", "", "real", "ratio", "cpu", "ratio",
                "real", "cpu");
    static constexpr struct {
      const char* label;
      const char* function;
      double target;
    } kLines[] = {
        {"memcpy of the YUYV buffer", "BM_MemcpyBuffer", 0},
        {"memcpy of the frame", "BM_MemcpyFrame", 0},
        {"YUYV luma, woven", "BM_YuyvLumaWoven", 1.0},
        {"UYVY luma, woven", "BM_UyvyLumaWoven", 1.0},
        {"YUYV luma, fields in sequence", "BM_YuyvLumaSeqTb", 1.0},
        {"YUYV luma, two field buffers", "BM_YuyvLumaAlternate", 1.0},
        {"GREY, woven", "BM_GreyWoven", 0},
        {"YUYV luma into a new frame", "BM_YuyvLumaNewFrame", 0},
        {"libv4lconvert YUYV to BGR24", "BM_Libv4lconvertYuyvToBgr24", 0},
    };
    for (const auto& l : kLines) line(l.label, l.function, base, frame, l.target);
  }

 private:
  void line(const char* label, const char* function, Times base, Times frame, double limit) const {
    const Times t = time_of(function);
    if (t.real <= 0) return;
    std::printf("  %-30s %9.1f us %6.2fx %9.1f us %6.2fx | %6.2fx %6.2fx", label, t.real,
                t.real / base.real, t.cpu, t.cpu / base.cpu, t.real / frame.real,
                t.cpu / frame.cpu);
    if (limit > 0) {
      // The CPU times: steadier than the real ones on a busy machine.
      std::printf("  target %.1fx: %s the buffer's copy, %s the frame's", limit,
                  t.cpu / base.cpu <= limit ? "within" : "OVER",
                  t.cpu / frame.cpu <= limit ? "within" : "OVER");
    }
    std::printf("\n");
  }
};

}  // namespace

int main(int argc, char** argv) {
  return noctra::bench::run_with_summary<SummaryReporter>(argc, argv);
}
