// Internal to zrperf-report: reading its input files into one list of
// intervals.
//
// Two kinds of file are read:
// - histogram logs (perf/HistogramLog.h): every line is one counter's
//   interval with its histogram, so windows merge exactly;
// - ordinary logs of the log sink, from which the "Interval Stats" records
//   are taken: per-interval figures only (no histogram), so a window of
//   several intervals cannot be merged exactly from them.
// A path names a file; the rotated files beside a histogram log
// ("<stem>.1<ext>", "<stem>.2<ext>", ...) are read with it. A file named
// twice is read once.
//
// Only regular files are read (a link to one is followed), through the file
// seam (zrfw::Files()): a directory, a FIFO or a device is refused with one
// message, and nothing is waited for (the file is opened and read with
// O_NONBLOCK). A file is read as far as it reached when it was opened (what
// a writer appends meanwhile is left for the next report), as a stream of
// lines of at most kMaxLineBytes bytes (without the line feed); a longer line
// is skipped with a warning, so memory stays bounded by what the lines hold,
// whatever the file's size.
//
// The first line tells the kind of file: a histogram log starts with
// "#zrperf-histogram-log 1". Faults are one-line messages naming the file
// (and line): a file of neither kind, an empty one, a histogram log of
// another format version, bucket layout or unit. In a histogram log, a line
// that does not parse (histlog::ParseLine()), a last line without its line
// feed, and a header line after the first that is the start of the one
// expected ("#unit 10", "#zrperf-histogram-log") are torn: a write cut short
// by a kill or a full disk, followed by whatever was written next (the same
// writer's lines, another writer's header block, or glued to the torn line,
// another writer's lines). Each is skipped and the rest of the file read;
// the file gets one warning, naming the first torn line, its reason, and how
// many more were skipped up to which line. A header line that follows
// interval lines without a block's first line before it starts a writer of
// its own (the block's first line was glued to a torn line). File names and
// the pieces of a file quoted in messages are in ShownName() form
// (ReportText.h).
//
// Thread-safety: plain functions on caller-owned data.

#ifndef ZRPERF_TOOLS_INTERNAL_REPORTINPUT_H_
#define ZRPERF_TOOLS_INTERNAL_REPORTINPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <zrperf/counters/TimeCounterSnapshot.h>

namespace zrreport {

// The longest line read: far above any line a writer makes (a histogram
// line with every bucket is about 2.2 KB plus its name).
constexpr std::size_t kMaxLineBytes = 1 << 20;

// One writer of intervals: a histogram log's header block, or a process of
// an ordinary log.
struct Source {
  std::string file;
  std::string host;  // unescaped; "" when the file does not say (ordinary logs)
  long pid = 0;
};

// Figures of an "Interval Stats" line, in 100 ns units (as the record's
// two-decimal texts give them).
struct RecordFigures {
  std::uint64_t mean = 0, p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
};

struct Interval {
  std::string name;    // the counter's name, unescaped
  double end = 0;      // Unix seconds
  double seconds = 0;  // length
  std::size_t source = 0;
  std::uint64_t count = 0;
  bool hasHistogram = true;
  // A histogram log's line: the fields needed to rebuild its snapshot.
  std::uint64_t total = 0, min = 0, max = 0, zero = 0;
  bool minExact = true, maxExact = true;
  std::string buckets;  // the line's bucket field, decoded on demand
  // An "Interval Stats" line (hasHistogram false).
  RecordFigures record;

  // The interval as a snapshot of the library. REQUIRES: hasHistogram.
  CTimeCounterSnapshot Snapshot() const;
};

struct Dataset {
  std::vector<Source> sources;
  std::vector<Interval> intervals;  // ascending end, then name, then source
  std::vector<std::string> warnings;
  bool anyRecords = false;  // some intervals came from "Interval Stats" records
  bool anyHistograms = false;
};

// Reads `paths` (and rotated siblings) into `data`. False with `error` set
// on the first fault.
bool ReadInputs(const std::vector<std::string>& paths, Dataset* data, std::string* error);

// Reads one file's text, as ReadInputs() does for each file's bytes; `name`
// is used in messages.
bool ReadText(const std::string& name, const std::string& text, Dataset* data, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_REPORTINPUT_H_
