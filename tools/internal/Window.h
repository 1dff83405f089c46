// Internal to zrperf-report: the window a command reports on, and its exact
// merge.
//
// An interval belongs to the window [from, to] when it ends within it
// (from < end <= to): intervals are never cut, so a window's edges move out
// to the edges of the intervals it takes, and the output says which span the
// figures cover. A window's histogram is the Merge() of its intervals'
// snapshots (CTimeCounterSnapshot::FromParts()), so its figures equal those
// the process would have read from one counter fed the same samples.
// "Interval Stats" records hold no histogram: a window of them is refused
// with kNoMerge.
//
// Thread-safety: plain functions on caller-owned data, which they only read.

#ifndef ZRPERF_TOOLS_INTERNAL_WINDOW_H_
#define ZRPERF_TOOLS_INTERNAL_WINDOW_H_

#include <cmath>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "ReportInput.h"

namespace zrreport {

// The intervals of a window.
struct Selection {
  std::vector<const Interval*> intervals;  // in the data's order
  std::vector<std::string> names;          // the counters that have some, ascending
  double first = 0, last = 0;              // the span the intervals cover
};

// Selects the window's intervals of the chosen counters (options.counters,
// from, to). Each --counter glob must match one of `known` (by default the
// data's shown names). False with `error` set when the data is empty, a time
// is malformed, a glob matches nothing or no interval is left.
bool Select(const Dataset& data, const ReportOptions& options, Selection* out, std::string* error,
            const std::set<std::string>* known = nullptr);

// The first eight of `names`, comma separated, for a message.
std::string Known(const std::set<std::string>& names);
std::string Known(const std::vector<std::string>& names);

// A glob that matches exactly `name`.
std::string LiteralGlob(const std::string& name);

// The host of an interval's writer as shown (or its pid, for ordinary logs).
std::string SourceLabel(const Dataset& data, const Interval& i);

// Whether every selected interval has a histogram.
bool AllHistograms(const Selection& selection);

// Why a window of "Interval Stats" records cannot be merged.
extern const char kNoMerge[];

// Per counter (or counter and host): the merged snapshot and its span.
struct Merged {
  CTimeCounterSnapshot snapshot;
  double first = INFINITY, last = -INFINITY;
  std::set<std::string> hosts;
  std::size_t intervals = 0;
};

// Rows keyed by the shown counter name and (with --by-host) the shown host.
using MergedRows = std::map<std::pair<std::string, std::string>, Merged>;

// Merges the selection's intervals per counter (and host, with
// options.byHost) into `rows`. False with kNoMerge when one has no histogram.
bool MergeWindow(const Dataset& data, const ReportOptions& options, const Selection& selection,
                 MergedRows* rows, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_WINDOW_H_
