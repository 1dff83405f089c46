#include "ExpositionText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace zrprom {

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

namespace {

// `v` (finite) as Go's strconv.FormatFloat(v, 'g', -1, 64) writes it, which
// is how Prometheus itself writes a number and so an `le`: the shortest
// digits that read back as `v`, in exponent form when the decimal exponent is
// below -4 or at least 6 (Go decides with precision 6 for the shortest
// form). The same text from the endpoint, the textfile and a Prometheus that
// read the protobuf form keeps one series per boundary.
void AppendFinite(double v, std::string* out) {
  char sci[40];  // at most 24 characters
  const std::to_chars_result end =
      std::to_chars(sci, sci + sizeof(sci), v, std::chars_format::scientific);
  const char* e = std::find(sci, end.ptr, 'e');
  int exponent = 0;
  std::from_chars(e[1] == '+' ? e + 2 : e + 1, end.ptr, exponent);
  if (exponent < -4 || exponent >= 6) {
    out->append(sci, end.ptr);
    return;
  }
  const char* mantissa = sci;
  if (*mantissa == '-') {
    out->push_back('-');
    ++mantissa;
  }
  std::string digits(1, mantissa[0]);
  if (mantissa + 1 < e) digits.append(mantissa + 2, e);  // the digits after the point
  if (exponent < 0) {
    out->append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    return;
  }
  const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out->append(digits).append(whole - digits.size(), '0');
  } else {
    out->append(digits, 0, whole).append(".").append(digits, whole, std::string::npos);
  }
}

}  // namespace

void AppendNumber(double v, std::string* out) {
  if (std::isnan(v)) {
    out->append("NaN");
  } else if (std::isinf(v)) {
    out->append(v > 0 ? "+Inf" : "-Inf");
  } else {
    AppendFinite(v, out);
  }
}

void ExpositionTextSink::BeginFamily(const Family& family) {
  m_name = family.name;
  m_type = family.type;
  m_out->append("# HELP ");
  m_out->append(family.name);
  m_out->push_back(' ');
  AppendEscaped(family.help, false, m_out);
  m_out->append("\n# TYPE ");
  m_out->append(family.name);
  m_out->push_back(' ');
  m_out->append(TypeName(family.type));
  m_out->push_back('\n');
}

void ExpositionTextSink::AddMetric(const Metric& m) {
  std::string* out = m_out;
  if (m_type != MetricType::kHistogram) {
    AppendSeries(m_name, "", m.labels, nullptr, out);
    out->push_back(' ');
    AppendNumber(m.value, out);
    out->push_back('\n');
    return;
  }
  // _count and _sum first, then the buckets, in prometheus-cpp's order.
  const Histogram& h = m.histogram;
  AppendSeries(m_name, "_count", m.labels, nullptr, out);
  out->push_back(' ');
  AppendUnsigned(h.count, out);
  out->push_back('\n');
  AppendSeries(m_name, "_sum", m.labels, nullptr, out);
  out->push_back(' ');
  AppendNumber(h.sum, out);
  out->push_back('\n');
  for (const ClassicBucket& b : h.buckets) {
    m_le.clear();
    AppendNumber(b.upperBound, &m_le);
    AppendSeries(m_name, "_bucket", m.labels, &m_le, out);
    out->push_back(' ');
    AppendUnsigned(b.cumulativeCount, out);
    out->push_back('\n');
  }
  m_le = "+Inf";
  AppendSeries(m_name, "_bucket", m.labels, &m_le, out);
  out->push_back(' ');
  AppendUnsigned(h.count, out);
  out->push_back('\n');
}

void AppendExpositionText(const std::vector<Family>& families, std::string* out) {
  ExpositionTextSink sink(out);
  WriteFamilies(families, &sink);
}

}  // namespace zrprom
