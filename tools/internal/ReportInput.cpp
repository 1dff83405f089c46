#include "ReportInput.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>

#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/util/internal/RecordText.h>

namespace zrreport {

namespace histlog = zrperf::histlog;

namespace {

const char kRecordsMarker[] = "] Interval Stats: ";
const char kRecordLinePrefix[] = "\t\t\t\t";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The file's lines; `endsInLineFeed` tells whether the last one was complete.
std::vector<std::string> SplitLines(const std::string& text, bool* endsInLineFeed) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t feed = text.find('\n', start);
    if (feed == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, feed - start));
    start = feed + 1;
  }
  *endsInLineFeed = text.empty() || text.back() == '\n';
  return lines;
}

// ---- Histogram logs -------------------------------------------------------------

bool ReadHistogramLog(const std::string& name, const std::vector<std::string>& lines,
                      bool endsInLineFeed, Dataset* data, std::string* error) {
  const std::string where = name + ":";
  std::size_t source = 0;
  histlog::IntervalLine parsed;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const std::string at = where + std::to_string(i + 1) + ": ";
    if (line.empty()) continue;
    if (line[0] == '#') {
      const std::size_t space = line.find(' ');
      const std::string key = line.substr(0, space);
      const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
      if (key == histlog::kMagic) {
        if (value != std::to_string(histlog::kVersion)) {
          *error = at;
          error->append("histogram log format version '")
              .append(value)
              .append("' is not supported (this zrperf-report reads version ")
              .append(std::to_string(histlog::kVersion))
              .append(")");
          return false;
        }
        data->sources.push_back(Source{name, "", 0});
        source = data->sources.size() - 1;
      } else if (key == "#buckets" && value != histlog::kBucketLayout) {
        *error = at;
        error->append("unknown bucket layout '")
            .append(value)
            .append("' (expected '")
            .append(histlog::kBucketLayout)
            .append("')");
        return false;
      } else if (key == "#unit" && value != "100ns") {
        *error = at;
        error->append("unknown unit '").append(value).append("' (expected '100ns')");
        return false;
      } else if (key == "#host") {
        data->sources[source].host = zrperf::UnescapeRecordText(value);
      } else if (key == "#pid") {
        data->sources[source].pid = std::strtol(value.c_str(), nullptr, 10);
      }
      continue;  // other '#' lines are comments
    }
    std::string why;
    if (!histlog::ParseLine(line, &parsed, &why)) {
      // A line cut short by a kill: the file's unfinished last line, or the
      // last line before a restart's header.
      std::size_t next = i + 1;
      while (next < lines.size() && lines[next].empty()) ++next;
      const bool last = i + 1 == lines.size() && !endsInLineFeed;
      const bool beforeRestart = next < lines.size() && StartsWith(lines[next], histlog::kMagic);
      if (last || beforeRestart) {
        data->warnings.push_back(
            std::string(at).append("skipped a torn line (").append(why).append(")"));
        continue;
      }
      *error = at;
      error->append("corrupt line: ").append(why);
      return false;
    }
    if (i + 1 == lines.size() && !endsInLineFeed) {
      // Whole fields, but the line feed is missing: the write may have been
      // cut inside the last field.
      data->warnings.push_back(at + "skipped a torn line (no line feed)");
      continue;
    }
    Interval interval;
    interval.name = std::move(parsed.name);
    interval.end = parsed.end;
    interval.seconds = parsed.seconds;
    interval.source = source;
    interval.count = parsed.count;
    interval.total = parsed.total;
    interval.min = parsed.min;
    interval.max = parsed.max;
    interval.minExact = parsed.minExact;
    interval.maxExact = parsed.maxExact;
    interval.zero = parsed.zero;
    interval.buckets = std::move(parsed.bucketText);
    data->intervals.push_back(std::move(interval));
    data->anyHistograms = true;
  }
  return true;
}

// ---- "Interval Stats" records of the ordinary log -------------------------------

// "1.21ms", "700ns", "12.34us", "1.20s" in 100 ns units.
bool ParseDuration(const std::string& text, std::uint64_t* units) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  const std::string unit = end != nullptr ? end : "";
  double factor;
  if (unit == "ns") {
    factor = 0.01;
  } else if (unit == "us") {
    factor = 10;
  } else if (unit == "ms") {
    factor = 1e4;
  } else if (unit == "s") {
    factor = 1e7;
  } else {
    return false;
  }
  if (!(value >= 0) || end == text.c_str()) return false;
  *units = static_cast<std::uint64_t>(std::llround(value * factor));
  return true;
}

// "2024-05-01 12:34:56.789 [info] [4242:4250] [void CPerfCounters::Log():40] ..."
// (local time): the record's time and pid.
bool ParseRecordHead(const std::string& line, double* unix, long* pid) {
  std::tm tm{};
  int millis = 0;
  char level[16];
  int tid = 0;
  if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%d [%15[a-z]] [%ld:%d]", &tm.tm_year, &tm.tm_mon,
                  &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &millis, level, pid,
                  &tid) != 10) {
    return false;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return false;
  *unix = static_cast<double>(seconds) + millis / 1000.0;
  return true;
}

