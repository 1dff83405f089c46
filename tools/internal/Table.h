// Internal to zrperf-report: the figures of a row and their cells, in the
// forms every table shares: the text table's columns, the JSON members, the
// CSV cells and the window's header. Durations are kept in the counters'
// 100 ns units and written as microseconds with one decimal ("1260.0") in
// JSON and CSV, as the counters' own duration text in tables.
//
// Thread-safety: pure functions of their arguments.

#ifndef ZRPERF_TOOLS_INTERNAL_TABLE_H_
#define ZRPERF_TOOLS_INTERNAL_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Options.h"
#include "ReportInput.h"
#include "Window.h"

namespace zrreport {

// The reported figures of one interval or window; durations in 100 ns units.
struct Figures {
  std::uint64_t samples = 0;
  double seconds = 0;
  std::uint64_t mean = 0, max = 0;
  std::vector<std::uint64_t> p;  // the chosen percentiles, in order
  double Rate() const { return seconds > 0 ? static_cast<double>(samples) / seconds : 0.0; }
};

// A duration in 100 ns units.
std::uint64_t Units(CTimeInterval value);

// The figures of a snapshot over `seconds`.
Figures Of(const CTimeCounterSnapshot& s, double seconds, const std::vector<Stat>& percentiles);

// The figures of one interval: of its histogram, or of its record (a
// percentile the record lacks as 0: RecordsHave() refuses those first).
Figures Of(const Interval& interval, const std::vector<Stat>& percentiles);

// False with `error` set when records are among `intervals` and lack one of
// `percentiles` (a record gives p50, p90, p99 and p99.9).
bool RecordsHave(const std::vector<const Interval*>& intervals,
                 const std::vector<Stat>& percentiles, std::string* error);

// The JSON key or CSV column of a percentile: "p99_9_us".
std::string Key(const Stat& stat);

// 100 ns units as microseconds with one decimal: "1260.0".
std::string Micros(std::uint64_t units);

// The JSON members of the figures from "mean_us" to "max_us".
std::string JsonDurations(const Figures& f, const std::vector<Stat>& percentiles);

// The JSON members of a row's figures, from "samples" on.
std::string JsonFigures(const Figures& f, const std::vector<Stat>& percentiles);

// A right-aligned table column of 10 characters after a space.
std::string Column(const std::string& text);

// The text table's heading row: `lead` (the name and count columns), then
// mean, the percentiles and max, and a line feed.
std::string HeadingRow(const std::string& lead, const std::vector<Stat>& percentiles);

// The window's header: "FROM .. TO (S.S s), N intervals".
std::string WindowText(const Selection& s);

// The window's JSON members: "\"from\": ..., \"to\": ..., \"seconds\": ...,
// \"intervals\": N".
std::string WindowJson(const Selection& s);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_TABLE_H_
