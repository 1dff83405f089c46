// The histogram log's costs: a statistics pass over 10,000 due counters with
// the log on against the same pass with it off, the bytes of one counter's
// line, and zrperf-report's summary over a day of 1-minute intervals of 100
// counters.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/perf/HistogramLog.h>
#include <zrperf/perf/PerfCntLogger.h>
#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tools/internal/Summary.h>
#include <zrperf/tools/internal/ReportInput.h>
#include "BenchRatios.h"
#include "DiscardingSink.h"

namespace {

const std::string g_dir = [] {
  std::string pattern = (std::filesystem::temp_directory_path() / "histlog-bench-XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) std::abort();
  return pattern;
}();

struct RemoveDir {
  ~RemoveDir() {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
  }
} g_removeDir;

// `n` durations spread evenly over the logarithm between `low` and `high`
// units.
std::vector<long long> Spread(unsigned seed, int n, double low, double high) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> exponent(std::log10(low), std::log10(high));
  std::vector<long long> out;
  for (int i = 0; i < n; ++i) out.push_back(std::llround(std::pow(10.0, exponent(random))));
  return out;
}

// ---- A pass over 10,000 due counters, log off and on ---------------------------

constexpr int kPassCounters = 10000;

// The statistics logger's pass (LogPerfStats(), without its thread) over
// 10,000 counters that each gained 16 samples spread over two decades.
void Pass(benchmark::State& state, bool withLog) {
  PerfCntLogger logger;
  CPerfCounters& set = *logger.GetPerfCounters();
  std::vector<CTimeCounter*> counters;
  for (int i = 0; i < kPassCounters; ++i)
    counters.push_back(set.GetCounter("Service.Operation." + std::to_string(i)).get());
  const std::vector<long long> samples = Spread(1, 64, 100, 10000);  // 10 us .. 1 ms
  HistogramLogOptions options;
  options.keptFiles = 1;
  if (withLog) logger.SetHistogramLog(g_dir + "/pass.hlog", options);
  std::size_t round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (CTimeCounter* c : counters) {
      for (int k = 0; k < 16; ++k) c->AddSample(CTimeInterval(samples[(round + k) % 64]));
    }
    ++round;
    state.ResumeTiming();
    logger.LogPerfStats();
  }
  state.SetItemsProcessed(state.iterations() * kPassCounters);
}

void BM_PassLogOff(benchmark::State& state) {
  Pass(state, false);
}
BENCHMARK(BM_PassLogOff)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_PassLogOn(benchmark::State& state) {
  Pass(state, true);
}
BENCHMARK(BM_PassLogOn)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// ---- Bytes of one line -----------------------------------------------------------

// Counters: bytes of one line for an interval of `range(0)` samples spread
// over two decades ("typical"), and for the widest distribution: every bucket
// of the layout with a large count.
void BM_LineBytes(benchmark::State& state) {
  CTimeCounter typical;
  for (long long s : Spread(2, static_cast<int>(state.range(0)), 100, 10000))
    typical.AddSample(CTimeInterval(s));
  CTimeCounter widest;
  for (std::int32_t i = CTimeCounterSnapshot::kMinBucketIndex;
       i <= CTimeCounterSnapshot::kMaxBucketIndex; ++i) {
    const std::uint64_t units = CTimeCounterSnapshot::BucketUpperUnits(i);
    for (int k = 0; k < 300; ++k) widest.AddSample(CTimeInterval(static_cast<long long>(units)));
  }
  for (int k = 0; k < 100000; ++k) widest.AddSample(CTimeInterval(12345));
  const CTimeCounterSnapshot a = typical.GetSnapshot();
  const CTimeCounterSnapshot b = widest.GetSnapshot();
  std::string line;
  for (auto _ : state) {
    line.clear();
    zrperf::histlog::AppendLine(line, 1765000000.0, 60.0, "Service.Operation.1234", a);
    benchmark::DoNotOptimize(line.data());
  }
  state.counters["typical_bytes"] = static_cast<double>(line.size());
  state.counters["typical_buckets"] = static_cast<double>(a.GetBuckets().size());
  line.clear();
  zrperf::histlog::AppendLine(line, 1765000000.0, 60.0, "Service.Operation.1234", b);
  state.counters["widest_bytes"] = static_cast<double>(line.size());
  state.counters["widest_buckets"] = static_cast<double>(b.GetBuckets().size());
}
BENCHMARK(BM_LineBytes)->Arg(100)->Arg(10000);

// ---- summary over a day of 1-minute intervals of 100 counters ------------------

const std::string& DayLog() {
  static const std::string path = [] {
    const std::string file = g_dir + "/day.hlog";
    std::string error;
    HistogramLogOptions options;
    options.maxBytes = 1ull << 40;
    auto log = CHistogramLog::Open(file, options, &error);
    CHistogramLog::CounterList counters;
    for (int i = 0; i < 100; ++i) {
      counters.emplace_back("Service.Operation." + std::to_string(i),
                            boost::shared_ptr<CTimeCounter>(new CTimeCounter()));
    }
    const std::vector<long long> samples = Spread(3, 4096, 100, 10000);
    for (int minute = 0; minute < 1440; ++minute) {
      for (std::size_t c = 0; c < counters.size(); ++c) {
        for (int k = 0; k < 64; ++k)
          counters[c].second->AddSample(CTimeInterval(samples[(minute * 64 + k + c) % 4096]));
      }
      log->WritePass(counters, 1765000000.0 + 60.0 * minute);
    }
    return file;
  }();
  return path;
}

void BM_SummaryDay(benchmark::State& state) {
  const std::string& file = DayLog();
  for (auto _ : state) {
    zrreport::Dataset data;
    std::string error, text;
    if (!zrreport::ReadInputs({file}, &data, &error) ||
        !zrreport::Summary(data, zrreport::ReportOptions(), &text, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(file)) / 1e6;
}
BENCHMARK(BM_SummaryDay)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  return zrbench::RunWithRatios(
      argc, argv,
      {{"pass over 10k counters: histogram log on / off", "BM_PassLogOn/min_time:2.000",
        "BM_PassLogOff/min_time:2.000", "<= 1.3"}});
}
