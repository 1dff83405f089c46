#include "Negotiation.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace zrprom {

const char kProtobufContentType[] =
    "application/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; "
    "encoding=delimited";
const char kTextContentType[] = "text/plain; version=0.0.4; charset=utf-8";
const char kOpenMetricsContentType[] = "application/openmetrics-text; version=1.0.0; charset=utf-8";

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<std::string_view> Split(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    const std::size_t at = s.find(separator);
    parts.push_back(Trim(s.substr(0, at)));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

// The quality `text` gives, per RFC 9110's qvalue: "0" or "1", optionally
// followed by "." and up to three digits (only zeros after a "1"). Anything
// else (a sign, an exponent, "inf", "nan", a fourth decimal, a value above 1,
// quotes, nothing at all) is malformed: false.
bool ParseQuality(std::string_view text, double* quality) {
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return false;
  if (text.size() == 1) {
    *quality = text[0] - '0';
    return true;
  }
  if (text[1] != '.' || text.size() > 5) return false;
  int thousandths = 0;
  for (std::size_t i = 2; i < 5; ++i) {
    const char c = i < text.size() ? text[i] : '0';
    if (c < '0' || c > '9') return false;
    thousandths = thousandths * 10 + (c - '0');
  }
  if (text[0] == '1' && thousandths != 0) return false;
  *quality = (text[0] == '1' ? 1000 : thousandths) / 1000.0;
  return true;
}

// One element of a header list: its value (a media type or coding), its
// parameters and its quality (1 unless q= says otherwise). An element whose
// q= is malformed is ignored, as if the header did not hold it: it neither
// accepts nor refuses anything.
struct Element {
  std::string_view value;
  std::vector<std::pair<std::string_view, std::string_view>> parameters;
  double quality = 1;
  bool ignored = false;
};

Element ParseElement(std::string_view text) {
  const std::vector<std::string_view> parts = Split(text, ';');
  Element e;
  e.value = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t eq = parts[i].find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view name = Trim(parts[i].substr(0, eq));
    std::string_view value = Trim(parts[i].substr(eq + 1));
    if (EqualNoCase(name, "q")) {
      e.ignored = e.ignored || !ParseQuality(value, &e.quality);
      continue;
    }
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    e.parameters.emplace_back(name, value);
  }
  return e;
}

// The value of parameter `name`, or null when it is absent.
const std::string_view* Parameter(const Element& e, std::string_view name) {
  for (const auto& [n, v] : e.parameters)
    if (EqualNoCase(n, name)) return &v;
  return nullptr;
}

bool HasParameter(const Element& e, std::string_view name, std::string_view value) {
  const std::string_view* v = Parameter(e, name);
  return v != nullptr && *v == value;
}

}  // namespace

Format PreferredFormat(std::string_view accept) {
  double protobuf = 0, openMetrics = 0, text = 0;
  for (std::string_view range : Split(accept, ',')) {
    const Element e = ParseElement(range);
    if (e.ignored) continue;
    if (EqualNoCase(e.value, "application/vnd.google.protobuf")) {
      if (HasParameter(e, "proto", "io.prometheus.client.MetricFamily") &&
          HasParameter(e, "encoding", "delimited")) {
        protobuf = std::max(protobuf, e.quality);
      }
    } else if (EqualNoCase(e.value, "application/openmetrics-text")) {
      const std::string_view* version = Parameter(e, "version");
      if (version == nullptr || *version == "1.0.0" || *version == "0.0.1")
        openMetrics = std::max(openMetrics, e.quality);
    } else if (EqualNoCase(e.value, "text/plain") || EqualNoCase(e.value, "text/*") ||
               EqualNoCase(e.value, "*/*")) {
      text = std::max(text, e.quality);
    }
  }
  if (protobuf > 0 && protobuf >= openMetrics && protobuf >= text)
    return Format::kDelimitedProtobuf;
  if (openMetrics > 0 && openMetrics >= text) return Format::kOpenMetrics;
  return Format::kText;
}

bool AcceptsGzip(std::string_view acceptEncoding) {
  // A coding named explicitly decides for itself ("gzip;q=0" refuses gzip
  // whatever "*" says); "*" speaks only for codings not named.
  bool named = false, namedAccepted = false, anyAccepted = false;
  for (std::string_view coding : Split(acceptEncoding, ',')) {
    const Element e = ParseElement(coding);
    if (e.ignored) continue;
    if (EqualNoCase(e.value, "gzip") || EqualNoCase(e.value, "x-gzip")) {
      named = true;
      namedAccepted = namedAccepted || e.quality > 0;
    } else if (e.value == "*") {
      anyAccepted = anyAccepted || e.quality > 0;
    }
  }
  return named ? namedAccepted : anyAccepted;
}

}  // namespace zrprom