// "<name>: seconds=... samples=... rate=... mean=... p50=... p90=... p99=...
// p99.9=... max=..."
bool ParseRecordLine(const std::string& line, Interval* interval) {
  const std::size_t split = line.rfind(": seconds=");
  if (split == std::string::npos) return false;
  interval->name = zrperf::UnescapeRecordText(line.substr(0, split));
  std::size_t at = split + 2;
  int seen = 0;
  while (at < line.size()) {
    std::size_t space = line.find(' ', at);
    if (space == std::string::npos) space = line.size();
    const std::string token = line.substr(at, space - at);
    at = space + 1;
    const std::size_t eq = token.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = token.substr(0, eq);
    const std::string value = token.substr(eq + 1);
    RecordFigures& f = interval->record;
    bool ok = true;
    if (key == "seconds") {
      interval->seconds = std::strtod(value.c_str(), nullptr);
    } else if (key == "samples") {
      interval->count = std::strtoull(value.c_str(), nullptr, 10);
    } else if (key == "mean") {
      ok = ParseDuration(value, &f.mean);
    } else if (key == "p50") {
      ok = ParseDuration(value, &f.p50);
    } else if (key == "p90") {
      ok = ParseDuration(value, &f.p90);
    } else if (key == "p99") {
      ok = ParseDuration(value, &f.p99);
    } else if (key == "p99.9") {
      ok = ParseDuration(value, &f.p999);
    } else if (key == "max") {
      ok = ParseDuration(value, &f.max);
    } else {
      continue;  // rate, and keys of later versions
    }
    if (!ok) return false;
    ++seen;
  }
  return seen == 8;
}

bool ReadRecords(const std::string& name, const std::vector<std::string>& lines, Dataset* data,
                 std::string* error) {
  std::size_t found = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(kRecordsMarker) == std::string::npos) continue;
    double when = 0;
    long pid = 0;
    if (!ParseRecordHead(lines[i], &when, &pid)) continue;
    std::size_t source = data->sources.size();
    for (std::size_t s = 0; s < data->sources.size(); ++s) {
      if (data->sources[s].file == name && data->sources[s].pid == pid) source = s;
    }
    if (source == data->sources.size()) data->sources.push_back(Source{name, "", pid});
    while (i + 1 < lines.size() && StartsWith(lines[i + 1], kRecordLinePrefix)) {
      ++i;
      Interval interval;
      if (!ParseRecordLine(lines[i].substr(4), &interval)) {
        *error = name + ":" + std::to_string(i + 1) + ": corrupt \"Interval Stats\" line";
        return false;
      }
      interval.end = when;
      interval.source = source;
      interval.hasHistogram = false;
      data->intervals.push_back(std::move(interval));
      ++found;
    }
  }
  if (found == 0) {
    *error = name + ": not a zrperf histogram log (its first line is not '" +
             std::string(histlog::kMagic) + " <version>') and no \"Interval Stats\" record in it";
    return false;
  }
  data->anyRecords = true;
  return true;
}

}  // namespace

CTimeCounterSnapshot Interval::Snapshot() const {
  std::vector<CTimeCounterSnapshot::Bucket> list;
  std::string why;
  histlog::DecodeBuckets(buckets, &list, &why);  // checked when the line was read
  return CTimeCounterSnapshot::FromParts(count, total, min, max, zero, list, minExact, maxExact);
}

bool ReadText(const std::string& name, const std::string& text, Dataset* data, std::string* error) {
  bool endsInLineFeed = true;
  const std::vector<std::string> lines = SplitLines(text, &endsInLineFeed);
  if (lines.empty()) {
    *error = name + ": empty file";
    return false;
  }
  if (StartsWith(lines[0], histlog::kMagic) && (lines[0].size() == sizeof(histlog::kMagic) - 1 ||
                                                lines[0][sizeof(histlog::kMagic) - 1] == ' ')) {
    return ReadHistogramLog(name, lines, endsInLineFeed, data, error);
  }
  return ReadRecords(name, lines, data, error);
}

bool ReadInputs(const std::vector<std::string>& paths, Dataset* data, std::string* error) {
  std::vector<std::string> files;
  std::set<std::string> seen;
  const auto add = [&](const std::string& path) {
    std::error_code ec;
    const std::string key = std::filesystem::weakly_canonical(path, ec).string();
    if (seen.insert(ec ? path : key).second) files.push_back(path);
  };
  for (const std::string& path : paths) {
    // Oldest first: the highest rotation number, then down to the file itself.
    std::size_t rotated = 0;
    std::error_code ec;
    while (std::filesystem::is_regular_file(histlog::RotatedName(path, rotated + 1), ec)) ++rotated;
    for (std::size_t n = rotated; n >= 1; --n) add(histlog::RotatedName(path, n));
    add(path);
  }
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      *error = file + ": cannot be read";
      return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
      *error = file + ": read error";
      return false;
    }
    if (!ReadText(file, text, data, error)) return false;
  }
  std::stable_sort(data->intervals.begin(), data->intervals.end(),
                   [](const Interval& a, const Interval& b) {
                     if (a.end != b.end) return a.end < b.end;
                     if (a.name != b.name) return a.name < b.name;
                     return a.source < b.source;
                   });
  return true;
}

}  // namespace zrreport
