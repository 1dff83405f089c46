#include "CounterFamilies.h"

#include <zrperf/Version.h>
#include <zrperf/counters/MediaSpeedCounterSnapshot.h>
#include <zrperf/counters/TimeCounterSnapshot.h>

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "LabelValue.h"
#include "NativeBuckets.h"

namespace zrprom {

namespace {

constexpr double kUnitsPerSecond = 1e7;
const char kLabel[] = "counter";

// One exported elapsed-time series: the sum of every counter whose name maps
// to its label.
struct ElapsedSeries {
  std::string label;
  std::uint64_t count = 0;
  std::uint64_t totalUnits = 0;
  std::uint64_t minUnits = 0;
  std::uint64_t maxUnits = 0;
  std::vector<std::uint64_t> perBound;  // samples per boundary, not cumulative; last: above all
  NativeHistogram native;
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

// Adds one counter's figures to `series`. Every boundary is the upper bound
// of a counter bucket (schema-4 index `bounds[i]`), so a bucket lies wholly at
// or below the first boundary at or above its own index, and wholly above the
// boundary before it; the zero bucket lies below every boundary.
//
// The count is the sum of the buckets, not the snapshot's own count: a
// snapshot taken while samples arrive may hold a sample in its buckets and not
// yet in its count (or the other way round), and a +Inf bucket below a finite
// one, or a count that is not its native buckets' sum, would break every
// quantile read from the series. Once recording stops the two agree.
void AddSnapshot(const CTimeCounterSnapshot& snap, const std::vector<std::int32_t>& bounds,
                 ElapsedSeries* series) {
  std::uint64_t count = snap.GetZeroCount();
  series->perBound[0] += count;
  for (const CTimeCounterSnapshot::Bucket& b : snap.GetBuckets()) {
    const auto i = static_cast<std::size_t>(
        std::lower_bound(bounds.begin(), bounds.end(), b.index) - bounds.begin());
    series->perBound[i] += b.count;
    count += b.count;
  }
  AddNativeBuckets(snap, &series->native);
  if (count == 0) return;
  const std::uint64_t min = Units(snap.GetMin());
  const std::uint64_t max = Units(snap.GetMax());
  series->minUnits = series->count == 0 ? min : std::min(series->minUnits, min);
  series->maxUnits = std::max(series->maxUnits, max);
  series->count += count;
  series->totalUnits = SaturatingAdd(series->totalUnits, Units(snap.GetTotal()));
}

Family MakeFamily(const char* name, const char* help, MetricType type) {
  Family f;
  f.name = name;
  f.help = help;
  f.type = type;
  return f;
}

Metric Labelled(const std::string& value) {
  Metric m;
  m.labels.push_back(Label{kLabel, value});
  return m;
}

}  // namespace

std::vector<std::int32_t> ClassicBoundIndices(const CPrometheusCollector::Options& options) {
  std::vector<std::int32_t> indices;
  const int step = 16 / static_cast<int>(options.bucketsPerPower);
  for (int index = 16 * options.firstPower; index <= 16 * options.lastPower; index += step)
    indices.push_back(index);
  return indices;
}

std::vector<Family> CollectFamilies(CPerfCounters* counters,
                                    const std::vector<std::int32_t>& boundIndices) {
  Family elapsed =
      MakeFamily("zrperf_elapsed_seconds", "Elapsed time of the samples of each time counter.",
                 MetricType::kHistogram);
  Family minimum =
      MakeFamily("zrperf_elapsed_min_seconds",
                 "Shortest sample of each time counter since it started; 0 without samples.",
                 MetricType::kGauge);
  Family maximum =
      MakeFamily("zrperf_elapsed_max_seconds",
                 "Longest sample of each time counter since it started; 0 without samples.",
                 MetricType::kGauge);
  Family bytes =
      MakeFamily("zrperf_transferred_bytes_total",
                 "Bytes moved by the transfers of each throughput counter.", MetricType::kCounter);
  Family transfers = MakeFamily("zrperf_transfers_total", "Transfers of each throughput counter.",
                                MetricType::kCounter);
  Family transferSeconds =
      MakeFamily("zrperf_transfer_seconds_total",
                 "Summed time of the transfers of each throughput counter.", MetricType::kCounter);
  Family buildInfo =
      MakeFamily("zrperf_build_info", "The zrperf library version; always 1.", MetricType::kGauge);

  if (counters != nullptr) {
    const CPerfCounters::TimeCounterList timeCounters = counters->ListTimeCounters();
    std::vector<ElapsedSeries> series;
    series.reserve(timeCounters.size());
    for (const auto& [name, handle] : timeCounters) {
      std::string label = LabelValueOf(name);
      // Names equal up to their first NUL are adjacent in the list.
      if (series.empty() || series.back().label != label) {
        series.emplace_back();
        series.back().label = std::move(label);
        series.back().perBound.assign(boundIndices.size() + 1, 0);
        series.back().native.present = true;
        series.back().native.schema = kNativeSchema;
      }
      if (handle) AddSnapshot(handle->GetSnapshot(), boundIndices, &series.back());
    }
    elapsed.metrics.reserve(series.size());
    minimum.metrics.reserve(series.size());
    maximum.metrics.reserve(series.size());
    for (ElapsedSeries& e : series) {
      Metric h = Labelled(e.label);
      h.histogram.count = e.count;
      h.histogram.sum = Seconds(e.totalUnits);
      h.histogram.buckets.resize(boundIndices.size());
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i < boundIndices.size(); ++i) {
        cumulative += e.perBound[i];
        h.histogram.buckets[i] =
            ClassicBucket{CTimeCounterSnapshot::BucketUpperSeconds(boundIndices[i]), cumulative};
      }
      h.histogram.native = std::move(e.native);
      elapsed.metrics.push_back(std::move(h));
      minimum.metrics.push_back(Labelled(e.label));
      minimum.metrics.back().value = Seconds(e.minUnits);
      maximum.metrics.push_back(Labelled(e.label));
      maximum.metrics.back().value = Seconds(e.maxUnits);
    }

    const CPerfCounters::MediaSpeedCounterList speedCounters = counters->ListMediaSpeedCounters();
    std::string previous;
    for (const auto& [name, handle] : speedCounters) {
      std::string label = LabelValueOf(name);
      const CMediaSpeedCounterSnapshot snap =
          handle ? handle->GetSnapshot() : CMediaSpeedCounterSnapshot();
      if (bytes.metrics.empty() || previous != label) {
        for (Family* f : {&bytes, &transfers, &transferSeconds})
          f->metrics.push_back(Labelled(label));
        previous = std::move(label);
      }
      bytes.metrics.back().value += static_cast<double>(snap.GetBytes());
      transfers.metrics.back().value += static_cast<double>(snap.GetTransfers());
      transferSeconds.metrics.back().value += Seconds(Units(snap.GetTime()));
    }
  }

  Metric version;
  version.labels.push_back(Label{"version", ZRPERF_VERSION_STRING});
  version.value = 1;
  buildInfo.metrics.push_back(std::move(version));

  std::vector<Family> families;
  families.reserve(7);
  for (Family* f :
       {&elapsed, &minimum, &maximum, &bytes, &transfers, &transferSeconds, &buildInfo}) {
    // A family without a series (no counter of its kind yet) is left out.
    if (!f->metrics.empty()) families.push_back(std::move(*f));
  }
  return families;
}

}  // namespace zrprom
