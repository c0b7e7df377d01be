// Timing of the pixel operations against a memcpy of the whole frame, measured
// in the same run so that the ratios hold on whatever machine runs them. The
// summary at the end prints the ratios (medians when run with repetitions).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "imaging/field_selection.h"
#include "imaging/frame_image.h"
#include "imaging/guide_star.h"
#include "imaging/hi_res_merge.h"
#include "imaging/star_measure.h"
#include "summary_reporter.h"

namespace {

using noctra::FrameHolder;
using noctra::FrameImage;

// A noisy sky: a level per field plus noise over the whole byte range, so the
// histograms and the tone table are far from trivial. The odd field is the
// brighter one, which makes the merge take its longest path (the main frame
// moves down one row, the first frame gives its odd rows).
FrameImage sky_frame(int32_t width, int32_t height, uint32_t seed) {
  FrameImage frame = *FrameImage::create(width, height);
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> noise(0, 120);
  for (int32_t row = 0; row < height; ++row) {
    const int level = row % 2 ? 120 : 60;
    uint8_t* bytes = frame.row(row);
    for (std::size_t b = 0; b < frame.stride(); ++b)
      bytes[b] = static_cast<uint8_t>(level + noise(generator));
  }
  return frame;
}

int32_t width_of(const benchmark::State& state) { return static_cast<int32_t>(state.range(0)); }
int32_t height_of(const benchmark::State& state) { return static_cast<int32_t>(state.range(1)); }

void BM_MemcpyFrame(benchmark::State& state) {
  const FrameImage frame = sky_frame(width_of(state), height_of(state), 1);
  std::vector<uint8_t> target(frame.block_size());
  for (auto _ : state) {
    std::memcpy(target.data(), frame.block(), frame.block_size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.block_size()));
}

void BM_SelectField(benchmark::State& state) {
  FrameHolder holder = sky_frame(width_of(state), height_of(state), 2);
  for (auto _ : state) {
    noctra::select_field(holder);
    benchmark::ClobberMemory();
  }
}

// Each merge works on a fresh copy of the acquired main frame; the copy is
// made with the clock stopped.
void BM_MergeHiRes(benchmark::State& state) {
  const FrameImage acquired = sky_frame(width_of(state), height_of(state), 3);
  const FrameImage first = sky_frame(width_of(state), height_of(state), 4);
  FrameImage main_frame = acquired.clone();
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(main_frame.pixels(), acquired.pixels(), acquired.rows_size());
    state.ResumeTiming();
    noctra::merge_hi_res(main_frame, first);
    benchmark::ClobberMemory();
  }
}

void BM_MergeStepPlan(benchmark::State& state) {
  const FrameImage main_frame = sky_frame(width_of(state), height_of(state), 3);
  const FrameImage first = sky_frame(width_of(state), height_of(state), 4);
  for (auto _ : state) benchmark::DoNotOptimize(noctra::hi_res::plan_merge(main_frame, first));
}

void BM_MergeStepHistograms(benchmark::State& state) {
  const FrameImage main_frame = sky_frame(width_of(state), height_of(state), 3);
  const FrameImage first = sky_frame(width_of(state), height_of(state), 4);
  noctra::hi_res::Histogram odd_rows, even_rows;
  for (auto _ : state) {
    noctra::hi_res::count_field(first, 1, first.height() / 2, odd_rows);
    noctra::hi_res::count_field(main_frame, 1, main_frame.height() / 2, even_rows);
    benchmark::DoNotOptimize(odd_rows.data());
    benchmark::DoNotOptimize(even_rows.data());
  }
}

void BM_MergeStepToneTable(benchmark::State& state) {
  const FrameImage main_frame = sky_frame(width_of(state), height_of(state), 3);
  const FrameImage first = sky_frame(width_of(state), height_of(state), 4);
  noctra::hi_res::Histogram odd_rows, even_rows;
  noctra::hi_res::count_field(first, 1, first.height() / 2, odd_rows);
  noctra::hi_res::count_field(main_frame, 1, main_frame.height() / 2, even_rows);
  for (auto _ : state)
    benchmark::DoNotOptimize(noctra::hi_res::build_tone_table(odd_rows, even_rows));
}

void BM_MergeStepShift(benchmark::State& state) {
  FrameImage main_frame = sky_frame(width_of(state), height_of(state), 3);
  for (auto _ : state) {
    noctra::hi_res::shift_odd_field_down(main_frame);
    benchmark::ClobberMemory();
  }
}

