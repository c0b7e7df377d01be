// Exposure timing of the desktop program: the whole program (main window,
// Qt event pump, simulated port and sky camera) records on the offscreen
// platform, and the exposure lengths are read back from its timing record.
// Counters, in milliseconds: len_p50/len_p99/len_max |exposure_ms - setting|.
// Arguments: exposure ms, delay ms, exposures.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "output/timing_log.h"
#include "ui/gui_main.h"
#include "ui/main_window.h"

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

BENCHMARK(BM_DesktopExposureTiming)
    ->Args({100, 0, 20})
    ->Args({1000, 250, 6})
    ->Args({3000, 0, 3})
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
