// Internal to libzrperf-prometheus: metric families in the Prometheus text
// exposition format 0.0.4 (Content-Type "text/plain; version=0.0.4").
//
//   # HELP <name> <help>
//   # TYPE <name> counter|gauge|histogram
//   <name>{<label>="<value>",...} <value>
//   <name>_count{...} <count>
//   <name>_sum{...} <sum>
//   <name>_bucket{...,le="<bound>"} <cumulative count>   (then le="+Inf")
//
// Label values escape backslash, double quote and line feed (\\ \" \n); help
// texts escape backslash and line feed. Numbers are written as Prometheus
// writes them (Go's shortest 'g' form: the fewest digits that read back as
// the same double, in exponent form below 1e-4 and from 1e6 on: "9.5e-06",
// "0.0001", "1", "128", "1.5e+06", "+Inf", "NaN").
// Native buckets have no text form and are left out. A family without series
// is left out.
//
// Thread-safety: pure functions.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_EXPOSITIONTEXT_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_EXPOSITIONTEXT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "MetricFamilies.h"

namespace zrprom {

// Appends the text of each family it is fed to `out`.
class ExpositionTextSink final : public FamilySink {
 public:
  explicit ExpositionTextSink(std::string* out) : m_out(out) {}
  void BeginFamily(const Family& family) override;
  void AddMetric(const Metric& metric) override;
  void EndFamily() override {}

 private:
  std::string* m_out;
  std::string m_name;
  MetricType m_type = MetricType::kGauge;
  std::string m_le;  // scratch for the `le` labels
};

// Appends the text of `families` to `out`.
void AppendExpositionText(const std::vector<Family>& families, std::string* out);

// Appends the text form of `v` to `out`.
void AppendNumber(double v, std::string* out);

// The pieces shared with the OpenMetrics text (OpenMetricsText.h):
// `text` with backslash and line feed escaped, and the double quote too when
// `quotes`;
void AppendEscaped(const std::string& text, bool quotes, std::string* out);
// `v` in decimal;
void AppendUnsigned(std::uint64_t v, std::string* out);
// `name``suffix`{label="value",...[,le="`*le`"]} (no braces without labels);
void AppendSeries(const std::string& name, const char* suffix, const std::vector<Label>& labels,
                  const std::string* le, std::string* out);
// "counter", "gauge" or "histogram".
const char* TypeName(MetricType type);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_EXPOSITIONTEXT_H_
