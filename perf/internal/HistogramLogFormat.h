// Internal to libzrperf (and compiled into zrperf-report): the text of the
// histogram log, written by CHistogramLog and read back by the report tool.
// docs/histogram-log.md describes the format; this is its one implementation.
//
// A file is a header of '#' lines followed by interval lines:
//
//   #zrperf-histogram-log 1
//   #buckets schema=4 index=-372..208 zero=0
//   #unit 100ns
//   #host <escaped host name>
//   #pid <process id>
//   #start <Unix seconds, 6 decimals> <the same in ISO 8601 UTC>
//   #fields end interval name count total min max zero buckets
//
// and then, per counter and pass, nine fields separated by tabs:
//
//   <end: Unix seconds, 6 decimals> <interval seconds, 6 decimals>
//   <name, escaped as in records, NULs included as \x00> <count>
//   <total units> <min units> <max units> <zero count> <buckets>
//
// A minimum or maximum that is a bound rather than the exact extreme (see
// CTimeCounterSnapshot::IsMinExact()) starts with '~'. <buckets> is '-' for
// none, otherwise the unpadded base64 (RFC 4648 alphabet) of, per non-empty
// bucket in ascending index order, two unsigned LEB128 varints: the number of
// empty indices skipped since the previous bucket (from kMinBucketIndex for
// the first) and the bucket's count.
//
// Thread-safety: pure functions of their arguments.

#ifndef ZRPERF_PERF_INTERNAL_HISTOGRAMLOGFORMAT_H_
#define ZRPERF_PERF_INTERNAL_HISTOGRAMLOGFORMAT_H_

#include <cstdint>
#include <string>
#include <vector>

#include <zrperf/counters/TimeCounterSnapshot.h>

namespace zrperf {
namespace histlog {

constexpr char kMagic[] = "#zrperf-histogram-log";
constexpr int kVersion = 1;
constexpr char kBucketLayout[] = "schema=4 index=-372..208 zero=0";

// The header block of a file, each line ending in '\n'. `startUnix` is the
// writer's start time.
std::string HeaderText(const std::string& host, long pid, double startUnix);

// The name of the n-th kept file (n >= 1, 1 the newest) of a rotated log:
// "app.log" -> "app.<n>.log"; a name without an extension (or a dot file)
// gets ".<n>" appended.
std::string RotatedName(const std::string& path, std::size_t n);

// Appends one interval line, '\n' included.
void AppendLine(std::string& out, double endUnix, double seconds, const std::string& name,
                const CTimeCounterSnapshot& interval);

// One interval line, parsed.
struct IntervalLine {
  double end = 0;      // Unix seconds
  double seconds = 0;  // interval length
  std::string name;    // unescaped, NULs included
  std::uint64_t count = 0;
  std::uint64_t total = 0;
  std::uint64_t min = 0;
  std::uint64_t max = 0;
  bool minExact = true;
  bool maxExact = true;
  std::uint64_t zero = 0;
  std::vector<CTimeCounterSnapshot::Bucket> buckets;  // index and count; low/high unset
  std::string bucketText;                             // the field as written

  // The figures as a snapshot of the library (low/high filled in).
  CTimeCounterSnapshot ToSnapshot() const;
};

// Parses the line `text` (without its '\n') in the writer's form only: nine
// fields; the end and the interval as digits with at most one point and six
// decimals, at most 24 characters, the end with at most 10 digits before the
// point; a non-empty name; the numbers as decimal digits that fit 64 bits (20
// at most), the extremes with an optional '~', the minimum not above the
// maximum; the bucket field as DecodeBuckets() takes it. On failure returns
// false and sets `why` to a short reason.
bool ParseLine(const std::string& text, IntervalLine* line, std::string* why);

// Decodes a bucket field ('-' or base64) into `buckets` (index and count):
// the base64 well-formed (DecodeBase64()) and not empty, the varints whole,
// every index within kMinBucketIndex..kMaxBucketIndex, every count above 0.
bool DecodeBuckets(const std::string& field, std::vector<CTimeCounterSnapshot::Bucket>* buckets,
                   std::string* why);

// The base64 and varint layers, exposed for the size figures and tests.
// DecodeBase64() takes the unpadded RFC 4648 alphabet only, a length that is
// not 1 more than a multiple of 4, and zero bits after the last byte.
void AppendBase64(std::string& out, const std::string& bytes);
bool DecodeBase64(const std::string& text, std::string* bytes);

}  // namespace histlog
}  // namespace zrperf

#endif  // ZRPERF_PERF_INTERNAL_HISTOGRAMLOGFORMAT_H_
