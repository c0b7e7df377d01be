#pragma once
// The console output of a benchmark program, plus the real and CPU time of
// each benchmark (the medians when run with repetitions) kept for a summary
// printed at the end. On a busy machine the CPU time is the steadier of the
// two.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace noctra::bench {

class TimesReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0;  // microseconds
    double cpu = 0;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (run.error_occurred || !(median || single)) continue;
      const double to_us = 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      times_[run.run_name.function_name + "/" + run.run_name.args] = {
          run.GetAdjustedRealTime() * to_us, run.GetAdjustedCPUTime() * to_us};
    }
  }

  // A benchmark's times by its name and arguments ("640/480"); zero when it
  // did not run.
  Times time_of(const std::string& function, const std::string& args = "") const {
    const auto found = times_.find(function + "/" + args);
    return found == times_.end() ? Times{} : found->second;
  }

 private:
  std::map<std::string, Times> times_;
};

// Runs the benchmarks the command line names, then prints the reporter's
// summary (its print_summary()).
template <typename Reporter>
int run_with_summary(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_summary();
  benchmark::Shutdown();
  return 0;
}

}  // namespace noctra::bench
