#include "CounterFamilies.h"

#include <zrperf/Version.h>
#include <zrperf/counters/MediaSpeedCounterSnapshot.h>
#include <zrperf/counters/TimeCounterSnapshot.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include <zrperf/export/internal/LabelValue.h>
#include "NativeBuckets.h"

namespace zrprom {

namespace {

constexpr double kUnitsPerSecond = 1e7;
const char kLabel[] = "counter";

// One exported elapsed-time series: the sum of every counter whose name maps
// to its label. One is reused from series to series, its vectors keeping
// their room.
struct ElapsedSeries {
  std::string label;
  std::uint64_t count = 0;
  std::uint64_t totalUnits = 0;
  std::uint64_t minUnits = 0;
  std::uint64_t maxUnits = 0;
  std::vector<std::uint64_t> perBound;  // samples per boundary, not cumulative; last: above all
  std::int64_t createdUnixNanos = 0;
  // The series' counters' snapshots merged, for the native buckets (which
  // are lowered once, from the sum); `snapshots` counts them.
  CTimeCounterSnapshot merged;
  std::size_t snapshots = 0;

  void Reset(std::string newLabel, std::size_t bounds) {
    label = std::move(newLabel);
    count = totalUnits = minUnits = maxUnits = 0;
    createdUnixNanos = 0;
    perBound.assign(bounds + 1, 0);
    merged = CTimeCounterSnapshot();
    snapshots = 0;
  }
};

// The label and extremes of a series, for the families after the histograms.
struct Extremes {
  std::string label;
  double minSeconds;
  double maxSeconds;
};

// The sums of the throughput counters of one label.
struct SpeedSeries {
  std::string label;
  double bytes = 0;
  double transfers = 0;
  double seconds = 0;
  std::int64_t createdUnixNanos = 0;
};

// A sum of totals held at the largest value, as the counters hold their own.
std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

std::uint64_t Units(const CTimeInterval& t) {
  return t.Get100ns() > 0 ? static_cast<std::uint64_t>(t.Get100ns()) : 0;
}

double Seconds(std::uint64_t units) {
  return static_cast<double>(units) / kUnitsPerSecond;
}

// Folds the start of one more counter into a series' start: the earliest.
void AddStart(std::chrono::steady_clock::time_point start, std::int64_t* created) {
  const std::int64_t nanos = CTimeCounterSnapshot::UnixNanosOf(start);
  if (*created == 0 || nanos < *created) *created = nanos;
}

// Adds one counter's figures to `series`. Every boundary is the upper bound
// of a counter bucket (schema-4 index `bounds[i]`), so a bucket lies wholly at
// or below the first boundary at or above its own index, and wholly above the
// boundary before it; the zero bucket lies below every boundary. Buckets and
// boundaries both ascend, so one walk over both places every bucket.
//
// The count is the sum of the buckets, not the snapshot's own count: a
// snapshot taken while samples arrive may hold a sample in its buckets and not
// yet in its count (or the other way round), and a +Inf bucket below a finite
// one, or a count that is not its native buckets' sum, would break every
// quantile read from the series. Once recording stops the two agree.
void AddSnapshot(CTimeCounterSnapshot&& snap, const std::vector<std::int32_t>& bounds,
                 ElapsedSeries* series) {
  std::uint64_t count = snap.GetZeroCount();
  series->perBound[0] += count;
  std::size_t i = 0;
  for (const CTimeCounterSnapshot::Bucket& b : snap.GetBuckets()) {
    while (i < bounds.size() && bounds[i] < b.index) ++i;
    series->perBound[i] += b.count;
    count += b.count;
  }
  AddStart(snap.GetStart(), &series->createdUnixNanos);
  if (count != 0) {
    const std::uint64_t min = Units(snap.GetMin());
    const std::uint64_t max = Units(snap.GetMax());
    series->minUnits = series->count == 0 ? min : std::min(series->minUnits, min);
    series->maxUnits = std::max(series->maxUnits, max);
    series->count += count;
    series->totalUnits = SaturatingAdd(series->totalUnits, Units(snap.GetTotal()));
  }
  // Nearly every series is one counter: its snapshot is kept, not copied.
  if (series->snapshots++ == 0) {
    series->merged = std::move(snap);
  } else {
    series->merged.Merge(snap);
  }
}

// Writes `series` into the histogram series `metric` (labelled already), its
// native buckets under the budget `maxNativeBuckets` (0: none).
void ToMetric(const ElapsedSeries& series, const std::vector<double>& boundSeconds,
              std::size_t maxNativeBuckets, Metric* metric) {
  metric->labels[0].value = series.label;
  metric->createdUnixNanos = series.createdUnixNanos;
  Histogram& h = metric->histogram;
  h.count = series.count;
  h.sum = Seconds(series.totalUnits);
  h.buckets.resize(boundSeconds.size());
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < boundSeconds.size(); ++i) {
    cumulative += series.perBound[i];
    h.buckets[i] = ClassicBucket{boundSeconds[i], cumulative};
  }
  SetNativeBuckets(series.merged, maxNativeBuckets, &h.native);
}

Family MakeFamily(const char* name, const char* help, const char* unit, MetricType type) {
  Family f;
  f.name = name;
  f.help = help;
  f.unit = unit;
  f.type = type;
  return f;
}

Metric Labelled(const std::string& value) {
  Metric m;
  m.labels.push_back(Label{kLabel, value});
  return m;
}

// One family of values, one series per entry of `items`; a counter's series
// start with their item's.
template <typename Item, typename Value>
void WriteValues(FamilySink* sink, const Family& family, const std::vector<Item>& items,
                 Value value) {
  sink->BeginFamily(family);
  Metric m = Labelled(std::string());
  for (const Item& item : items) {
    m.labels[0].value = item.label;
    m.value = value(item);
    if constexpr (std::is_same_v<Item, SpeedSeries>) m.createdUnixNanos = item.createdUnixNanos;
    sink->AddMetric(m);
  }
  sink->EndFamily();
}

void WriteElapsed(CPerfCounters* counters, const std::vector<std::int32_t>& boundIndices,
                  std::size_t maxNativeBuckets, FamilySink* sink) {
  const CPerfCounters::TimeCounterList timeCounters = counters->ListTimeCounters();
  if (timeCounters.empty()) return;  // no series: the families are left out
  std::vector<double> boundSeconds;
  boundSeconds.reserve(boundIndices.size());
  for (const std::int32_t index : boundIndices)
    boundSeconds.push_back(CTimeCounterSnapshot::BucketUpperSeconds(index));

  sink->BeginFamily(MakeFamily("zrperf_elapsed_seconds",
                               "Elapsed time of the samples of each time counter.", "seconds",
                               MetricType::kHistogram));
  std::vector<Extremes> extremes;
  ElapsedSeries series;
  Metric metric = Labelled(std::string());
  const auto emit = [&] {
    ToMetric(series, boundSeconds, maxNativeBuckets, &metric);
    sink->AddMetric(metric);
    extremes.push_back(
        Extremes{std::move(series.label), Seconds(series.minUnits), Seconds(series.maxUnits)});
  };
  bool open = false;
  for (const auto& [name, handle] : timeCounters) {
    std::string label = zrexport::LabelValueOf(name);
    // Names equal up to their first NUL are adjacent in the list.
    if (!open || series.label != label) {
      if (open) emit();
      series.Reset(std::move(label), boundIndices.size());
      open = true;
    }
    if (handle) AddSnapshot(handle->GetSnapshot(), boundIndices, &series);
  }
  emit();
  sink->EndFamily();

  WriteValues(sink,
              MakeFamily("zrperf_elapsed_min_seconds",
                         "Shortest sample of each time counter since it started; 0 without "
                         "samples.",
                         "seconds", MetricType::kGauge),
              extremes, [](const Extremes& e) { return e.minSeconds; });
  WriteValues(sink,
              MakeFamily("zrperf_elapsed_max_seconds",
                         "Longest sample of each time counter since it started; 0 without "
                         "samples.",
                         "seconds", MetricType::kGauge),
              extremes, [](const Extremes& e) { return e.maxSeconds; });
}

void WriteThroughput(CPerfCounters* counters, FamilySink* sink) {
  const CPerfCounters::MediaSpeedCounterList speedCounters = counters->ListMediaSpeedCounters();
  std::vector<SpeedSeries> series;
  for (const auto& [name, handle] : speedCounters) {
    std::string label = zrexport::LabelValueOf(name);
    const CMediaSpeedCounterSnapshot snap =
        handle ? handle->GetSnapshot() : CMediaSpeedCounterSnapshot();
    if (series.empty() || series.back().label != label) {
      series.emplace_back();
      series.back().label = std::move(label);
    }
    SpeedSeries& s = series.back();
    s.bytes += static_cast<double>(snap.GetBytes());
    s.transfers += static_cast<double>(snap.GetTransfers());
    s.seconds += Seconds(Units(snap.GetTime()));
    if (handle) AddStart(snap.GetStart(), &s.createdUnixNanos);
  }
  if (series.empty()) return;
  WriteValues(sink,
              MakeFamily("zrperf_transferred_bytes_total",
                         "Bytes moved by the transfers of each throughput counter.", "bytes",
                         MetricType::kCounter),
              series, [](const SpeedSeries& s) { return s.bytes; });
  WriteValues(sink,
              MakeFamily("zrperf_transfers_total", "Transfers of each throughput counter.", "",
                         MetricType::kCounter),
              series, [](const SpeedSeries& s) { return s.transfers; });
  WriteValues(sink,
              MakeFamily("zrperf_transfer_seconds_total",
                         "Summed time of the transfers of each throughput counter.", "seconds",
                         MetricType::kCounter),
              series, [](const SpeedSeries& s) { return s.seconds; });
}

}  // namespace

