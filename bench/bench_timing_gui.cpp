// Exposure timing of the desktop program: the whole program (main window,
// Qt event pump, simulated port and sky camera) records on the offscreen
// platform, and the exposure lengths are read back from its timing record.
// Counters, in milliseconds: len_p50/len_p99/len_max |exposure_ms - setting|,
// late_p50/late_p99/late_max how long after its base (the instant the
// sequencer set for it) each exposure's first start byte went out.
// Arguments: exposure ms, delay ms, exposures, the Star window (0 closed, 1
// open with the main view stretched), guide interval ms (0: no guiding), the
// live stack (1: on, its view shown and its panel open).
// Each case runs with the Star window closed and no guiding as the baseline,
// then with guide frames every 100 ms, with those and the Star window open,
// and with all that and the live stack.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/live_stack.h"
#include "camera/camera_setup.h"
#include "camera/port_device.h"
#include "config/settings.h"
#include "output/timing_log.h"
#include "ui/gui_main.h"
#include "ui/main_window.h"
#include "ui/stack_panel.h"
#include "ui/star_window.h"

namespace noctra {
namespace {

// One column of the timing record: 3 the exposure, 5 the start on the
// monotonic clock (ms).
std::vector<double> timing_column(const std::string& csv, int column) {
  std::ifstream in(csv);
  std::vector<double> values;
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::stringstream row(line);
    std::string field;
    for (int i = 0; i <= column && std::getline(row, field, ','); ++i) {
    }
    values.push_back(std::stod(field));
  }
  return values;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

void BM_DesktopExposureTiming(benchmark::State& state) {
  const auto exposure = static_cast<int32_t>(state.range(0));
  std::vector<double> errors, late;
  for (auto _ : state) {
    QTemporaryDir home;
    Settings settings = default_settings(home.path().toStdString());
    settings.port = "sim";
    settings.source = "sim";
    settings.exposure = exposure;
    settings.delay = static_cast<int32_t>(state.range(1));
    settings.count = static_cast<int32_t>(state.range(2));
    settings.image_file_path = (home.path() + "/timing.avi").toStdString();
    settings.guiding = state.range(4) > 0 ? 1 : 0;
    settings.stack_on = state.range(5) != 0 ? 1 : 0;
    if (state.range(4) > 0) settings.guide_interval = static_cast<int32_t>(state.range(4));
    const std::filesystem::path ini = (home.path() + "/Noctra.ini").toStdString();
    if (!save_settings(settings, ini)) {
      state.SkipWithError("cannot write the settings");
      return;
    }
    AppOptions options;
    options.settings_file = ini;
    options.save_settings = false;
    Result<std::unique_ptr<DesktopProgram>> opened = DesktopProgram::open(options);
    if (!opened) {
      state.SkipWithError(opened.message().c_str());
      return;
    }
    std::unique_ptr<DesktopProgram> program = std::move(*opened);
    // The base of each exposure as its first start byte goes out.
    std::vector<int32_t> bases;
    Sequencer& sequencer = program->app().sequencer();
    PortDevice* device = &program->app().camera().port().device();
    if (auto* traced = dynamic_cast<TracingPortDevice*>(device)) device = &traced->inner();
    if (auto* port = dynamic_cast<SimPortDevice*>(device)) {
      port->add_listener([&](uint8_t byte) {
        if (byte == 0x27) bases.push_back(sequencer.exposure_base());
      });
    }
    MainWindow& window = program->main_window();
    if (state.range(3) != 0) {
      window.star_window_action()->trigger();
      window.star_window()->stretch_box()->setChecked(true);
    }
    if (state.range(5) != 0) window.stack_controls()->panel_action()->trigger();
    // Record once the windows are up and painted, as a user would.
    bool started = false;
    QTimer::singleShot(500, &window, [&] {
      window.action(Command::Record)->trigger();
      started = true;
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (started && !window.recording()) QApplication::exit(0);
    });
    watch.start(20);
    QApplication::exec();
    program->finish();
    // After the stack's save, which waits for every frame queued.
    if (state.range(5) != 0) {
      const StackSessionStatus stack = program->app().live_stack().session().status();
      state.counters["stacked"] = static_cast<double>(stack.counts.stacked());
      state.counters["dropped"] = static_cast<double>(stack.counts.of(FrameVerdict::Dropped));
    }
    const std::string timing = timing_path_for(settings.image_file_path);
    for (double ms : timing_column(timing, 3)) errors.push_back(std::abs(ms - exposure));
    const std::vector<double> starts = timing_column(timing, 5);
    for (std::size_t i = 0; i < starts.size() && i < bases.size(); ++i) {
      // The base is the same monotonic clock in whole milliseconds, 32 bits.
      const auto start_ms = static_cast<int64_t>(std::floor(starts[i]));
      late.push_back(starts[i] - static_cast<double>(start_ms) +
                     wrap_sub(static_cast<int32_t>(start_ms), bases[i]));
    }
  }
  state.counters["len_p50"] = percentile(errors, 0.5);
  state.counters["len_p99"] = percentile(errors, 0.99);
  state.counters["len_max"] = percentile(errors, 1.0);
  state.counters["late_p50"] = percentile(late, 0.5);
  state.counters["late_p99"] = percentile(late, 0.99);
  state.counters["late_max"] = percentile(late, 1.0);
  state.counters["exposures"] = static_cast<double>(errors.size());
}

void timing_cases(benchmark::internal::Benchmark* b) {
  for (const auto& [star_window, guide_ms, stack] :
       {std::tuple{0, 0, 0}, std::tuple{0, 100, 0}, std::tuple{1, 100, 0}, std::tuple{1, 100, 1}}) {
    b->Args({100, 0, 30, star_window, guide_ms, stack});
    b->Args({1000, 0, 15, star_window, guide_ms, stack});
    b->Args({1000, 250, 15, star_window, guide_ms, stack});
    b->Args({3000, 0, 5, star_window, guide_ms, stack});
  }
}

BENCHMARK(BM_DesktopExposureTiming)
    ->Apply(timing_cases)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// What the window thread spends on one update of the shown Star window (a
// main and a guide frame's numbers and plots, repainted at once) and, as the
// baseline, on the repaint of the main view that every frame gets: the
// Star window's updates wait whenever the next due moment is nearer than
// kViewWorkMs, so that figure must stay well above them.
FrameImage sky_frame() {
  FrameImage frame = *FrameImage::create(640, 480);
  uint32_t noise = 7;
  for (int32_t r = 0; r < frame.height(); ++r) {
    for (int32_t c = 0; c < frame.width(); ++c) {
      noise = noise * 1664525u + 1013904223u;
      const double d2 = (c - 320.3) * (c - 320.3) + (r - 240.6) * (r - 240.6);
      const double value = 20 + (noise >> 30) + 180 * std::exp(-d2 / 4.5);
      std::memset(frame.row(r) + 3 * c, static_cast<int>(std::min(255.0, value)), 3);
    }
  }
  return frame;
}

void BM_StarWindowUpdate(benchmark::State& state) {
  const FrameHolder frame = sky_frame();
  MainFrameAnalysis main;
  analyse_main_frame(*frame, main);
  GuideFrameAnalysis guide;
  analyse_guide_frame(*frame, 320, 240, guide);
  StarWindow star(nullptr);
  star.show();
  QApplication::processEvents();
  for (auto _ : state) {
    star.show_main(main);
    star.show_guide(guide);
    star.repaint();
    ++main.frame;
    ++guide.frame;
  }
}

void BM_MainViewRepaint(benchmark::State& state) {
  const FrameHolder frame = sky_frame();
  FrameView view(nullptr);
  view.set_frame(&frame);
  view.resize(640, 480);
  view.show();
  QApplication::processEvents();
  for (auto _ : state) view.repaint();
}

// The window thread's part of the live stack when its view changed: the
// stretched stack copied from the worker, and the main view repainted from
// the copy (the repaint alone is BM_MainViewRepaint).
void BM_StackViewRefresh(benchmark::State& state) {
  StackSession session;
  session.start("/nonexistent/stack.avi");
  const FrameHolder frame = sky_frame();
  session.feed(*frame, FrameTiming{}, 0);
  FrameHolder copy;
  uint64_t seen = 0;
  while (!session.copy_view(copy, seen) || !copy) seen = 0;
  FrameView view(nullptr);
  view.set_frame(&copy);
  view.resize(640, 480);
  view.show();
  QApplication::processEvents();
  for (auto _ : state) {
    seen = 0;
    session.copy_view(copy, seen);
    view.repaint();
  }
}

BENCHMARK(BM_MainViewRepaint)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StackViewRefresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StarWindowUpdate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace noctra

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
