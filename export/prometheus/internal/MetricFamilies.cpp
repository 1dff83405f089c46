#include "MetricFamilies.h"

namespace zrprom {

void WriteFamilies(const std::vector<Family>& families, FamilySink* sink) {
  for (const Family& f : families) {
    if (f.metrics.empty()) continue;
    sink->BeginFamily(f);
    for (const Metric& m : f.metrics) sink->AddMetric(m);
    sink->EndFamily();
  }
}

void FamilyCollector::BeginFamily(const Family& family) {
  Family f;
  f.name = family.name;
  f.help = family.help;
  f.unit = family.unit;
  f.type = family.type;
  m_families.push_back(std::move(f));
}

void FamilyCollector::AddMetric(const Metric& metric) {
  m_families.back().metrics.push_back(metric);
}

}  // namespace zrprom
