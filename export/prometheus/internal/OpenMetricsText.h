// Internal to libzrperf-prometheus: metric families in the OpenMetrics 1.0
// text format (Content-Type "application/openmetrics-text; version=1.0.0;
// charset=utf-8"), the text Prometheus asks for first when it does not scrape
// native histograms.
//
//   # TYPE <family> counter|gauge|histogram
//   # UNIT <family> <unit>                      (when the family has a unit)
//   # HELP <family> <help>
//   <family>{<label>="<value>",...} <value>                      gauge
//   <family>_total{...} <value>                                  counter
//   <family>_created{...} <start>                                (counter, histogram)
//   <family>_bucket{...,le="<bound>"} <cumulative count>         histogram, then le="+Inf",
//   <family>_count{...} <count>                                  then _count, _sum, _created
//   <family>_sum{...} <sum>
//   # EOF
//
// A counter family's name is the model's without its "_total" suffix, so its
// samples keep the names of the 0.0.4 text (zrperf_transfers_total). `_created`
// is the series' start in seconds since the Unix epoch, written only when it
// is known. Label values and help texts escape backslash, double quote and
// line feed (\\ \" \n); numbers and `le` texts are those of the 0.0.4 text
// (ExpositionText.h), so both name every boundary alike. Native buckets have
// no text form and are left out. A family without series is left out; the
// closing "# EOF" line is always written, by Finish().
//
// Thread-safety: pure functions; a sink is used by one thread at a time.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_OPENMETRICSTEXT_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_OPENMETRICSTEXT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "MetricFamilies.h"

namespace zrprom {

// Appends the text of each family it is fed to `out`; Finish() ends it.
class OpenMetricsTextSink final : public FamilySink {
 public:
  explicit OpenMetricsTextSink(std::string* out) : m_out(out) {}
  void BeginFamily(const Family& family) override;
  void AddMetric(const Metric& metric) override;
  void EndFamily() override {}
  // Appends the closing "# EOF" line.
  void Finish();

 private:
  void AppendCreated(const Metric& metric);

  std::string* m_out;
  std::string m_name;  // the family's name, a counter's without "_total"
  MetricType m_type = MetricType::kGauge;
  std::string m_le;  // scratch for the `le` labels
};

// Appends the whole text of `families`, "# EOF" included, to `out`.
void AppendOpenMetricsText(const std::vector<Family>& families, std::string* out);

// Appends `unixNanos` as seconds since the Unix epoch (a number of the text).
void AppendUnixSeconds(std::int64_t unixNanos, std::string* out);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_OPENMETRICSTEXT_H_
