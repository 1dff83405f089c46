// The cost of pushing the counters over OTLP, against baselines measured in
// the same run:
//   - recording while an exporter pushes a 1,000-counter set every second to a
//     loopback receiver, against recording alone;
//   - encoding one request of 1,000 elapsed-time counters (reading them
//     included) against CTimeCounter::AsString() of the same counters, per
//     counter: cumulative at scale 4 without a budget, cumulative within the
//     default budget of 160 buckets (these counters span about 200 at scale
//     4, so every point is lowered), and delta within it (the difference from
//     a reading taken 2,000 samples a counter earlier, 200 since); with the
//     request's bytes per counter, plain and gzip-encoded;
//   - a push of those 1,000 counters end to end on loopback (Flush(): encode,
//     post, answer), plain and gzip;
//   - the exporting thread's CPU time per push, and the share of one core it
//     takes at the default period (60 s).

#include <benchmark/benchmark.h>
#include <time.h>
#include <zrperf/export/otlp/OtlpExporter.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdint>
#include <string>

#include <zrperf/export/internal/Gzip.h>
#include <zrperf/export/otlp/internal/OtlpPayload.h>
#include <zrperf/export/otlp/internal/OtlpTransport.h>
#include <zrperf/tests/support/OtlpReceiver.h>
#include "BenchRatios.h"
#include "BenchSets.h"

namespace {

constexpr int kCounters = 1000;

boost::shared_ptr<CPerfCounters> BusySet() {
  static const boost::shared_ptr<CPerfCounters> set = zrbench::MakeBusySet(kCounters);
  return set;
}

// The set the encoders are timed on: 1,000 counters of 2,200 samples each,
// and a reading of it taken when each had 2,000 (the last accepted push of a
// delta exporter).
struct IntervalSet {
  boost::shared_ptr<CPerfCounters> counters = boost::make_shared<CPerfCounters>();
  zrotlp::Reading acked;
};

const IntervalSet& Intervals() {
  static const IntervalSet set = [] {
    IntervalSet s;
    std::uint64_t n = 0;
    const auto record = [&](int samples) {
      zrbench::RecordSpread(s.counters.get(), kCounters, samples, &n);
    };
    record(2000);
    s.acked = zrotlp::Read(s.counters->ListTimeCounters(), s.counters->ListMediaSpeedCounters(), {},
                           {}, std::chrono::steady_clock::now());
    record(200);
    return s;
  }();
  return set;
}

zrotlp::RequestContext Context() {
  zrotlp::RequestContext c;
  c.resource = {{"service.name", "bench", false, 0},
                {"host.name", "localhost", false, 0},
                {"process.pid", "", true, 1234},
                {"service.instance.id", "0b5c0f4e-8d7a-4c52-9a55-2f1f6f0b8e11", false, 0}};
  c.scopeVersion = "1.0.0";
  c.exporterStart = std::chrono::steady_clock::now();
  return c;
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void RecordInto(benchmark::State& state, CTimeCounter& counter) {
  std::uint64_t i = 0;
  for (auto _ : state) counter.AddSample(CTimeInterval(zrbench::SpreadSampleValue(i++)));
  state.SetItemsProcessed(state.iterations());
}

void BM_AddSample(benchmark::State& state) {
  RecordInto(state, *BusySet()->GetCounter("disk0.read"));
}
// Timed by the wall clock, and by the recording thread's CPU time (its
// items_per_second then counts per CPU second), which a busy machine's other
// threads do not inflate.
BENCHMARK(BM_AddSample)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_AddSample)->MinTime(3.0);

void BM_AddSampleWhilePushed(benchmark::State& state) {
  zrotlp_test::LoopbackReceiver receiver;
  receiver.Keep(false);
  COtlpExporter::Options options;
  options.endpoint = receiver.Url();
  options.period = std::chrono::seconds(1);
  auto exporter = COtlpExporter::Start(options, BusySet());
  RecordInto(state, *BusySet()->GetCounter("disk0.read"));
  state.counters["pushes"] = static_cast<double>(exporter->GetStats().ok);
}
BENCHMARK(BM_AddSampleWhilePushed)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_AddSampleWhilePushed)->MinTime(3.0);

void BM_AsString1000(benchmark::State& state) {
  zrbench::TimeAsStringOf(state, *Intervals().counters);
}
BENCHMARK(BM_AsString1000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AsString1000)->Unit(benchmark::kMicrosecond);  // by CPU time

