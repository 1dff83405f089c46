// The cost of exporting the counters to Prometheus, against baselines measured
// in the same run:
//   - recording while a collector scrapes the set (100 counters) 10 times a
//     second (on a thread of its own, as an HTTP endpoint would) against
//     recording alone;
//   - one Collect() plus text serialization of 1,000 elapsed-time counters at
//     the default bucket density against CTimeCounter::AsString() of the same
//     1,000 counters (the text of the statistics record), per counter;
//   - the protobuf answer of the same counters, without and with a native
//     bucket budget of 160 (which they fit at schema 4: the budget costs its
//     count only), and of 1,000 counters whose samples span 100 ns to 10 s
//     (about 390 schema-4 buckets each, lowered to schema 2 by the budget),
//     with the bytes per counter of each answer;
//   - the endpoint's text answer as the endpoint gets it (built on its
//     builder thread, its pages handed back to the system when released)
//     against building it in place, plain and gzipped.

#include <benchmark/benchmark.h>
#include <prometheus/text_serializer.h>
#include <zrperf/export/prometheus/PrometheusCollector.h>
#include <boost/make_shared.hpp>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/export/internal/Gzip.h>
#include <zrperf/export/prometheus/internal/CounterFamilies.h>
#include <zrperf/export/prometheus/internal/Negotiation.h>
#include <zrperf/export/prometheus/internal/ProtoExposition.h>
#include <zrperf/export/prometheus/internal/ScrapeAnswer.h>
#include <zrperf/export/prometheus/internal/SharedAnswers.h>
#include "BenchRatios.h"
#include "BenchSets.h"

namespace {

constexpr int kCounters = 1000;

// The 1,000 counters whose text is measured.
boost::shared_ptr<CPerfCounters> BusySet() {
  static const boost::shared_ptr<CPerfCounters> set = zrbench::MakeBusySet(kCounters);
  return set;
}

// 1,000 counters whose samples spread evenly over the logarithm from 100 ns
// to 10 s: 2,000 samples in about 376 of the 427 schema-4 buckets between
// (390 in the spans), 108 at schema 2, where a budget of 160 puts them.
boost::shared_ptr<CPerfCounters> WideSet() {
  static const boost::shared_ptr<CPerfCounters> set = [] {
    auto counters = boost::make_shared<CPerfCounters>();
    std::uint64_t n = 0;
    for (int c = 0; c < kCounters; ++c) {
      boost::shared_ptr<CTimeCounter>& counter =
          counters->GetCounter("wide" + std::to_string(c) + ".read");
      for (int s = 0; s < 2000; ++s) {
        const double fraction = static_cast<double>((n++ * 2654435761u) % 100000) / 100000;
        counter->AddSample(CTimeInterval(std::llround(std::pow(1e8, fraction))));
      }
    }
    return counters;
  }();
  return set;
}

// The set that recording runs against: 100 counters, a service's worth. Each
// scrape of it takes about 2 ms of the scraper's thread; on a machine with
// fewer free cores than threads, that time is taken from the recording thread
// whatever the collector does, which is not what this measures.
boost::shared_ptr<CPerfCounters> ServiceSet() {
  static const boost::shared_ptr<CPerfCounters> set = zrbench::MakeBusySet(100);
  return set;
}

// Scrapes `collector` every 100 ms on its own thread while it lives.
class Scraper {
 public:
  explicit Scraper(const CPrometheusCollector& collector)
      : m_thread([this, &collector] {
          std::unique_lock<std::mutex> lock(m_mutex);
          while (!m_cv.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_stop; })) {
            lock.unlock();
            benchmark::DoNotOptimize(collector.SerializeText());
            ++m_scrapes;
            lock.lock();
          }
        }) {}
  // Stops and joins the thread; the number of scrapes it made.
  int Stop() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
    return m_scrapes;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_stop = false;
  int m_scrapes = 0;  // written by the thread, read after join
  std::thread m_thread;
};

void RecordInto(benchmark::State& state, CTimeCounter& counter) {
  std::uint64_t i = 0;
  for (auto _ : state) counter.AddSample(CTimeInterval(zrbench::SpreadSampleValue(i++)));
  state.SetItemsProcessed(state.iterations());
}

void BM_AddSample(benchmark::State& state) {
  boost::shared_ptr<CTimeCounter> counter = ServiceSet()->GetCounter("disk0.read");
  RecordInto(state, *counter);
}
// Each recording benchmark runs twice: timed by the wall clock, and by the
// recording thread's CPU time (its items_per_second then counts per CPU
// second), which a busy machine's other threads do not inflate.
BENCHMARK(BM_AddSample)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_AddSample)->MinTime(1.0);

void BM_AddSampleWhileScraped(benchmark::State& state) {
  boost::shared_ptr<CPerfCounters> counters = ServiceSet();
  boost::shared_ptr<CTimeCounter> counter = counters->GetCounter("disk0.read");
  CPrometheusCollector collector(counters);
  Scraper scraper(collector);
  RecordInto(state, *counter);
  state.counters["scrapes"] = scraper.Stop();
}
BENCHMARK(BM_AddSampleWhileScraped)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_AddSampleWhileScraped)->MinTime(1.0);

