// Exposure timing of the desktop program: the whole program (main window,
// Qt event pump, simulated port and sky camera) records on the offscreen
// platform, and the exposure lengths are read back from its timing record.
// Counters, in milliseconds: len_p50/len_p99/len_max |exposure_ms - setting|.
// Arguments: exposure ms, delay ms, exposures, the Star window (0 closed, 1
// open with the main view stretched), guide interval ms (0: no guiding).
// Each case runs with the Star window closed and no guiding as the baseline,
// and again with the window open and guide frames every 100 ms.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "output/timing_log.h"
#include "ui/gui_main.h"
#include "ui/main_window.h"
#include "ui/star_window.h"

namespace noctra {
namespace {

std::vector<double> exposure_column(const std::string& csv) {
  std::ifstream in(csv);
  std::vector<double> values;
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::stringstream row(line);
    std::string field;
    for (int i = 0; i < 4 && std::getline(row, field, ','); ++i) {
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
  std::vector<double> errors;
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
    MainWindow& window = program->main_window();
    if (state.range(3) != 0) {
      window.star_window_action()->trigger();
      window.star_window()->stretch_box()->setChecked(true);
    }
    window.action(Command::Record)->trigger();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (!window.recording()) QApplication::exit(0);
    });
    watch.start(20);
    QApplication::exec();
    program->finish();
    for (double ms : exposure_column(timing_path_for(settings.image_file_path))) {
      errors.push_back(std::abs(ms - exposure));
    }
  }
  state.counters["len_p50"] = percentile(errors, 0.5);
  state.counters["len_p99"] = percentile(errors, 0.99);
  state.counters["len_max"] = percentile(errors, 1.0);
  state.counters["exposures"] = static_cast<double>(errors.size());
}

void timing_cases(benchmark::internal::Benchmark* b) {
  for (const auto& [star_window, guide_ms] : {std::pair{0, 0}, std::pair{1, 100}}) {
    b->Args({100, 0, 20, star_window, guide_ms});
    b->Args({1000, 0, 6, star_window, guide_ms});
    b->Args({1000, 250, 6, star_window, guide_ms});
    b->Args({3000, 0, 3, star_window, guide_ms});
  }
}

BENCHMARK(BM_DesktopExposureTiming)
    ->Apply(timing_cases)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

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
