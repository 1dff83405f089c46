#include "ScrapeAnswer.h"

#include <zrperf/export/internal/Gzip.h>

#include <stdexcept>

#include "CounterFamilies.h"
#include "ExpositionText.h"
#include "OpenMetricsText.h"
#include "ProtoExposition.h"

namespace zrprom {

void WriteScrapeAnswer(CPerfCounters* counters, const std::vector<std::int32_t>& boundIndices,
                       std::size_t maxNativeBuckets, Format format, bool gzip, std::string* out) {
  std::string plain;
  std::string* body = gzip ? &plain : out;
  body->clear();
  switch (format) {
    case Format::kDelimitedProtobuf: {
      DelimitedFamiliesSink sink(body);
      WriteCounterFamilies(counters, boundIndices, maxNativeBuckets, &sink);
      break;
    }
    case Format::kOpenMetrics: {
      OpenMetricsTextSink sink(body);
      WriteCounterFamilies(counters, boundIndices, maxNativeBuckets, &sink);
      sink.Finish();
      break;
    }
    case Format::kText: {
      ExpositionTextSink sink(body);
      WriteCounterFamilies(counters, boundIndices, maxNativeBuckets, &sink);
      break;
    }
  }
  if (!gzip) return;
  if (!zrexport::Gzip(plain, out)) throw std::runtime_error("gzip failed");
  out->shrink_to_fit();
}

}  // namespace zrprom
