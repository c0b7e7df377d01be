// How exactly exposures are timed on the real clock: the simulated port and
// sky camera, the real sequencer, acquisition and headless event pump, as
// `noctra --headless` runs them. For every exposure, from the first byte of
// its start sequence (0x27) to its trigger byte (0x37), and from its base
// (the instant the sequencer set for it) to that first byte.
//
// Each case runs with the due-time ticks and, as the baseline in the same
// run, with the plain 50 ms tick alone. Counters, in milliseconds:
//   len_p50/len_p99/len_max  |exposure length - setting|
//   late_p50/late_p99/late_max  start after its base
// Long cases: --benchmark_filter=Long (60 s exposures, 10 s delays).
// BM_CalibrationTiming takes the same exposures as a capture of dark frames
// (each frame copied on the tick's thread, combined on the capture's worker)
// beside a recording of them as the baseline.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "app/calibration_run.h"
#include "app/headless.h"
#include "app/sequencer.h"
#include "camera/acquisition.h"
#include "camera/camera_port.h"
#include "camera/sim_sky_camera.h"
#include "camera/still_window.h"
#include "config/timing.h"

namespace noctra {
namespace {

class TimingsOnly : public FrameWriter {
 public:
  void write_frame(const FrameImage* frame, const FrameTiming& timing,
                   const FrameMetadata&) override {
    if (frame != nullptr) timings.push_back(timing);
  }
  void close_recording() override {}
  std::vector<FrameTiming> timings;
};

struct Figures {
  std::vector<double> length_error_ms;
  std::vector<double> late_ms;
};

// One recording (or a capture of dark frames) of `count` exposures; appends
// each exposure's figures.
void record(int32_t exposure, int32_t delay, int32_t count, bool due_ticks, Figures& figures,
            bool calibration = false) {
  SteadyClock clock;
  SystemInstantClock instants;
  std::atomic<bool> interrupt{false};
  HeadlessEventPump pump(
      clock,
      [](int32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms < 5 ? ms : 5)); },
      &interrupt);
  pump.set_due_ticks(due_ticks);
  Settings settings;
  settings.exposure = exposure;
  settings.delay = delay;
  settings.count = count;
  SimPortDevice device;
  CameraPort port(device, &instants);
  StillWindowRegistry windows;
  Acquisition acquisition(port, windows, nullptr);
  auto camera = std::make_unique<SimSkyCamera>(clock, pump, windows, nullptr);
  SimSkyCamera* sky = camera.get();
  acquisition.set_source(std::move(camera));
  TimingsOnly writer;
  std::ostringstream titles;
  HeadlessHost host(titles, pump);
  Sequencer sequencer(settings, clock, port, acquisition, writer, &host);
  CommandRouter router(sequencer, acquisition, nullptr);
  std::vector<int32_t> bases;
  device.add_listener([&](uint8_t byte) {
    sky->on_port_write(byte);
    if (byte == 0x27) bases.push_back(sequencer.exposure_base());
  });
  pump.set_handlers([&] { sequencer.sequencer_tick(); }, [&](Command id) { router.route(id); },
                    [&] { return sequencer.next_due(); });
  if (calibration) {
    const auto folder = std::filesystem::temp_directory_path() / "noctra-bench-calibration";
    sequencer.add_frame_listener([&](const TakenFrame& t) { writer.timings.push_back(t.timing); });
    CalibrationRun run({sequencer, settings, acquisition, clock,
                        [] {
                          return CaptureDevice{"sim", "sim"};
                        },
                        folder});
    if (!run.start(MasterKind::Dark, count)) return;
    pump.run_until([&] { return run.poll().over(); });
    std::filesystem::remove_all(folder);
  } else {
    router.route(Command::Record);
    pump.run_until([&] { return sequencer.capture_state() == CaptureState::Idle; });
  }

  for (std::size_t i = 0; i < writer.timings.size() && i < bases.size(); ++i) {
    const FrameTiming& t = writer.timings[i];
    if (!t.start || !t.end) continue;
    const int64_t length_us = t.end->mono_us - t.start->mono_us;
    figures.length_error_ms.push_back(std::abs(length_us / 1000.0 - exposure));
    // The base is on the 32-bit millisecond clock, the same monotonic clock.
    const auto start_ms = static_cast<int32_t>(static_cast<uint64_t>(t.start->mono_us / 1000));
    const int64_t base_us = (t.start->mono_us / 1000 - wrap_sub(start_ms, bases[i])) * 1000;
    figures.late_ms.push_back((t.start->mono_us - base_us) / 1000.0);
  }
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

void report(benchmark::State& state, const Figures& f) {
  state.counters["len_p50"] = percentile(f.length_error_ms, 0.5);
  state.counters["len_p99"] = percentile(f.length_error_ms, 0.99);
  state.counters["len_max"] = percentile(f.length_error_ms, 1.0);
  state.counters["late_p50"] = percentile(f.late_ms, 0.5);
  state.counters["late_p99"] = percentile(f.late_ms, 0.99);
  state.counters["late_max"] = percentile(f.late_ms, 1.0);
  state.counters["exposures"] = static_cast<double>(f.length_error_ms.size());
}

// Args: exposure ms, delay ms, exposures per recording, due ticks (1) or the plain tick (0).
void BM_ExposureTiming(benchmark::State& state) {
  Figures figures;
  for (auto _ : state) {
    record(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)),
           static_cast<int32_t>(state.range(2)), state.range(3) != 0, figures);
  }
  report(state, figures);
}

void timing_cases(benchmark::internal::Benchmark* b) {
  for (const int due : {1, 0}) {
    b->Args({100, 0, 30, due});
    b->Args({100, 250, 20, due});
    b->Args({1000, 0, 10, due});
    b->Args({1000, 1000, 6, due});
    b->Args({5000, 0, 3, due});
  }
}

BENCHMARK(BM_ExposureTiming)
    ->Apply(timing_cases)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
// Args: exposure ms, delay ms, exposures; calibration (1) or the recording (0).
void BM_CalibrationTiming(benchmark::State& state) {
  Figures figures;
  for (auto _ : state) {
    record(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)),
           static_cast<int32_t>(state.range(2)), true, figures, state.range(3) != 0);
  }
  report(state, figures);
}

BENCHMARK(BM_CalibrationTiming)
    ->Args({100, 0, 32, 1})
    ->Args({100, 0, 32, 0})
    ->Args({1000, 0, 16, 1})
    ->Args({1000, 0, 16, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_ExposureTiming)
    ->Name("Long/BM_ExposureTiming")
    ->Args({60000, 10000, 2, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
}  // namespace noctra

int main(int argc, char** argv) {
  // The long case takes over two minutes: only when asked for by name.
  bool filtered = false;
  for (int i = 1; i < argc; ++i)
    filtered |= std::string_view(argv[i]).starts_with("--benchmark_filter");
  benchmark::Initialize(&argc, argv);
  if (!filtered) benchmark::SetBenchmarkFilter("^BM_");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