void BM_MergeStepInterleaveRemap(benchmark::State& state) {
  FrameImage main_frame = sky_frame(width_of(state), height_of(state), 3);
  const FrameImage first = sky_frame(width_of(state), height_of(state), 4);
  noctra::hi_res::Histogram odd_rows, even_rows;
  noctra::hi_res::count_field(first, 1, first.height() / 2, odd_rows);
  noctra::hi_res::count_field(main_frame, 1, main_frame.height() / 2, even_rows);
  const noctra::hi_res::ToneTable table = noctra::hi_res::build_tone_table(odd_rows, even_rows);
  for (auto _ : state) {
    noctra::hi_res::interleave_remapped(main_frame, first, 1, table);
    benchmark::ClobberMemory();
  }
}

void BM_LocateGuideStar(benchmark::State& state) {
  FrameImage frame = sky_frame(width_of(state), height_of(state), 5);
  const int32_t cx = frame.width() / 2, r = frame.height() / 2;
  frame.row(r + 2)[static_cast<std::size_t>(cx + 1) * 3] = 250;
  int32_t x = 0, y = 0;
  for (auto _ : state) {
    noctra::locate_guide_star(frame, cx, frame.height() - r, x, y);
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(y);
  }
}

// A night sky as the simulated camera shows it: a dark background with read
// noise, a couple of hundred stars of FWHM about 2.5 px whose brightness falls
// off as a power law, a bright guide star and some hot pixels.
FrameImage star_field(int32_t width, int32_t height, uint32_t seed) {
  FrameImage frame = *FrameImage::create(width, height);
  std::mt19937 generator(seed);
  std::normal_distribution<double> noise(0.0, 2.0);
  std::vector<double> light(static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
                            20.0);
  std::uniform_real_distribution<double> across(0, width), up(0, height), unit(0, 1);
  const auto add_star = [&](double x, double row, double flux) {
    constexpr double sigma = 2.5 / 2.3548;
    for (int32_t q = std::max(0, static_cast<int32_t>(row) - 5);
         q <= std::min(height - 1, static_cast<int32_t>(row) + 5); ++q) {
      for (int32_t k = std::max(0, static_cast<int32_t>(x) - 5);
           k <= std::min(width - 1, static_cast<int32_t>(x) + 5); ++k) {
        const double d2 = (k - x) * (k - x) + (q - row) * (q - row);
        light[static_cast<std::size_t>(q) * static_cast<std::size_t>(width) +
              static_cast<std::size_t>(k)] +=
            flux / (2 * 3.14159265 * sigma * sigma) * std::exp(-d2 / (2 * sigma * sigma));
      }
    }
  };
  for (int i = 0; i < width * height / 1500; ++i)
    add_star(across(generator), up(generator), 30 / std::pow(unit(generator) + 0.02, 1.2));
  add_star(width / 2 + 0.3, height / 2 - 0.4, 1200);
  for (int32_t q = 0; q < height; ++q) {
    uint8_t* bytes = frame.row(q);
    for (int32_t k = 0; k < width; ++k) {
      const double v = light[static_cast<std::size_t>(q) * static_cast<std::size_t>(width) +
                             static_cast<std::size_t>(k)] +
                       noise(generator);
      const auto byte = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
      bytes[3 * k] = bytes[3 * k + 1] = bytes[3 * k + 2] = byte;
    }
  }
  for (int i = 0; i < 40; ++i) {
    uint8_t* hot = frame.row(static_cast<int32_t>(up(generator)) % height) +
                   3 * (static_cast<int32_t>(across(generator)) % width);
    hot[0] = hot[1] = hot[2] = 255;
  }
  return frame;
}

// The integer locator on the same sky, as a baseline for the two below.
void BM_LocateOnStarField(benchmark::State& state) {
  const FrameImage frame = star_field(width_of(state), height_of(state), 7);
  int32_t x = 0, y = 0;
  for (auto _ : state) {
    noctra::locate_guide_star(frame, frame.width() / 2, frame.height() / 2, x, y);
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(y);
  }
}

void BM_MeasureStarNear(benchmark::State& state) {
  const FrameImage frame = star_field(width_of(state), height_of(state), 7);
  const double x = frame.width() / 2 + 2, y = frame.height() - frame.height() / 2 - 1;
  if (!noctra::measure_star_near(frame, x, y)) state.SkipWithError("no star near the centre");
  for (auto _ : state) benchmark::DoNotOptimize(noctra::measure_star_near(frame, x, y));
}

void BM_MeasureBrightestStar(benchmark::State& state) {
  const FrameImage frame = star_field(width_of(state), height_of(state), 7);
  if (!noctra::measure_brightest_star(frame)) state.SkipWithError("no star found");
  for (auto _ : state) benchmark::DoNotOptimize(noctra::measure_brightest_star(frame));
}

