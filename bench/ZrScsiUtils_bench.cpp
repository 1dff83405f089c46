// Throughput of the comma-separated value file reader on a 1 MB and a 50 MB
// list, against a baseline measured in the same run: std::getline on ','
// into a vector of strings, without trimming. Two intermediate loops split
// the reader's extra cost into the trim itself (one locale for the whole
// read) and the copy of the global locale that the reader takes per field.
// After the runs it prints each loop's throughput as a ratio of the baseline's.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/algorithm/string/trim.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <locale>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <zrperf/util/ZrScsiUtils.h>

namespace {

namespace fs = std::filesystem;

constexpr int kSizesMb[] = {1, 50};
std::map<int, std::string> g_files;  // size in MB -> list file

// A list like the service's target lists: names of 8 to 40 characters, ", "
// between them and a line break after every eighth.
std::string WriteList(const fs::path& dir, int megabytes) {
  const std::string path = (dir / ("list-" + std::to_string(megabytes) + "mb")).string();
  std::ofstream out(path, std::ios::binary);
  std::mt19937 random(megabytes);
  std::uniform_int_distribution<int> length(8, 40);
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789.:-";
  const size_t target = static_cast<size_t>(megabytes) << 20;
  size_t written = 0;
  for (int n = 0; written < target; ++n) {
    std::string field = "iqn.";
    for (int i = length(random) - 4; i > 0; --i) field += alphabet[random() % alphabet.size()];
    field += (n % 8 == 7) ? ",\n" : ", ";
    out << field;
    written += field.size();
  }
  return path;
}

void SetThroughput(benchmark::State& state, int megabytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fs::file_size(g_files[megabytes])));
}

// trimmed: 0 no trim, 1 trim with one locale for the read, 2 trim with a copy
// of the global locale per field.
template <int trimmed>
void BM_Getline(benchmark::State& state) {
  const int megabytes = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::ifstream in(g_files[megabytes], std::ios_base::in);
    std::vector<std::string> values;
    const std::locale once;
    std::string field;
    while (std::getline(in, field, ',')) {
      if (trimmed == 1) boost::algorithm::trim(field, once);
      if (trimmed == 2) boost::algorithm::trim(field, std::locale());
      values.push_back(field);
    }
    benchmark::DoNotOptimize(values.data());
  }
  SetThroughput(state, megabytes);
}

void BM_Reader(benchmark::State& state) {
  const int megabytes = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::string> values;
    if (ZrScsiUtils::GetCommaSeperatedValues(g_files[megabytes], values).IsError()) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(values.data());
  }
  SetThroughput(state, megabytes);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int megabytes : kSizesMb) b->Arg(megabytes);
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK_TEMPLATE(BM_Getline, 0)->Name("Baseline")->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_Getline, 1)->Name("GetlineTrimOneLocale")->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_Getline, 2)->Name("GetlineTrimLocalePerField")->Apply(Sizes);
BENCHMARK(BM_Reader)->Name("Reader")->Apply(Sizes);

// Prints as usual and keeps each benchmark's throughput by name ("Reader/50"):
// the median when the runs are repeated, else the one run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (run.error_occurred || it == run.counters.end()) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      mb_per_s[run.run_name.str()] = it->second.value / (1 << 20);
    }
  }
  std::map<std::string, double> mb_per_s;
};

}  // namespace

int main(int argc, char** argv) {
  char templ[] = "/tmp/zrscsi-bench-XXXXXX";
  if (mkdtemp(templ) == nullptr) return 1;
  const fs::path dir = templ;
  for (int megabytes : kSizesMb) g_files[megabytes] = WriteList(dir, megabytes);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  fs::remove_all(dir);

  std::printf("\nThroughput as a ratio of the baseline (getline on ',', no trim):\n");
  for (int megabytes : kSizesMb) {
    const std::string size = "/" + std::to_string(megabytes);
    const double base = reporter.mb_per_s["Baseline" + size];
    if (base <= 0) continue;
    std::printf("  %2d MB: baseline %7.1f MB/s\n", megabytes, base);
    for (const char* name : {"GetlineTrimOneLocale", "GetlineTrimLocalePerField", "Reader"}) {
      const auto it = reporter.mb_per_s.find(name + size);
      if (it == reporter.mb_per_s.end()) continue;
      std::printf("         %-26s %7.1f MB/s  %.2fx (%.2fx slower)\n", name, it->second,
                  it->second / base, base / it->second);
    }
  }
  return 0;
}