void BM_AsString1000(benchmark::State& state) {
  zrbench::TimeAsStringOf(state, *BusySet());
}
BENCHMARK(BM_AsString1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Argument: boundaries per power of two (1 is the default).
void BM_CollectAndSerialize1000(benchmark::State& state) {
  CPrometheusCollector::Options options;
  options.bucketsPerPower = static_cast<unsigned>(state.range(0));
  CPrometheusCollector collector(BusySet(), options);
  std::size_t bytes = 0;
  for (auto _ : state) bytes = collector.SerializeText().size();
  state.SetItemsProcessed(state.iterations() * kCounters);
  state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_CollectAndSerialize1000)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

// What the endpoint does for a scrape that asks for the protobuf format: the
// families of the set (classic and native buckets from one read of each
// counter), length-delimited. Arguments: gzip the body (1), as for a scraper
// that accepts it; the native bucket budget (0: none); the set (0: busy, 1:
// wide). The counters give the bytes per counter on the wire.
void BM_CollectProtobuf1000(benchmark::State& state) {
  const std::vector<std::int32_t> bounds =
      zrprom::ClassicBoundIndices(CPrometheusCollector::Options());
  const boost::shared_ptr<CPerfCounters> set = state.range(2) != 0 ? WideSet() : BusySet();
  const auto budget = static_cast<std::size_t>(state.range(1));
  std::string body;
  std::string gzipped;
  for (auto _ : state) {
    body.clear();
    {
      zrprom::DelimitedFamiliesSink sink(&body);
      zrprom::WriteCounterFamilies(set.get(), bounds, budget, &sink);
    }
    if (state.range(0) != 0) zrexport::Gzip(body, &gzipped);
  }
  state.SetItemsProcessed(state.iterations() * kCounters);
  state.counters["bytes_per_counter"] =
      static_cast<double>(state.range(0) != 0 ? gzipped.size() : body.size()) / kCounters;
}
BENCHMARK(BM_CollectProtobuf1000)
    ->ArgsProduct({{0, 1}, {0, 160}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// AsString() of the wide set, the baseline of its protobuf answer.
void BM_AsStringWide1000(benchmark::State& state) {
  zrbench::TimeAsStringOf(state, *WideSet());
}
BENCHMARK(BM_AsStringWide1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The text answer, gzipped, for its size on the wire.
void BM_CollectTextGzip1000(benchmark::State& state) {
  CPrometheusCollector collector(BusySet());
  std::string gzipped;
  for (auto _ : state) zrexport::Gzip(collector.SerializeText(), &gzipped);
  state.SetItemsProcessed(state.iterations() * kCounters);
  state.counters["bytes_per_counter"] = static_cast<double>(gzipped.size()) / kCounters;
}
BENCHMARK(BM_CollectTextGzip1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The endpoint's text answer, built in place (second argument 0) or through
// SharedAnswers (1: on its builder thread, released at once as by a scrape
// that reads it, its pages handed back). First argument: gzip it (1).
void BM_ScrapeAnswer1000(benchmark::State& state) {
  const bool gzip = state.range(0) != 0;
  const std::vector<std::int32_t> bounds = zrprom::ClassicBoundIndices({});
  const auto build = [gzip, &bounds](std::string* out) {
    zrprom::WriteScrapeAnswer(BusySet().get(), bounds, 0, zrprom::Format::kText, gzip, out);
  };
  const auto answers = zrprom::SharedAnswers::Create(2, std::chrono::milliseconds(0));
  std::string inPlace;
  for (auto _ : state) {
    if (state.range(1) == 0) build(&inPlace);
    if (state.range(1) == 0) benchmark::DoNotOptimize(inPlace.size());
    if (state.range(1) != 0)
      benchmark::DoNotOptimize(answers->Get(0, build, zrprom::SharedAnswers::Clock::now())->size());
  }
}
BENCHMARK(BM_ScrapeAnswer1000)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return zrbench::RunWithRatios(
      argc, argv,
      {{"AddSample while scraped 10x/s / AddSample alone, time",
        "BM_AddSampleWhileScraped/min_time:1.000/real_time",
        "BM_AddSample/min_time:1.000/real_time", "<= 1.05"},
       {"the same by the recording thread's CPU time", "BM_AddSample/min_time:1.000",
        "BM_AddSampleWhileScraped/min_time:1.000", "<= 1.05", true},
       {"Collect+serialize / AsString, per counter, 1000 counters",
        "BM_CollectAndSerialize1000/1/real_time", "BM_AsString1000/real_time", "<= 3"},
       {"the same at 2 boundaries per power of two", "BM_CollectAndSerialize1000/2/real_time",
        "BM_AsString1000/real_time", "-"},
       {"Collect+protobuf / AsString, per counter, 1000 counters",
        "BM_CollectProtobuf1000/0/0/0/real_time", "BM_AsString1000/real_time", "<= 1"},
       {"the same, gzipped", "BM_CollectProtobuf1000/1/0/0/real_time", "BM_AsString1000/real_time",
        "-"},
       {"the same with a budget of 160 native buckets", "BM_CollectProtobuf1000/0/160/0/real_time",
        "BM_AsString1000/real_time", "<= 1"},
       {"Collect+protobuf / AsString, 100 ns to 10 s counters",
        "BM_CollectProtobuf1000/0/0/1/real_time", "BM_AsStringWide1000/real_time", "-"},
       {"the same with a budget of 160 native buckets", "BM_CollectProtobuf1000/0/160/1/real_time",
        "BM_AsStringWide1000/real_time", "<= 1"},
       {"the text answer as the endpoint gets it / built in place",
        "BM_ScrapeAnswer1000/0/1/real_time", "BM_ScrapeAnswer1000/0/0/real_time", "<= 1.35"},
       {"the same, gzipped", "BM_ScrapeAnswer1000/1/1/real_time",
        "BM_ScrapeAnswer1000/1/0/real_time", "<= 1.1"}});
}
