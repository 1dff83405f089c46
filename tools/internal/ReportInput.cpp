#include "ReportInput.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <system_error>

#include <zrperf/framework/FileSystem.h>
#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/util/internal/RecordText.h>

#include "ReportText.h"

namespace zrreport {

namespace histlog = zrperf::histlog;

namespace {

const char kRecordsMarker[] = "] Interval Stats: ";
const char kRecordLinePrefix[] = "\t\t\t\t";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string SystemError(int error) {
  return std::strerror(error);
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
      ok = std::isfinite(interval->seconds) && interval->seconds >= 0;
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

// Reads one file's lines as they arrive, at most kMaxLineBytes each, and
// takes the intervals out of them. The first line tells the kind of file.
class FileReader {
 public:
  FileReader(const std::string& file, Dataset* data, std::string* error)
      : m_file(file), m_shown(ShownName(file)), m_data(data), m_error(error) {}

  // The next bytes of the file. False on a fault (`error` set).
  bool Feed(const char* bytes, std::size_t size) {
    m_any = m_any || size > 0;
    while (size > 0) {
      const char* feed = static_cast<const char*>(std::memchr(bytes, '\n', size));
      const std::size_t piece = feed == nullptr ? size : static_cast<std::size_t>(feed - bytes);
      if (!m_overLong && m_line.size() + piece > kMaxLineBytes) {
        m_overLong = true;
        m_line.clear();
      }
      if (!m_overLong) m_line.append(bytes, piece);
      if (feed == nullptr) return true;
      if (!EndOfLine(true)) return false;
      bytes += piece + 1;
      size -= piece + 1;
    }
    return true;
  }

  // The end of the file. False on a fault (`error` set).
  bool End() {
    if (!m_any) {
      *m_error = m_shown + ": empty file";
      return false;
    }
    if ((!m_line.empty() || m_overLong) && !EndOfLine(false)) return false;
    if (m_kind == Kind::kHistogramLog) {
      if (m_torn > 0) {
        m_data->warnings.push_back(
            At(m_firstTorn) + "skipped a torn line (" + m_firstTornWhy + ")" +
            (m_torn == 1 ? std::string()
                         : "; " + std::to_string(m_torn - 1) + " more skipped, the last at line " +
                               std::to_string(m_lastTorn)));
      }
      return true;
    }
    if (m_found == 0) {
      *m_error = m_shown + ": not a zrperf histogram log (its first line is not '" +
                 std::string(histlog::kMagic) +
                 " <version>') and no \"Interval Stats\" record in it";
      return false;
    }
    m_data->anyRecords = true;
    return true;
  }

 private:
  enum class Kind { kUnknown, kHistogramLog, kRecords };

  // "file:line: "
  std::string At(std::size_t line) const { return m_shown + ":" + std::to_string(line) + ": "; }

  // m_line (or an over-long line, now skipped) has ended; `feed` tells
  // whether with its line feed.
  bool EndOfLine(bool feed) {
    ++m_number;
    bool ok = true;
    if (m_overLong) {
      m_data->warnings.push_back(At(m_number) + "skipped a line longer than " +
                                 std::to_string(kMaxLineBytes) + " bytes");
      m_recordOpen = false;
    } else {
      if (m_kind == Kind::kUnknown) {
        const std::size_t magic = sizeof(histlog::kMagic) - 1;
        m_kind =
            StartsWith(m_line, histlog::kMagic) && (m_line.size() == magic || m_line[magic] == ' ')
                ? Kind::kHistogramLog
                : Kind::kRecords;
      }
      ok = m_kind == Kind::kHistogramLog ? HistogramLine(feed) : RecordsLine();
    }
    m_line.clear();
    m_overLong = false;
    return ok;
  }

  bool Fault(const std::string& message) {
    *m_error = message;
    return false;
  }

  // ---- Histogram logs ----

  // A line that does not parse: torn (a write cut by a kill or a full disk)
  // and skipped; the file's one warning names the first of them.
  void Torn(const std::string& why) {
    if (m_torn++ == 0) {
      m_firstTorn = m_number;
      m_firstTornWhy = why;
    }
    m_lastTorn = m_number;
  }

  bool HistogramLine(bool feed) {
    const std::string& line = m_line;
    if (line.empty()) return true;
    if (line[0] == '#') return HeaderLine();
    std::string why;
    if (!histlog::ParseLine(line, &m_parsed, &why)) {
      Torn(why);
      return true;
    }
    if (!feed) {
      // Whole fields, but the line feed is missing: the write may have been
      // cut inside the last field.
      Torn("no line feed");
      return true;
    }
    Interval interval;
    interval.name = std::move(m_parsed.name);
    interval.end = m_parsed.end;
    interval.seconds = m_parsed.seconds;
    interval.source = m_source;
    interval.count = m_parsed.count;
    interval.total = m_parsed.total;
    interval.min = m_parsed.min;
    interval.max = m_parsed.max;
    interval.minExact = m_parsed.minExact;
    interval.maxExact = m_parsed.maxExact;
    interval.zero = m_parsed.zero;
    interval.buckets = std::move(m_parsed.bucketText);
    m_data->intervals.push_back(std::move(interval));
    m_data->anyHistograms = true;
    m_blockLines = true;
    return true;
  }

  void NewSource() {
    m_data->sources.push_back(Source{m_file, "", 0});
    m_source = m_data->sources.size() - 1;
    m_blockLines = false;
  }

  // Whether `value`, which differs from `expected`, is the start of it: a
  // header line cut short (after the file's first line, which must be whole).
  bool TornValue(const std::string& value, const std::string& expected) const {
    return m_number > 1 && expected.compare(0, value.size(), value) == 0;
  }

  bool HeaderLine() {
    const std::string& line = m_line;
    const std::string at = At(m_number);
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    const std::string version = std::to_string(histlog::kVersion);
    if (key == histlog::kMagic) {
      if (value != version && !TornValue(value, version)) {
        return Fault(at + "histogram log format version '" + ShownName(value) +
                     "' is not supported (this zrperf-report reads version " + version + ")");
      }
      // A block whose first line was cut starts a writer all the same: the
      // lines after it are not the previous writer's.
      if (value != version) Torn("a header line cut short");
      NewSource();
      return true;
    }
    // A header line after interval lines: a block whose first line was lost
    // (glued to the torn line before it) starts a writer of its own too.
    static const char* const kHeaderKeys[] = {"#buckets", "#unit",  "#host",
                                              "#pid",     "#start", "#fields"};
    if (m_blockLines &&
        std::find(std::begin(kHeaderKeys), std::end(kHeaderKeys), key) != std::end(kHeaderKeys)) {
      NewSource();
    }
    if (key == "#buckets" && value != histlog::kBucketLayout) {
      if (TornValue(value, histlog::kBucketLayout)) {
        Torn("a header line cut short");
        return true;
      }
      return Fault(at + "unknown bucket layout '" + ShownName(value) + "' (expected '" +
                   histlog::kBucketLayout + "')");
    } else if (key == "#unit" && value != "100ns") {
      if (TornValue(value, "100ns")) {
        Torn("a header line cut short");
        return true;
      }
      return Fault(at + "unknown unit '" + ShownName(value) + "' (expected '100ns')");
    } else if (key == "#host") {
      m_data->sources[m_source].host = zrperf::UnescapeRecordText(value);
    } else if (key == "#pid") {
      m_data->sources[m_source].pid = std::strtol(value.c_str(), nullptr, 10);
    }
    return true;  // other '#' lines are comments
  }

  // ---- "Interval Stats" records of the ordinary log ----

  bool RecordsLine() {
    const std::string& line = m_line;
    if (m_recordOpen && StartsWith(line, kRecordLinePrefix)) {
      Interval interval;
      if (!ParseRecordLine(line.substr(4), &interval)) {
        return Fault(At(m_number) + "corrupt \"Interval Stats\" line");
      }
      interval.end = m_recordTime;
      interval.source = m_source;
      interval.hasHistogram = false;
      m_data->intervals.push_back(std::move(interval));
      ++m_found;
      return true;
    }
    m_recordOpen = false;
    long pid = 0;
    if (line.find(kRecordsMarker) == std::string::npos ||
        !ParseRecordHead(line, &m_recordTime, &pid)) {
      return true;
    }
    m_recordOpen = true;
    m_source = m_data->sources.size();
    for (std::size_t s = 0; s < m_data->sources.size(); ++s) {
      if (m_data->sources[s].file == m_file && m_data->sources[s].pid == pid) m_source = s;
    }
    if (m_source == m_data->sources.size()) m_data->sources.push_back(Source{m_file, "", pid});
    return true;
  }

  const std::string m_file;
  const std::string m_shown;  // for messages
  Dataset* const m_data;
  std::string* const m_error;

  Kind m_kind = Kind::kUnknown;
  std::string m_line;
  bool m_overLong = false;   // the current line passed kMaxLineBytes: skipped
  bool m_any = false;        // some bytes were read
  std::size_t m_number = 0;  // of the last line ended
  std::size_t m_source = 0;
  bool m_blockLines = false;  // histogram logs: the current block has interval lines
  // Histogram logs: the torn lines skipped, the first and last of them.
  std::size_t m_torn = 0, m_firstTorn = 0, m_lastTorn = 0;
  std::string m_firstTornWhy;
  histlog::IntervalLine m_parsed;
  // Ordinary logs: the record whose lines follow.
  bool m_recordOpen = false;
  double m_recordTime = 0;
  std::size_t m_found = 0;
};

bool ReadFile(const std::string& file, Dataset* data, std::string* error) {
  zrfw::CFileSystem& files = zrfw::Files();
  // O_NONBLOCK, kept: a FIFO put in a log's place must not hold the open,
  // nor a file of a pseudo file system that waits for data (/proc/kmsg) a read.
  int fd;
  do {
    fd = files.Open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int e = errno;
    *error = ShownName(file) + ": cannot be read: " + SystemError(e);
    return false;
  }
  struct FdCloser {
    zrfw::CFileSystem& files;
    int fd;
    ~FdCloser() { files.Close(fd); }
  } closer{files, fd};
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int e = errno;
    *error = ShownName(file) + ": cannot be read: " + SystemError(e);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = ShownName(file) + ": cannot be read: " + zrfw::FileKind(st.st_mode) +
             ", not a regular file";
    return false;
  }
  // The file as it stood when opened: what a writer appends meanwhile is left
  // for the next report, so a file that grows as fast as it is read (or a
  // pseudo file that never ends) cannot hold the reader.
  std::uint64_t left = static_cast<std::uint64_t>(st.st_size);
  FileReader reader(file, data, error);
  std::vector<char> buffer(1 << 16);
  while (left > 0) {
    const ssize_t n = files.Read(fd, buffer.data(), std::min<std::uint64_t>(buffer.size(), left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      *error = ShownName(file) + ": read error: " + SystemError(e);
      return false;
    }
    if (n == 0) break;  // it shrank
    left -= static_cast<std::uint64_t>(n);
    if (!reader.Feed(buffer.data(), static_cast<std::size_t>(n))) return false;
  }
  return reader.End();
}
}  // namespace

CTimeCounterSnapshot Interval::Snapshot() const {
  std::vector<CTimeCounterSnapshot::Bucket> list;
  std::string why;
  histlog::DecodeBuckets(buckets, &list, &why);  // checked when the line was read
  return CTimeCounterSnapshot::FromParts(count, total, min, max, zero, list, minExact, maxExact);
}

bool ReadText(const std::string& name, const std::string& text, Dataset* data, std::string* error) {
  FileReader reader(name, data, error);
  return reader.Feed(text.data(), text.size()) && reader.End();
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
    if (!ReadFile(file, data, error)) return false;
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
