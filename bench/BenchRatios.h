// Benchmark support: runs the registered benchmarks and prints ratios between
// their results, measured in the same run.
//
//   int main(int argc, char** argv) {
//     return zrbench::RunWithRatios(argc, argv, {
//         {"Instance() vs local static", "BM_Instance", "BM_LocalStatic", "<= 1.5"}});
//   }
//
// Each ratio is time(numerator) / time(denominator) per iteration (real time,
// or the "items_per_second" rate when `by_rate` is set, numerator over
// denominator). Names match a benchmark's full name (with /arguments and
// /threads:N) exactly. Ratios are printed as one line each:
//   RATIO | <label> | <value> | target <target>
// so that scripts can collect them into one table.

#ifndef ZRPERF_BENCH_BENCHRATIOS_H_
#define ZRPERF_BENCH_BENCHRATIOS_H_

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace zrbench {

struct Ratio {
  std::string label;
  std::string numerator;
  std::string denominator;
  std::string target;  // text only, e.g. "<= 1.5"
  bool by_rate = false;
};

// Keeps every run's figures while printing as usual.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string name = run.benchmark_name();
      if (run.run_type == Run::RT_Aggregate) name = name.substr(0, name.rfind('_'));
      Figures& f = figures_[name];
      f.seconds_per_iteration =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) f.rate = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  struct Figures {
    double seconds_per_iteration = 0;
    double rate = 0;
  };
  const std::map<std::string, Figures>& figures() const { return figures_; }

 private:
  std::map<std::string, Figures> figures_;
};

inline int RunWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& figures = reporter.figures();
  std::printf("\n");
  for (const Ratio& r : ratios) {
    auto n = figures.find(r.numerator);
    auto d = figures.find(r.denominator);
    if (n == figures.end() || d == figures.end()) continue;  // filtered out
    double value = r.by_rate ? n->second.rate / d->second.rate
                             : n->second.seconds_per_iteration / d->second.seconds_per_iteration;
    std::printf("RATIO | %s | %.2f | target %s\n", r.label.c_str(), value, r.target.c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace zrbench

#endif  // ZRPERF_BENCH_BENCHRATIOS_H_
