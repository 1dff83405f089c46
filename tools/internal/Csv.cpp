#include "Csv.h"

#include <utility>

#include "ReportText.h"
#include "Table.h"
#include "Window.h"

namespace zrreport {

bool Csv(const Dataset& data, const ReportOptions& options, std::string* out, std::string* error) {
  Selection selection;
  if (!Select(data, options, &selection, error)) return false;
  const std::vector<Stat> percentiles = Percentiles(options);
  if (!RecordsHave(selection.intervals, percentiles, error)) return false;
  std::string text = "[";
  if (!options.json) {
    text = "end,end_unix,interval_s,host,pid,counter,samples,rate,mean_us";
    for (const Stat& stat : percentiles) text += "," + Key(stat);
    text += ",max_us\n";
  }
  bool first = true;
  for (const Interval* i : selection.intervals) {
    const Figures f = Of(*i, percentiles);
    const Source& s = data.sources[i->source];
    const std::string host = ShownName(s.host);
    const std::string name = ShownName(i->name);
    if (options.json) {
      text += first ? "\n  " : ",\n  ";
      text += "{\"end\": " + JsonString(IsoTime(i->end, true)) +
              ", \"end_unix\": " + JsonNumber(i->end, 6) +
              ", \"interval_s\": " + JsonNumber(i->seconds, 6) + ", \"host\": " + JsonString(host) +
              ", \"pid\": " + std::to_string(s.pid) + ", \"counter\": " + JsonString(name) +
              ", \"samples\": " + std::to_string(f.samples) +
              ", \"rate\": " + JsonNumber(f.Rate(), 3) + ", " + JsonDurations(f, percentiles) + "}";
    } else {
      text += CsvCell(IsoTime(i->end, true)) + "," + Format("%.6f", i->end) + "," +
              Format("%.6f", i->seconds) + "," + CsvCell(host) + "," + std::to_string(s.pid) + "," +
              CsvCell(name) + "," + std::to_string(f.samples) + "," + Format("%.3f", f.Rate()) +
              "," + Micros(f.mean);
      for (const std::uint64_t value : f.p) text += "," + Micros(value);
      text += "," + Micros(f.max) + "\n";
    }
    first = false;
  }
  if (options.json) text += "\n]\n";
  *out = std::move(text);
  return true;
}

}  // namespace zrreport
