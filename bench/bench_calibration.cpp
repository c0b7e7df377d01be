// Calibrating one 720 x 576 grey frame (dark scaled from the bias, flat, hot
// pixels from the map, lone hot pixels, k fitted) against a memcpy of the
// frame block in the same run, plus the calibration's parts with k fixed and
// without the lone-pixel scan, so that each cost shows; and the hot pixels of
// a guide frame alone.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/calibration.h"
#include "imaging/frame_image.h"

namespace {

using namespace noctra;

constexpr int32_t kWidth = 720, kHeight = 576;

// A master of the kind with a per-pixel pattern, glow in one corner and a few
// hot pixels, its kept field's rows doubled like the camera's frames.
MasterFrame master(MasterKind kind, double seconds, uint32_t seed) {
  MasterFrame m;
  m.kind = kind;
  m.times = {seconds, seconds};
  m.frames_combined = 16;
  m.image.resize(kWidth, kHeight, 1);
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0, 1);
  for (int32_t y = 0; y < kHeight; y += 2) {
    for (int32_t x = 0; x < kWidth; ++x) {
      const double corner = std::hypot(kWidth - 1 - x, kHeight - 1 - y);
      float v = 0;
      if (kind == MasterKind::Flat) {
        v = 1.0F - 0.3F * float(std::hypot(x - 360, y - 288) / 460) + 0.01F * normal(rng);
      } else {
        v = 10 + 0.5F * normal(rng) +
            float(seconds * (0.5 + 0.15 * normal(rng) + 10 * std::exp(-corner / 50)));
        if (rng() % 5000 == 0) v += float(seconds * 100);
      }
      m.image.plane(0)[y * kWidth + x] = m.image.plane(0)[(y + 1) * kWidth + x] = v;
    }
  }
  return m;
}

struct Masters {
  MasterFrame bias = master(MasterKind::Bias, 0.05, 1);
  MasterFrame dark = master(MasterKind::Dark, 5, 2);
  MasterFrame flat = master(MasterKind::Flat, 1, 3);
};

// A 10 s light frame of an even sky through those masters, with noise.
FrameImage light_frame(const Masters& m) {
  FrameImage frame = *FrameImage::create(kWidth, kHeight);
  const float ratio = (10 - 0.05F) / (5 - 0.05F);
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0, 5);
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
      const float bias = m.bias.image.plane(0)[i];
      const float v = 80 * m.flat.image.plane(0)[i] + bias +
                      ratio * (m.dark.image.plane(0)[i] - bias) + normal(rng);
      const auto byte = static_cast<uint8_t>(std::clamp(v, 0.0F, 255.0F));
      frame.row(y)[3 * x] = frame.row(y)[3 * x + 1] = frame.row(y)[3 * x + 2] = byte;
    }
  }
  return frame;
}

void BM_MemcpyFrame(benchmark::State& state) {
  const FrameImage frame = light_frame(Masters{});
  std::vector<uint8_t> target(frame.block_size());
  for (auto _ : state) {
    std::memcpy(target.data(), frame.block(), frame.block_size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
}

void calibrate(benchmark::State& state, const CalibrationOptions& options) {
  const Masters m;
  const auto calibrator = Calibrator::prepare({&m.bias, &m.dark, &m.flat}, 2);
  const FrameImage frame = light_frame(m);
  FloatPlanes out;
  CalibrationReport report;
  for (auto _ : state) {
    report = calibrator->calibrate(frame, {10, 10}, options, out);
    benchmark::DoNotOptimize(out.samples.data());
  }
  state.counters["k"] = report.k;
  state.counters["hot"] = report.hot_pixels_corrected;
}

void BM_CalibrateKFitted(benchmark::State& state) { calibrate(state, {}); }
void BM_CalibrateKFixed(benchmark::State& state) {
  CalibrationOptions options;
  options.fixed_k = 1;
  calibrate(state, options);
}
void BM_CalibrateKFixedNoLonePixels(benchmark::State& state) {
  CalibrationOptions options;
  options.fixed_k = 1;
  options.lone_hot_pixels = false;
  calibrate(state, options);
}

// What a capture's worker does with 16 dark frames: each added to the
// combiner as it comes, then the clipped mean and the hot-pixel map. The
// baseline copies the same 16 frames.
constexpr int kMasterFrames = 16;

std::vector<FrameImage> dark_frames() {
  const Masters m;
  std::vector<FrameImage> frames;
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0, 2);
  for (int i = 0; i < kMasterFrames; ++i) {
    FrameImage frame = *FrameImage::create(kWidth, kHeight);
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        const float v = m.dark.image.plane(0)[static_cast<std::size_t>(y) * kWidth + x];
        const auto byte = static_cast<uint8_t>(std::clamp(v + normal(rng), 0.0F, 255.0F));
        frame.row(y)[3 * x] = frame.row(y)[3 * x + 1] = frame.row(y)[3 * x + 2] = byte;
      }
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

void BM_MemcpySixteenFrames(benchmark::State& state) {
  const std::vector<FrameImage> frames = dark_frames();
  std::vector<uint8_t> target(frames[0].block_size());
  for (auto _ : state) {
    for (const FrameImage& frame : frames) {
      std::memcpy(target.data(), frame.block(), frame.block_size());
      benchmark::ClobberMemory();
    }
  }
}

void BM_MasterDarkFromSixteenFrames(benchmark::State& state) {
  const std::vector<FrameImage> frames = dark_frames();
  std::size_t hot = 0;
  for (auto _ : state) {
    MasterCombiner combiner(MasterKind::Dark);
    for (const FrameImage& frame : frames) combiner.add(frame, {5, 5});
    const std::optional<MasterFrame> master = combiner.finish();
    hot = find_hot_pixels(master->image, 2)[0].size();
    benchmark::DoNotOptimize(master->image.samples.data());
  }
  state.counters["hot"] = static_cast<double>(hot);
}

BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpySixteenFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MasterDarkFromSixteenFrames)->Unit(benchmark::kMillisecond);
// A guide frame's hot pixels: the dark's map and the lone-pixel scan, in
// the frame's own bytes, as "Hot pixels in guide frames" does.
void BM_GuideFrameHotPixels(benchmark::State& state) {
  const Masters m;
  const auto calibrator = Calibrator::prepare({&m.bias, &m.dark, &m.flat}, 2);
  const FrameImage light = light_frame(m);
  FrameImage frame = light.clone();
  int32_t corrected = 0;
  for (auto _ : state) {
    std::memcpy(frame.pixels(), light.pixels(), light.rows_size());
    corrected = correct_hot_pixels_in_frame(frame, calibrator->hot_pixels(), 2);
    benchmark::DoNotOptimize(frame.pixels());
  }
  state.counters["hot"] = corrected;
}

BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GuideFrameHotPixels)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibrateKFitted)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibrateKFixed)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibrateKFixedNoLonePixels)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