std::vector<std::int32_t> ClassicBoundIndices(const CPrometheusCollector::Options& options) {
  std::vector<std::int32_t> indices;
  const int step = 16 / static_cast<int>(options.bucketsPerPower);
  for (int index = 16 * options.firstPower; index <= 16 * options.lastPower; index += step)
    indices.push_back(index);
  return indices;
}

void WriteCounterFamilies(CPerfCounters* counters, const std::vector<std::int32_t>& boundIndices,
                          std::size_t maxNativeBuckets, FamilySink* sink) {
  if (counters != nullptr) {
    WriteElapsed(counters, boundIndices, maxNativeBuckets, sink);
    WriteThroughput(counters, sink);
  }
  sink->BeginFamily(MakeFamily("zrperf_build_info", "The zrperf library version; always 1.", "",
                               MetricType::kGauge));
  Metric version;
  version.labels.push_back(Label{"version", ZRPERF_VERSION_STRING});
  version.value = 1;
  sink->AddMetric(version);
  sink->EndFamily();
}

std::vector<Family> CollectFamilies(CPerfCounters* counters,
                                    const std::vector<std::int32_t>& boundIndices,
                                    std::size_t maxNativeBuckets) {
  FamilyCollector collector;
  WriteCounterFamilies(counters, boundIndices, maxNativeBuckets, &collector);
  return std::move(collector.families());
}

}  // namespace zrprom