void BM_DrawGuideMarker(benchmark::State& state) {
  FrameImage frame = sky_frame(width_of(state), height_of(state), 6);
  for (auto _ : state) {
    noctra::draw_guide_marker(frame, frame.width() / 2, frame.height() / 2,
                              noctra::kGuideMarkerGreen);
    benchmark::ClobberMemory();
  }
}

void frame_sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_MemcpyFrame)->Apply(frame_sizes);
BENCHMARK(BM_SelectField)->Apply(frame_sizes);
BENCHMARK(BM_MergeHiRes)->Apply(frame_sizes);
BENCHMARK(BM_MergeStepPlan)->Apply(frame_sizes);
BENCHMARK(BM_MergeStepHistograms)->Apply(frame_sizes);
BENCHMARK(BM_MergeStepToneTable)->Apply(frame_sizes);
BENCHMARK(BM_MergeStepShift)->Apply(frame_sizes);
BENCHMARK(BM_MergeStepInterleaveRemap)->Apply(frame_sizes);
BENCHMARK(BM_LocateGuideStar)->Apply(frame_sizes);
BENCHMARK(BM_DrawGuideMarker)->Apply(frame_sizes);
BENCHMARK(BM_LocateOnStarField)->Apply(frame_sizes);
BENCHMARK(BM_MeasureStarNear)->Apply(frame_sizes);
BENCHMARK(BM_MeasureBrightestStar)->Apply(frame_sizes);

// The console output and, at the end, the summary of the ratios.
class SummaryReporter : public noctra::bench::TimesReporter {
 public:
  void print_summary() const {
    std::printf("\nSummary: medians of the repetitions; ratios to the memcpy of the whole frame\n");
    std::printf("  %-22s %12s %7s %12s %7s\n", "", "real", "ratio", "cpu", "ratio");
    for (const char* size : {"640/480", "1920/1080"}) {
      const Times base = time_of("BM_MemcpyFrame", size);
      if (base.real <= 0) continue;
      std::printf("%s\n", size);
      line("memcpy of the frame", "BM_MemcpyFrame", size, base, 0);
      line("select_field", "BM_SelectField", size, base, 1.0);
      line("merge_hi_res", "BM_MergeHiRes", size, base, 10.0);
      line("  field sums", "BM_MergeStepPlan", size, base, 0);
      line("  histograms", "BM_MergeStepHistograms", size, base, 0);
      line("  tone table", "BM_MergeStepToneTable", size, base, 0);
      line("  move down one row", "BM_MergeStepShift", size, base, 0);
      line("  interleave + remap", "BM_MergeStepInterleaveRemap", size, base, 0);
      const Times locate = time_of("BM_LocateGuideStar", size);
      if (locate.real > 0) {
        std::printf("  %-22s %9.3f us %7s %9.3f us %7s  %s (limit 2 us)\n", "locate_guide_star",
                    locate.real, "", locate.cpu, "", locate.real < 2.0 ? "ok" : "OVER");
      }
      for (const auto& [label, function] :
           {std::pair{"measure_star_near", "BM_MeasureStarNear"},
            std::pair{"measure_brightest_star", "BM_MeasureBrightestStar"}}) {
        const Times t = time_of(function, size);
        const Times locate_stars = time_of("BM_LocateOnStarField", size);
        if (t.real <= 0 || locate_stars.real <= 0) continue;
        std::printf("  %-22s %9.3f us %6.2fx %9.3f us %6.2fx  %.0fx the locator's %.3f us", label,
                    t.real, t.real / base.real, t.cpu, t.cpu / base.cpu, t.real / locate_stars.real,
                    locate_stars.real);
        if (std::string(size) == "640/480")
          std::printf("  %s (limit 50 us)", t.real < 50.0 ? "ok" : "OVER");
        std::printf("\n");
      }
      const Times marker = time_of("BM_DrawGuideMarker", size);
      if (marker.real > 0) {
        std::printf("  %-22s %9.3f us %7s %9.3f us\n", "draw_guide_marker", marker.real, "",
                    marker.cpu);
      }
    }
  }

 private:
  void line(const char* label, const char* function, const char* size, Times base,
            double limit) const {
    const Times t = time_of(function, size);
    if (t.real <= 0) return;
    std::printf("  %-22s %9.1f us %6.2fx %9.1f us %6.2fx", label, t.real, t.real / base.real, t.cpu,
                t.cpu / base.cpu);
    if (limit > 0) {
      const bool within = t.real / base.real <= limit && t.cpu / base.cpu <= limit;
      std::printf("  %s (limit %.1fx)", within ? "ok" : "OVER", limit);
    }
    std::printf("\n");
  }
};

}  // namespace

int main(int argc, char** argv) {
  return noctra::bench::run_with_summary<SummaryReporter>(argc, argv);
}