// Arguments: delta (0 or 1), the bucket budget (0: none).
void BM_Encode1000(benchmark::State& state) {
  const IntervalSet& set = Intervals();
  const zrotlp::RequestContext context = Context();
  const zrotlp::Encoding encoding{state.range(0) != 0, static_cast<std::size_t>(state.range(1))};
  std::string body;
  for (auto _ : state) {
    const CPerfCounters::TimeCounterList times = set.counters->ListTimeCounters();
    const CPerfCounters::MediaSpeedCounterList speeds = set.counters->ListMediaSpeedCounters();
    const auto now = std::chrono::steady_clock::now();
    if (encoding.delta) {  // as the exporter does
      const zrotlp::Reading reading = zrotlp::Read(times, speeds, {}, context.exporterStart, now);
      zrotlp::EncodeRequest(context, zrotlp::Since(reading, set.acked), encoding, &body);
    } else {
      zrotlp::EncodeRequest(context, times, speeds, {}, context.exporterStart, now, encoding,
                            &body);
    }
    benchmark::DoNotOptimize(body.data());
  }
  state.SetItemsProcessed(state.iterations() * kCounters);
  std::string gz;
  zrexport::Gzip(body, &gz, zrexport::kGzipDefault);
  state.counters["bytes_per_counter"] = static_cast<double>(body.size()) / kCounters;
  state.counters["gzip_bytes_per_counter"] = static_cast<double>(gz.size()) / kCounters;
}
BENCHMARK(BM_Encode1000)
    ->Args({0, 0})
    ->Args({0, 160})
    ->Args({1, 160})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
// By the encoding thread's CPU time, which other work on a busy machine does
// not inflate.
BENCHMARK(BM_Encode1000)->Args({0, 160})->Args({1, 160})->Unit(benchmark::kMicrosecond);

// Argument: gzip (0 or 1).
void BM_Push1000(benchmark::State& state) {
  zrotlp_test::LoopbackReceiver receiver;
  receiver.Keep(false);
  COtlpExporter::Options options;
  options.endpoint = receiver.Url();
  options.period = std::chrono::hours(1);
  options.gzip = state.range(0) != 0;
  auto exporter = COtlpExporter::Start(options, BusySet());
  for (auto _ : state) {
    if (!exporter->Flush(std::chrono::seconds(30))) state.SkipWithError("push failed");
  }
  state.SetItemsProcessed(state.iterations() * kCounters);
}
BENCHMARK(BM_Push1000)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The exporting thread's work for one push, timed by that thread's CPU time:
// list, encode, (gzip,) post and read the answer. Argument: gzip.
void BM_PushCpu1000(benchmark::State& state) {
  zrotlp_test::LoopbackReceiver receiver;
  receiver.Keep(false);
  const boost::shared_ptr<CPerfCounters> set = BusySet();
  const zrotlp::RequestContext context = Context();
  zrotlp::TransportOptions options;
  options.url = receiver.Url() + "/v1/metrics";
  options.gzip = state.range(0) != 0;
  zrotlp::Transport transport(options, nullptr);
  std::string body;
  double cpu = 0;
  for (auto _ : state) {
    const double start = ThreadCpuSeconds();
    zrotlp::EncodeRequest(context, set->ListTimeCounters(), set->ListMediaSpeedCounters(), {},
                          context.exporterStart, std::chrono::steady_clock::now(),
                          zrotlp::Encoding{false, 160}, &body);
    if (transport.Post(body).result != zrotlp::Result::kOk) state.SkipWithError("push failed");
    const double used = ThreadCpuSeconds() - start;
    cpu += used;
    state.SetIterationTime(used);
  }
  const double perPush = cpu / static_cast<double>(state.iterations());
  state.counters["cpu_share_at_60s_percent"] = perPush / 60 * 100;
}
BENCHMARK(BM_PushCpu1000)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return zrbench::RunWithRatios(
      argc, argv,
      {{"AddSample while pushed every 1 s (1000 counters) / alone, time",
        "BM_AddSampleWhilePushed/min_time:3.000/real_time", "BM_AddSample/min_time:3.000/real_time",
        "<= 1.05"},
       {"the same by the recording thread's CPU time", "BM_AddSample/min_time:3.000",
        "BM_AddSampleWhilePushed/min_time:3.000", "<= 1.05", true},
       {"OTLP encode within 160 buckets / AsString, per counter, 1000 counters",
        "BM_Encode1000/0/160/real_time", "BM_AsString1000/real_time", "<= 1"},
       {"the same by CPU time", "BM_AsString1000", "BM_Encode1000/0/160", "<= 1", true},
       {"OTLP encode, no budget / AsString, per counter", "BM_Encode1000/0/0/real_time",
        "BM_AsString1000/real_time", "-"},
       {"OTLP delta encode / cumulative, both within 160 buckets", "BM_Encode1000/1/160/real_time",
        "BM_Encode1000/0/160/real_time", "-"},
       {"the same by CPU time", "BM_Encode1000/0/160", "BM_Encode1000/1/160", "-", true},
       {"push of 1000 counters on loopback / AsString of them", "BM_Push1000/0/real_time",
        "BM_AsString1000/real_time", "-"}});
}
