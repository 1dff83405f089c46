#include "HistogramLogFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include <zrperf/util/internal/Coding.h>
#include <zrperf/util/internal/RecordText.h>

namespace zrperf {
namespace histlog {

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void AppendNumber(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  out.append(digits, end);
}

// `seconds` with six decimals, from whole microseconds (no locale, no printf).
void AppendSeconds(std::string& out, double seconds) {
  if (!(seconds > 0)) seconds = 0;  // NaN too
  const std::uint64_t micros = static_cast<std::uint64_t>(std::llround(seconds * 1e6));
  AppendNumber(out, micros / 1000000);
  char fraction[8] = {'.'};
  std::uint64_t rest = micros % 1000000;
  for (int i = 6; i >= 1; --i, rest /= 10) fraction[i] = static_cast<char>('0' + rest % 10);
  out.append(fraction, 7);
}

bool ParseUnsigned(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// Digits (at most `digits` of them before the point), one '.', six decimals
// at most: the writer's form, nothing looser.
bool ParseSeconds(const std::string& text, std::size_t digits, double* value) {
  const std::size_t dot = text.find('.');
  if (text.empty() || text.size() > 24 || dot == 0 || std::min(dot, text.size()) > digits ||
      text.find_first_not_of("0123456789.") != std::string::npos ||
      (dot != std::string::npos && (text.find('.', dot + 1) != std::string::npos ||
                                    text.size() - dot - 1 > 6 || dot + 1 == text.size()))) {
    return false;
  }
  *value = std::strtod(text.c_str(), nullptr);
  return std::isfinite(*value);
}

bool ParseExtreme(const std::string& text, std::uint64_t* value, bool* exact) {
  *exact = text.empty() || text[0] != '~';
  return ParseUnsigned(*exact ? text : text.substr(1), value);
}

}  // namespace

std::string RotatedName(const std::string& path, std::size_t n) {
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart || dot + 1 == path.size()) {
    return path + "." + std::to_string(n);
  }
  return path.substr(0, dot) + "." + std::to_string(n) + path.substr(dot);
}

std::string HeaderText(const std::string& host, long pid, double startUnix) {
  std::string text = std::string(kMagic) + " " + std::to_string(kVersion) + "\n";
  text += std::string("#buckets ") + kBucketLayout + "\n";
  text += "#unit 100ns\n";
  text += "#host " + EscapeRecordText(host) + "\n";
  text += "#pid " + std::to_string(pid) + "\n";
  text += "#start ";
  AppendSeconds(text, startUnix);
  const std::time_t whole = static_cast<std::time_t>(startUnix > 0 ? startUnix : 0);
  std::tm utc{};
  char iso[32] = "";
  if (gmtime_r(&whole, &utc) != nullptr)
    std::strftime(iso, sizeof(iso), "%Y-%m-%dT%H:%M:%SZ", &utc);
  text += std::string(" ") + iso + "\n";
  text += "#fields end interval name count total min max zero buckets\n";
  return text;
}

void AppendLine(std::string& out, double endUnix, double seconds, const std::string& name,
                const CTimeCounterSnapshot& interval) {
  AppendSeconds(out, endUnix);
  out += '\t';
  AppendSeconds(out, seconds);
  out += '\t';
  AppendRecordText(out, name.data(), name.size());
  out += '\t';
  AppendNumber(out, interval.GetCount());
  out += '\t';
  AppendNumber(out, static_cast<std::uint64_t>(interval.GetTotal().Get100ns()));
  out += interval.IsMinExact() ? "\t" : "\t~";
  AppendNumber(out, static_cast<std::uint64_t>(interval.GetMin().Get100ns()));
  out += interval.IsMaxExact() ? "\t" : "\t~";
  AppendNumber(out, static_cast<std::uint64_t>(interval.GetMax().Get100ns()));
  out += '\t';
  AppendNumber(out, interval.GetZeroCount());
  out += '\t';
  const std::vector<CTimeCounterSnapshot::Bucket>& buckets = interval.GetBuckets();
  if (buckets.empty()) {
    out += '-';
  } else {
    std::string bytes;
    bytes.reserve(buckets.size() * 3);
    std::int32_t next = CTimeCounterSnapshot::kMinBucketIndex;
    for (const CTimeCounterSnapshot::Bucket& bucket : buckets) {
      zrperf::AppendVarint(&bytes, static_cast<std::uint64_t>(bucket.index - next));
      zrperf::AppendVarint(&bytes, bucket.count);
      next = bucket.index + 1;
    }
    AppendBase64(out, bytes);
  }
  out += '\n';
}

CTimeCounterSnapshot IntervalLine::ToSnapshot() const {
  return CTimeCounterSnapshot::FromParts(count, total, min, max, zero, buckets, minExact, maxExact);
}

bool ParseLine(const std::string& text, IntervalLine* line, std::string* why) {
  std::string fields[9];
  std::size_t start = 0;
  for (int i = 0; i < 9; ++i) {
    const std::size_t tab = text.find('\t', start);
    if ((tab == std::string::npos) != (i == 8)) {
      *why = "expected 9 tab-separated fields";
      return false;
    }
    fields[i] = text.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
    start = tab + 1;
  }
  // An end of at most 10 digits (Unix seconds until 2286): the start of a
  // line cut short and the whole line written after it, glued into one, has
  // more.
  if (!ParseSeconds(fields[0], 10, &line->end) || !ParseSeconds(fields[1], 24, &line->seconds)) {
    *why = "bad time field";
    return false;
  }
  if (fields[2].empty()) {
    *why = "empty counter name";
    return false;
  }
  line->name = UnescapeRecordText(fields[2]);
  if (!ParseUnsigned(fields[3], &line->count) || !ParseUnsigned(fields[4], &line->total) ||
      !ParseExtreme(fields[5], &line->min, &line->minExact) ||
      !ParseExtreme(fields[6], &line->max, &line->maxExact) ||
      !ParseUnsigned(fields[7], &line->zero)) {
    *why = "bad number field";
    return false;
  }
  if (line->min > line->max) {
    *why = "minimum above maximum";
    return false;
  }
  line->bucketText = std::move(fields[8]);
  return DecodeBuckets(line->bucketText, &line->buckets, why);
}

bool DecodeBuckets(const std::string& field, std::vector<CTimeCounterSnapshot::Bucket>* buckets,
                   std::string* why) {
  buckets->clear();
  if (field == "-") return true;
  std::string bytes;
  if (!DecodeBase64(field, &bytes) || bytes.empty()) {
    *why = "bad base64 in the bucket field";
    return false;
  }
  std::int64_t next = CTimeCounterSnapshot::kMinBucketIndex;
  std::string_view rest = bytes;
  while (!rest.empty()) {
    std::uint64_t skip = 0;
    std::uint64_t count = 0;
    if (!zrperf::DecodeVarint(&rest, &skip) || !zrperf::DecodeVarint(&rest, &count)) {
      *why = "truncated bucket list";
      return false;
    }
    if (next > CTimeCounterSnapshot::kMaxBucketIndex ||
        skip > static_cast<std::uint64_t>(CTimeCounterSnapshot::kMaxBucketIndex - next) ||
        count == 0) {
      *why = "bucket index out of range or empty bucket";
      return false;
    }
    const std::int32_t index = static_cast<std::int32_t>(next + static_cast<std::int64_t>(skip));
    buckets->push_back({index, 0, 0, count});
    next = index + 1;
  }
  return true;
}

void AppendBase64(std::string& out, const std::string& bytes) {
  const std::size_t n = bytes.size();
  out.reserve(out.size() + (n * 4 + 2) / 3);
  std::size_t i = 0;
  const auto at = [&bytes](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= n; i += 3) {
    const unsigned v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    const char quad[4] = {kBase64[v >> 18], kBase64[(v >> 12) & 63], kBase64[(v >> 6) & 63],
                          kBase64[v & 63]};
    out.append(quad, 4);
  }
  if (n - i == 1) {
    const unsigned v = at(i) << 16;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
  } else if (n - i == 2) {
    const unsigned v = (at(i) << 16) | (at(i + 1) << 8);
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
  }
}

bool DecodeBase64(const std::string& text, std::string* bytes) {
  if (text.size() % 4 == 1) return false;
  bytes->clear();
  bytes->reserve(text.size() * 3 / 4);
  unsigned accumulated = 0;
  int bits = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else {
      return false;
    }
    accumulated = (accumulated << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *bytes += static_cast<char>((accumulated >> bits) & 0xFF);
    }
  }
  // The bits left over must be zero padding.
  return (accumulated & ((1u << bits) - 1)) == 0;
}

}  // namespace histlog
}  // namespace zrperf
