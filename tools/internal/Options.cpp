#include "Options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include <zrperf/util/internal/CommandLine.h>

#include "ReportText.h"

namespace zrreport {

namespace {

// A decimal number at `*at` ("12", "99.9"): digits, then optionally a point
// and digits; no sign, exponent, infinity or hexadecimal. Advances `*at`.
bool Decimal(const std::string& text, std::size_t* at, double* value) {
  const std::size_t start = *at;
  const auto digits = [&] {
    const std::size_t from = *at;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') ++*at;
    return *at > from;
  };
  if (!digits()) return false;
  if (*at < text.size() && text[*at] == '.' && (++*at, !digits())) return false;
  *value = std::strtod(text.substr(start, *at - start).c_str(), nullptr);
  return std::isfinite(*value);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Applies one option of the command line to `out`; false with `error` set.
bool TakeOption(zrperf::CommandLine& args, zrperf::CommandLineArg& arg, Invocation* out,
                std::string* error) {
  ReportOptions& options = out->options;
  const std::string& name = arg.name;
  const bool takesValue = name == "--counter" || name == "--from" || name == "--to" ||
                          name == "-o" || name == "--output" || name == "--size" ||
                          name == "--slo" || name == "--percentiles";
  if (takesValue && !args.TakeValue(&arg, error)) {
    *error = ShownName(*error);
    return false;
  }
  const std::string& value = arg.value;
  if (name == "--counter") {
    options.counters.push_back(value);
  } else if (name == "--from") {
    options.from = value;
  } else if (name == "--to") {
    options.to = value;
  } else if (name == "-o" || name == "--output") {
    if (value.empty()) {
      *error = name + " needs a file name";
      return false;
    }
    out->output = value;
  } else if (name == "--size") {
    int w = 0, h = 0;
    char extra = 0;
    if (std::sscanf(value.c_str(), "%dx%d%c", &w, &h, &extra) != 2 || w < 100 || h < 100 ||
        w > 10000 || h > 10000) {
      *error = "--size needs WIDTHxHEIGHT in pixels (100 to 10000), not '" + ShownName(value) + "'";
      return false;
    }
    options.width = w;
    options.height = h;
  } else if (name == "--slo") {
    out->objectives.emplace_back();
    return ParseObjective(value, &out->objectives.back(), error);
  } else if (name == "--percentiles") {
    return ParsePercentiles(value, &options.percentiles, error);
  } else if (name == "--each-interval" && !arg.inlineValue) {
    options.eachInterval = true;
  } else if (name == "--json" && !arg.inlineValue) {
    options.json = true;
  } else if (name == "--heatmap" && !arg.inlineValue) {
    options.heatmap = true;
  } else if (name == "--by-host" && !arg.inlineValue) {
    options.byHost = true;
  } else if (arg.text.size() > 1 && arg.text[0] == '-') {
    *error = "unknown option '" + ShownName(arg.text) + "'";
    return false;
  } else {
    out->inputs.push_back(arg.text);
  }
  return true;
}

// Why the options do not go with the command, or "".
std::string Mismatch(const Invocation& in) {
  const std::string& command = in.command;
  const ReportOptions& options = in.options;
  const bool picture = EndsWith(in.output, ".png") || EndsWith(in.output, ".svg");
  const bool checks = command == "check" || command == "html";
  if (in.inputs.empty()) return "no input file";
  if (command == "compare" && in.inputs.size() != 2) return "compare takes two logs: OLD NEW";
  if (command == "plot" && !picture) return "plot needs -o FILE.png or -o FILE.svg";
  if (command == "plot" && options.json) return "--json is for summary, csv, check, compare";
  if (command == "compare" && options.json && picture) {
    return "--json is for the table of compare, not its picture";
  }
  if (command != "summary" && options.byHost) return "--by-host is for summary";
  if (command != "plot" && options.heatmap) return "--heatmap is for plot";
  if (command == "check" && in.objectives.empty()) return "check needs an objective: --slo";
  if (!checks && !in.objectives.empty()) return "--slo is for check and html";
  if (!checks && options.eachInterval) return "--each-interval is for check and html";
  if (command == "html" && !EndsWith(in.output, ".html")) return "html needs -o FILE.html";
  if (command == "html" && options.json) return "--json is not for html";
  if (command == "check" && !options.percentiles.empty()) {
    return "--percentiles is for summary, csv and plot (check takes any p<N> in --slo)";
  }
  return "";
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, const std::vector<std::string>& commands,
                      Invocation* out, std::string* error) {
  std::string names;
  for (std::size_t k = 0; k < commands.size(); ++k) {
    names += (k == 0 ? "" : k + 1 == commands.size() ? " or " : ", ") + commands[k];
  }
  zrperf::CommandLine args(argc, argv);
  if (args.Done()) {
    *error = "a command is needed: " + names;
    return false;
  }
  Invocation in;
  in.command = args.Next().text;
  if (std::find(commands.begin(), commands.end(), in.command) == commands.end()) {
    *error = "unknown command '" + ShownName(in.command) + "' (" + names + ")";
    return false;
  }
  while (!args.Done()) {
    zrperf::CommandLineArg arg = args.Next();
    if (!TakeOption(args, arg, &in, error)) return false;
  }
  *error = Mismatch(in);
  if (!error->empty()) return false;
  *out = std::move(in);
  return true;
}

std::vector<Stat> Percentiles(const ReportOptions& options) {
  if (!options.percentiles.empty()) return options.percentiles;
  std::vector<Stat> out;
  std::string unused;
  ParsePercentiles("50,90,99,99.9", &out, &unused);
  return out;
}

bool ParseTime(const std::string& text, double dataEnd, double* unix, std::string* error) {
  const auto bad = [&] {
    *error = "cannot read the time '" + ShownName(text) +
             "' (Unix seconds, YYYY-MM-DDTHH:MM[:SS][Z] in UTC, or -N followed by s, m, h or d)";
    return false;
  };
  double n = 0;
  std::size_t at = text.compare(0, 1, "-") == 0 ? 1 : 0;
  if (at == 1) {
    // -N<unit>: that long before the data's last interval.
    if (!Decimal(text, &at, &n)) return bad();
    const std::string unit = text.substr(at);
    const double scale = unit == "s"   ? 1
                         : unit == "m" ? 60
                         : unit == "h" ? 3600
                         : unit == "d" ? 86400
                                       : 0;
    if (scale == 0) return bad();
    *unix = dataEnd - n * scale;
    return true;
  }
  if (Decimal(text, &at, &n) && at == text.size()) {
    *unix = n;  // Unix seconds
    return true;
  }
  // YYYY-MM-DDTHH:MM[:SS][Z], UTC: two digits a field (four for the year).
  static const char kForm[] = "dddd-dd-ddTdd:dd:dd";
  const std::size_t length = text.size() - (!text.empty() && text.back() == 'Z' ? 1 : 0);
  if (length != 16 && length != 19) return bad();
  for (std::size_t k = 0; k < length; ++k) {
    const bool digit = text[k] >= '0' && text[k] <= '9';
    if (kForm[k] == 'd' ? !digit : text[k] != kForm[k]) return bad();
  }
  const auto field = [&text](std::size_t from, std::size_t digits) {
    int value = 0;
    for (std::size_t k = from; k < from + digits; ++k) value = value * 10 + (text[k] - '0');
    return value;
  };
  std::tm tm{};
  tm.tm_year = field(0, 4) - 1900;
  tm.tm_mon = field(5, 2) - 1;
  tm.tm_mday = field(8, 2);
  tm.tm_hour = field(11, 2);
  tm.tm_min = field(14, 2);
  tm.tm_sec = length == 19 ? field(17, 2) : 0;
  const std::tm given = tm;
  const std::time_t seconds = timegm(&tm);
  // timegm() carries a field past its range into the next one (February 30
  // is March 2): such a time names no time of the calendar.
  if (tm.tm_year != given.tm_year || tm.tm_mon != given.tm_mon || tm.tm_mday != given.tm_mday ||
      tm.tm_hour != given.tm_hour || tm.tm_min != given.tm_min || tm.tm_sec != given.tm_sec) {
    return bad();
  }
  *unix = static_cast<double>(seconds);
  return true;
}

std::string Objective::Shown() const {
  return ShownName(glob) + ":" + Tail();
}

std::string Objective::Tail() const {
  return stat.label + (orEqual ? " <= " : " < ") + limitText;
}

bool ParseStat(const std::string& text, Stat* stat, std::string* error) {
  if (text == "mean" || text == "max") {
    stat->kind = text == "mean" ? Stat::kMean : Stat::kMax;
    stat->label = text;
    return true;
  }
  std::size_t at = 1;
  double percent = 0;
  const std::size_t point = text.find('.');
  if (text.size() < 2 || text[0] != 'p' || !Decimal(text, &at, &percent) || at != text.size() ||
      !(percent > 0 && percent < 100) || (point != std::string::npos && text.size() - point > 7)) {
    *error = "'" + ShownName(text) + "' is not a figure: p<N> with 0 < N < 100 (p99, p99.9; " +
             "at most six decimals), mean or max";
    return false;
  }
  stat->kind = Stat::kPercentile;
  stat->percent = percent;
  std::string number = Format("%.6f", percent);
  number.erase(number.find_last_not_of('0') + 1);
  if (number.back() == '.') number.pop_back();
  stat->label = "p" + number;
  return true;
}

bool ParsePercentiles(const std::string& text, std::vector<Stat>* percentiles, std::string* error) {
  std::vector<Stat> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    std::string item = text.substr(start, comma - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    Stat stat;
    std::string why;
    if (item.empty() || item[0] == 'p' || !ParseStat("p" + item, &stat, &why)) {
      *error = "--percentiles: '" + ShownName(item) +
               "' is not a percentile (a number above 0 and below 100, at most six decimals)";
      return false;
    }
    for (const Stat& seen : out) {
      if (seen.label != stat.label) continue;
      *error = "--percentiles: " + stat.label + " is listed twice";
      return false;
    }
    out.push_back(stat);
    if (comma == text.size()) break;
    start = comma + 1;
  }
  if (out.size() > kMaxPercentiles) {
    *error = "--percentiles: at most " + std::to_string(kMaxPercentiles) + " percentiles";
    return false;
  }
  std::sort(out.begin(), out.end(),
            [](const Stat& a, const Stat& b) { return a.percent < b.percent; });
  *percentiles = std::move(out);
  return true;
}

bool ParseObjective(const std::string& text, Objective* objective, std::string* error) {
  const std::string shown = "malformed objective '" + ShownName(text) + "': ";
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = shown + "it needs GLOB:STAT OP VALUE (\"disk.*:p99 < 5ms\")";
    return false;
  }
  Objective o;
  o.glob = text.substr(0, colon);
  std::size_t at = colon + 1;
  const auto spaces = [&] {
    while (at < text.size() && text[at] == ' ') ++at;
  };
  spaces();
  const std::size_t statEnd = std::min(text.find_first_of(" <>=", at), text.size());
  std::string why;
  if (!ParseStat(text.substr(at, statEnd - at), &o.stat, &why)) {
    *error = shown + why;
    return false;
  }
  at = statEnd;
  spaces();
  if (text.compare(at, 2, "<=") == 0) {
    o.orEqual = true;
    at += 2;
  } else if (text.compare(at, 1, "<") == 0) {
    at += 1;
  } else {
    *error = shown + "the comparison must be < or <= (an objective is a bound from above)";
    return false;
  }
  spaces();
  double number = 0;
  const std::size_t valueStart = at;
  const bool isNumber = Decimal(text, &at, &number);
  const std::size_t numberEnd = at;
  spaces();
  std::size_t unitEnd = at;
  while (unitEnd < text.size() && text[unitEnd] >= 'a' && text[unitEnd] <= 'z') ++unitEnd;
  const std::string unit = text.substr(at, unitEnd - at);
  const double scale = unit == "ns"   ? 1
                       : unit == "us" ? 1e3
                       : unit == "ms" ? 1e6
                       : unit == "s"  ? 1e9
                       : unit == "m"  ? 60e9
                       : unit == "h"  ? 3600e9
                                      : 0;
  at = unitEnd;
  spaces();
  if (!isNumber || scale == 0 || at != text.size()) {
    *error = shown + "the value must be a number with a unit: ns, us, ms, s, m or h (5ms, 2.5 s)";
    return false;
  }
  o.limitNs = number * scale;
  o.limitText = text.substr(valueStart, numberEnd - valueStart) + unit;
  *objective = std::move(o);
  return true;
}

}  // namespace zrreport
