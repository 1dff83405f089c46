#include "ExpositionText.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace zrprom {

namespace {

void AppendEscaped(const std::string& text, bool quotes, std::string* out) {
  for (char c : text) {
    if (c == '\\') {
      out->append("\\\\");
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '"' && quotes) {
      out->append("\\\"");
    } else {
      out->push_back(c);
    }
  }
}

void AppendUnsigned(std::uint64_t v, std::string* out) {
  char digits[24];
  const std::to_chars_result r = std::to_chars(digits, digits + sizeof(digits), v);
  out->append(digits, r.ptr);
}

// Appends `name`{labels[,le="bound"]}.
void AppendSeries(const std::string& name, const char* suffix, const std::vector<Label>& labels,
                  const std::string* le, std::string* out) {
  out->append(name);
  out->append(suffix);
  if (labels.empty() && le == nullptr) return;
  out->push_back('{');
  bool first = true;
  for (const Label& l : labels) {
    if (!first) out->push_back(',');
    first = false;
    out->append(l.name);
    out->append("=\"");
    AppendEscaped(l.value, true, out);
    out->push_back('"');
  }
  if (le != nullptr) {
    if (!first) out->push_back(',');
    out->append("le=\"");
    out->append(*le);
    out->push_back('"');
  }
  out->push_back('}');
}

const char* TypeName(MetricType type) {
  switch (type) {
    case MetricType::kCounter:
      return "counter";
    case MetricType::kGauge:
      return "gauge";
    case MetricType::kHistogram:
      return "histogram";
  }
  return "untyped";
}

}  // namespace

void AppendNumber(double v, std::string* out) {
  if (std::isnan(v)) {
    out->append("NaN");
  } else if (std::isinf(v)) {
    out->append(v > 0 ? "+Inf" : "-Inf");
  } else {
    char digits[32];
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof(digits), v);
    out->append(digits, r.ptr);
  }
}

void AppendExpositionText(const std::vector<Family>& families, std::string* out) {
  std::string le;
  for (const Family& f : families) {
    if (f.metrics.empty()) continue;
    out->append("# HELP ");
    out->append(f.name);
    out->push_back(' ');
    AppendEscaped(f.help, false, out);
    out->append("\n# TYPE ");
    out->append(f.name);
    out->push_back(' ');
    out->append(TypeName(f.type));
    out->push_back('\n');
    for (const Metric& m : f.metrics) {
      if (f.type != MetricType::kHistogram) {
        AppendSeries(f.name, "", m.labels, nullptr, out);
        out->push_back(' ');
        AppendNumber(m.value, out);
        out->push_back('\n');
        continue;
      }
      // _count and _sum first, then the buckets, in prometheus-cpp's order:
      // the endpoint's text and CPrometheusCollector::SerializeText() differ
      // only where prometheus-cpp's 16 significant digits are not the
      // shortest exact form (8.899999999999999e-06 for 8.9e-06).
      const Histogram& h = m.histogram;
      AppendSeries(f.name, "_count", m.labels, nullptr, out);
      out->push_back(' ');
      AppendUnsigned(h.count, out);
      out->push_back('\n');
      AppendSeries(f.name, "_sum", m.labels, nullptr, out);
      out->push_back(' ');
      AppendNumber(h.sum, out);
      out->push_back('\n');
      for (const ClassicBucket& b : h.buckets) {
        le.clear();
        AppendNumber(b.upperBound, &le);
        AppendSeries(f.name, "_bucket", m.labels, &le, out);
        out->push_back(' ');
        AppendUnsigned(b.cumulativeCount, out);
        out->push_back('\n');
      }
      le = "+Inf";
      AppendSeries(f.name, "_bucket", m.labels, &le, out);
      out->push_back(' ');
      AppendUnsigned(h.count, out);
      out->push_back('\n');
    }
  }
}

}  // namespace zrprom
