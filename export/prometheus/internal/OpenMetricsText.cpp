#include "OpenMetricsText.h"

#include <string_view>

#include "ExpositionText.h"

namespace zrprom {

namespace {

constexpr std::string_view kTotal = "_total";

// Appends " <value>\n".
void AppendValue(double v, std::string* out) {
  out->push_back(' ');
  AppendNumber(v, out);
  out->push_back('\n');
}

void AppendCount(std::uint64_t v, std::string* out) {
  out->push_back(' ');
  AppendUnsigned(v, out);
  out->push_back('\n');
}

}  // namespace

void AppendUnixSeconds(std::int64_t unixNanos, std::string* out) {
  // Whole seconds and the fraction apart, so that the fraction keeps what a
  // double of the whole nanosecond count would round away first.
  const std::int64_t seconds = unixNanos / 1000000000;
  const std::int64_t nanos = unixNanos % 1000000000;
  AppendNumber(static_cast<double>(seconds) + static_cast<double>(nanos) / 1e9, out);
}

void OpenMetricsTextSink::BeginFamily(const Family& family) {
  m_type = family.type;
  m_name = family.name;
  if (m_type == MetricType::kCounter && m_name.size() > kTotal.size() &&
      std::string_view(m_name).substr(m_name.size() - kTotal.size()) == kTotal) {
    m_name.resize(m_name.size() - kTotal.size());
  }
  std::string* out = m_out;
  out->append("# TYPE ").append(m_name).push_back(' ');
  out->append(TypeName(family.type)).push_back('\n');
  if (!family.unit.empty()) {
    out->append("# UNIT ").append(m_name).push_back(' ');
    out->append(family.unit).push_back('\n');
  }
  out->append("# HELP ").append(m_name).push_back(' ');
  AppendEscaped(family.help, true, out);
  out->push_back('\n');
}

void OpenMetricsTextSink::AppendCreated(const Metric& m) {
  if (m.createdUnixNanos == 0) return;
  AppendSeries(m_name, "_created", m.labels, nullptr, m_out);
  m_out->push_back(' ');
  AppendUnixSeconds(m.createdUnixNanos, m_out);
  m_out->push_back('\n');
}

void OpenMetricsTextSink::AddMetric(const Metric& m) {
  std::string* out = m_out;
  switch (m_type) {
    case MetricType::kGauge:
      AppendSeries(m_name, "", m.labels, nullptr, out);
      AppendValue(m.value, out);
      return;
    case MetricType::kCounter:
      AppendSeries(m_name, "_total", m.labels, nullptr, out);
      AppendValue(m.value, out);
      AppendCreated(m);
      return;
    case MetricType::kHistogram:
      break;
  }
  const Histogram& h = m.histogram;
  for (const ClassicBucket& b : h.buckets) {
    m_le.clear();
    AppendNumber(b.upperBound, &m_le);
    AppendSeries(m_name, "_bucket", m.labels, &m_le, out);
    AppendCount(b.cumulativeCount, out);
  }
  m_le = "+Inf";
  AppendSeries(m_name, "_bucket", m.labels, &m_le, out);
  AppendCount(h.count, out);
  AppendSeries(m_name, "_count", m.labels, nullptr, out);
  AppendCount(h.count, out);
  AppendSeries(m_name, "_sum", m.labels, nullptr, out);
  AppendValue(h.sum, out);
  AppendCreated(m);
}

void OpenMetricsTextSink::Finish() {
  m_out->append("# EOF\n");
}

void AppendOpenMetricsText(const std::vector<Family>& families, std::string* out) {
  OpenMetricsTextSink sink(out);
  WriteFamilies(families, &sink);
  sink.Finish();
}

}  // namespace zrprom
