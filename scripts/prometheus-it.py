#!/usr/bin/env python3
"""Checks of scripts/prometheus-it.sh, made through a Prometheus server's HTTP API.

  prometheus-it.py wait-up PROM JOB SECONDS
      waits until up{job=JOB} is 1; exit status 1 when it never is.
  prometheus-it.py check TIME START DEMO_LOG DASHBOARD RUN...
      for each RUN, "HISTOGRAMS,JOB,PROM" (HISTOGRAMS is classic or native:
      what the Prometheus server at PROM stores of the histograms), the checks
      listed in check() below, evaluated at the Unix time TIME (after the
      workload's last statistics pass; the dashboard's range queries cover
      START to TIME). Prints one "ok: ..." or "FAIL: ..." line a check and
      closes with "checks: PASSED FAILED".

Each check is independent: one that fails is reported and the others run.
"""

import json
import math
import re
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from fractions import Fraction


class ApiError(Exception):
    pass


def api(prom, path, params):
    """The data of a successful answer of the HTTP API at `path`."""
    url = "%s%s?%s" % (prom, path, urllib.parse.urlencode(params, doseq=True))
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            doc = json.load(answer)
    except urllib.error.HTTPError as e:
        raise ApiError("%s: HTTP %d %s" % (path, e.code, e.read()[:300].decode(errors="replace")))
    except (urllib.error.URLError, OSError, ValueError) as e:
        raise ApiError("%s: %s" % (path, e))
    if doc.get("status") != "success":
        raise ApiError("%s: %s" % (path, json.dumps(doc)[:300]))
    return doc["data"]


def finite(text):
    value = float(text)
    return value if math.isfinite(value) else None


def one_value(prom, expr, at):
    """The one finite value of an instant query."""
    result = api(prom, "/api/v1/query", {"query": expr, "time": at})["result"]
    values = [v for v in (finite(r["value"][1]) for r in result) if v is not None]
    if len(result) != 1 or len(values) != 1:
        raise ApiError("%s: expected one finite value, got %s" % (expr, json.dumps(result)[:300]))
    return values[0]


def promql_string(text):
    """A PromQL string literal holding `text` (JSON's escapes are PromQL's)."""
    return json.dumps(text)


def label_value(name):
    """The label value the collector makes of a counter name (bytes): the name
    up to its first NUL, valid UTF-8 unchanged, '%', control bytes, DEL and
    every byte outside a well-formed UTF-8 sequence as "%XX"."""
    out = []
    for ch in name.split(b"\0")[0].decode("utf-8", "surrogateescape"):
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:  # a byte that is not part of valid UTF-8
            out.append("%%%02X" % (code - 0xDC00))
        elif ch == "%" or code < 0x20 or code == 0x7F:
            out.append("%%%02X" % code)
        else:
            out.append(ch)
    return "".join(out)


# A record's duration units, in 100 ns units (the counters' resolution).
UNITS = {"ns": Fraction(1, 100), "us": Fraction(10), "ms": Fraction(10**4), "s": Fraction(10**7)}
# One counter's line of an "Exec Stats" record: four tabs, the name, ": ",
# then CTimeCounter::AsString()'s text.
STATS_LINE = re.compile(rb"\n\t\t\t\t([^\n]*): samples=(\d+) total=([0-9.]+)(ns|us|ms|s) "
                        rb"[^\n]* p99=([0-9.]+)(ns|us|ms|s) ")


class Duration:
    """A duration as a record prints it: whole ns (a multiple of 100) below
    1 us, else two decimals of us, ms or s, truncated. The true value is a
    whole number of 100 ns units from `low` to `high` (both in seconds): the
    printed value, or up to one hundredth of the unit more, less one 100 ns
    unit, when that hundredth is more than one unit (ms and s); exact in ns
    and us."""

    def __init__(self, text, unit):
        units = Fraction(text.decode()) * UNITS[unit.decode()]
        assert units.denominator == 1, "%s%s is not a whole number of 100 ns" % (text, unit)
        slack = UNITS[unit.decode()] / 100 if unit != b"ns" else 0
        self.text = (text + unit).decode()
        self.low = int(units) * 1e-7
        self.high = (int(units) + max(math.ceil(slack) - 1, 0)) * 1e-7


def schema4_bucket(seconds):
    """The index i of the native-histogram schema-4 bucket that holds
    `seconds`: 2^((i-1)/16) s < seconds <= 2^(i/16) s (the counters' own
    buckets too)."""
    i = math.ceil(16 * math.log2(seconds))
    while 2 ** ((i - 1) / 16) >= seconds:  # log2's rounding, at an edge
        i -= 1
    while 2 ** (i / 16) < seconds:
        i += 1
    return i


RECORD_ESCAPE = re.compile(rb"\\(\\|n|r|t|x[0-9a-fA-F]{2})")


def record_name(text):
    """The name bytes a record line shows: the record writes LF, CR and tab as
    \\n, \\r, \\t, other control bytes and DEL as \\xHH, and doubles a backslash
    that could be read as the start of one of these; everything else as is."""
    def unescape(m):
        code = m.group(1)
        return {b"\\": b"\\", b"n": b"\n", b"r": b"\r", b"t": b"\t"}.get(code) or \
            bytes([int(code[1:], 16)])
    return RECORD_ESCAPE.sub(unescape, text)


def final_figures(log):
    """{label value: (samples, total, p99)} from each counter's last line in
    the demo's "Exec Stats" records (total and p99 as Duration)."""
    last = {}
    for m in STATS_LINE.finditer(log):
        last[label_value(record_name(m.group(1)))] = (
            int(m.group(2)), Duration(m.group(3), m.group(4)), Duration(m.group(5), m.group(6)))
    return last


# How a panel's query answers for one value of the dashboard's variable
# "histograms" only: "QUERY and on() (vector(N) == $histograms)".
HISTOGRAMS_GATE = re.compile(r" and on\(\) \(vector\((\d+)\) == \$histograms\)$")


def histograms_values(doc):
    """{text: value} of the custom variable "histograms" ("text : value,...")."""
    for v in doc.get("templating", {}).get("list", []):
        if v.get("name") == "histograms":
            return dict((p.split(" : ") + [p])[:2] for p in
                        (p.strip() for p in v.get("query", "").split(",")))
    return {}


def dashboard_queries(path):
    """(description, kind, histograms, query) of every query of a Grafana
    dashboard: the panels' PromQL expressions and the query variables'
    label_values(); `histograms` is the text of the value of the variable
    "histograms" for which the query answers, or None for every value."""
    with open(path) as f:
        doc = json.load(f)
    texts = {value: text for text, value in histograms_values(doc).items()}

    def panels(items):
        for p in items:
            yield p
            yield from panels(p.get("panels", []))

    for p in panels(doc.get("panels", [])):
        for t in p.get("targets", []):
            if t.get("expr"):
                gate = HISTOGRAMS_GATE.search(t["expr"])
                yield ('panel "%s" %s' % (p.get("title", ""), t.get("refId", "")), "expr",
                       gate and texts.get(gate.group(1), "unknown"), t["expr"])
    for v in doc.get("templating", {}).get("list", []):
        if v.get("type") == "query":
            q = v.get("query")
            q = q.get("query") if isinstance(q, dict) else q
            yield "variable %s" % v["name"], "label_values", None, q


def latency_panels_have_both(path):
    """Each panel with a query for one kind of histograms has one query for
    each kind."""
    with open(path) as f:
        doc = json.load(f)
    texts = {value: text for text, value in histograms_values(doc).items()}
    assert sorted(texts.values()) == ["classic", "native"], \
        "the variable histograms has %s" % sorted(texts.values())
    panels = 0
    for p in doc.get("panels", []):
        kinds = sorted(texts.get(g.group(1), "unknown") for g in
                       (HISTOGRAMS_GATE.search(t.get("expr", "")) for t in p.get("targets", []))
                       if g)
        if kinds:
            panels += 1
            assert kinds == ["classic", "native"], \
                'panel "%s" has queries for %s' % (p.get("title", ""), kinds)
    assert panels, "no panel has a query for one kind of histograms"
    return "%d panels" % panels


def substitute(expr, job, histograms):
    """Grafana's variables in `expr` as the dashboard would fill them for `job`
    with every instance and counter selected, a fixed rate window and
    `histograms` the value of the variable "histograms"."""
    for name, value in (("__rate_interval", "10s"), ("__interval", "1s"), ("job", job),
                        ("instance", ".*"), ("counter", ".*"), ("histograms", histograms)):
        expr = expr.replace("${%s}" % name, value).replace("$%s" % name, value)
    return expr


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def run(self, what, fn):
        """Runs one check: `fn` returns a detail text or raises on failure."""
        try:
            detail = fn()
        except Exception as e:  # any fault fails this check only
            self.failed += 1
            print("FAIL: %s\n    %s" % (what, str(e).replace("\n", "\n    ")), flush=True)
            return
        self.passed += 1
        print("ok: %s%s" % (what, ": %s" % detail if detail else ""), flush=True)


def check(at, start, log_path, dashboard, runs):
    with open(log_path, "rb") as f:
        final = final_figures(f.read())
    checks = Checks()

    def counters_named():
        assert len(final) == 4, "expected 4 counters, found %s" % sorted(final)
        return ", ".join(json.dumps(n) for n in sorted(final))

    checks.run("the demo's Exec Stats records name its four counters", counters_named)
    checks.run("the dashboard's histogram panels have a classic and a native query each",
               lambda: latency_panels_have_both(dashboard))
    with open(dashboard) as f:
        histograms_value = histograms_values(json.load(f))
    queries = list(dashboard_queries(dashboard))

    for histograms, job, prom in runs:
        native = histograms == "native"
        run = ("native, job %s" if native else "job %s") % job
        # The series whose labels name the counters: the native histogram
        # itself, or one of the classic histogram's series.
        series = "zrperf_elapsed_seconds" if native else "zrperf_elapsed_seconds_count"

        def target_ok(job=job, prom=prom):
            targets = [t for t in api(prom, "/api/v1/targets", {"state": "active"})["activeTargets"]
                       if t["labels"].get("job") == job]
            assert len(targets) == 1, "%d targets of job %s" % (len(targets), job)
            t = targets[0]
            assert t["health"] == "up" and t["lastError"] == "", \
                "health %s, lastError %r" % (t["health"], t["lastError"])
            return "health up, lastError empty"

        checks.run("%s: the target's last scrape has no error" % run, target_ok)
        if job == "node":
            def textfile_ok(prom=prom):
                value = one_value(prom, 'node_textfile_scrape_error{job="node"}', at)
                assert value == 0, "node_textfile_scrape_error is %g" % value

            checks.run("job node: node_exporter read the textfile without error", textfile_ok)

        def labels_round_trip(job=job, prom=prom, series=series):
            values = api(prom, "/api/v1/label/counter/values",
                         {"match[]": '%s{job="%s"}' % (series, job)})
            assert sorted(values) == sorted(final), \
                "Prometheus has %s, the demo logged %s" % (values, sorted(final))
            for name in final:
                n = one_value(prom, "count(%s{job=%s, counter=%s})"
                              % (series, promql_string(job), promql_string(name)), at)
                assert n == 1, "%s selects %g series" % (name, n)
            return ", ".join(json.dumps(n) for n in sorted(values))

        checks.run("%s: the counter labels round-trip through the query API" % run,
                   labels_round_trip)

        for name, (samples, total, p99) in sorted(final.items()):
            selector = "job=%s, counter=%s" % (promql_string(job), promql_string(name))
            what = "%s, %s" % (run, json.dumps(name))
            if native:
                native_checks(checks, what, prom, at, selector, samples, total, p99)
            else:
                classic_checks(checks, what, prom, at, selector, samples, total, p99)
            if job == "zrperf" and not native:
                created_checks(checks, what, prom, at, start, selector)

        def switched_off(prom=prom, job=job, histograms=histograms):
            """With the variable on the other kind, this kind's queries answer nothing."""
            other = [text for text in histograms_value if text != histograms]
            assert other, "the variable histograms has no other value than %s" % histograms
            queries_off = [substitute(q, job, histograms_value[other[0]])
                           for _, kind, only_for, q in queries if only_for == histograms]
            assert queries_off, "no query for %s histograms" % histograms
            for query in queries_off:
                data = api(prom, "/api/v1/query_range",
                           {"query": query, "start": start, "end": at, "step": 1})
                assert not data["result"], "%s answers %s" % (query, json.dumps(data)[:300])
            return "%d queries" % len(queries_off)

        checks.run("%s, dashboard: the queries for %s histograms answer nothing with "
                   "histograms set to the other kind" % (run, histograms), switched_off)

        for what, kind, only_for, query in queries:
            if only_for not in (None, histograms):
                continue  # answers for the other kind of histograms only
            query = substitute(query, job, histograms_value.get(histograms, histograms))
            if kind == "expr":
                def has_data(query=query, prom=prom):
                    data = api(prom, "/api/v1/query_range",
                               {"query": query, "start": start, "end": at, "step": 1})
                    # Float points, or native histograms (a heatmap's query)
                    # with a finite count.
                    points = sum(1 for s in data["result"] for v in s.get("values", [])
                                 if finite(v[1]) is not None)
                    points += sum(1 for s in data["result"] for v in s.get("histograms", [])
                                  if finite(v[1]["count"]) is not None)
                    assert points > 0, "no finite point: %s" % json.dumps(data)[:300]
                    return "%d series, %d points" % (len(data["result"]), points)
            else:
                def has_data(query=query, prom=prom):
                    m = (re.fullmatch(r"label_values\((.*),\s*([a-zA-Z_]\w*)\)", query) or
                         re.fullmatch(r"label_values\(()([a-zA-Z_]\w*)\)", query))
                    assert m, "not a label_values() query"
                    params = {"start": start, "end": at}
                    if m.group(1):
                        params["match[]"] = m.group(1)
                    values = api(prom, "/api/v1/label/%s/values" % m.group(2), params)
                    assert values, "no values"
                    return "%d values" % len(values)
            checks.run("%s, dashboard %s: %s" % (run, what, query), has_data)

    print("checks: %d %d" % (checks.passed, checks.failed))


def count_and_sum_checks(checks, what, prom, at, samples, total, count_expr, sum_expr):
    """A counter's sample count and sum, at a moment when they hold the demo's
    final figures: the count exactly the final line's, the sum within the
    printed total's rounding."""
    count_name, sum_name = (e.split("{")[0].split("(")[0] for e in (count_expr, sum_expr))
    def count_ok():
        count = one_value(prom, count_expr, at)
        assert count == samples, "%s is %g, the demo's final count %d" % (count_expr, count, samples)
        return "%d" % count

    checks.run("%s: %s == the demo's final count" % (what, count_name), count_ok)

    def sum_ok():
        value = one_value(prom, sum_expr, at)
        # The printed total is truncated: the true one is from total.low to
        # total.high; 1e-9 allows for the float sum of 100 ns units.
        assert total.low * (1 - 1e-9) <= value <= total.high * (1 + 1e-9), \
            "%s is %.9gs, the demo's total %s" % (sum_expr, value, total.text)
        return "%.9gs, the demo's total %s" % (value, total.text)

    checks.run("%s: %s == the demo's final total" % (what, sum_name), sum_ok)


def classic_checks(checks, what, prom, at, selector, samples, total, p99):
    """A counter's classic series, at a moment when they hold the demo's final
    figures (cumulative since the counter's creation, as the last "Exec
    Stats" line): its count and sum are the line's, its p99 within a bucket."""
    count_and_sum_checks(checks, what, prom, at, samples, total,
                         "zrperf_elapsed_seconds_count{%s}" % selector,
                         "zrperf_elapsed_seconds_sum{%s}" % selector)

    def p99_ok():
        buckets = api(prom, "/api/v1/query",
                      {"query": "zrperf_elapsed_seconds_bucket{%s}" % selector,
                       "time": at})["result"]
        bounds = sorted(float(b["metric"]["le"]) for b in buckets)
        assert bounds and bounds[-1] == math.inf, "no +Inf bucket"
        estimate = one_value(
            prom, "histogram_quantile(0.99, zrperf_elapsed_seconds_bucket{%s})" % selector, at)
        # Bucket i holds (bounds[i-1], bounds[i]]; 0 the values up to the first le.
        index = lambda x: next(i for i, b in enumerate(bounds) if x <= b)
        assert abs(index(estimate) - index(p99.low)) <= 1, \
            "estimate %gs in the bucket ending at %g, the demo's p99 %gs in the one at %g" \
            % (estimate, bounds[index(estimate)], p99.low, bounds[index(p99.low)])
        return "%.3gs against the demo's %.3gs (%d buckets)" % (estimate, p99.low, len(bounds))

    checks.run("%s: histogram_quantile(0.99) within one bucket of the demo's p99" % what, p99_ok)


def created_checks(checks, what, prom, at, start, selector):
    """The series' starts that only the OpenMetrics text carries (a
    Prometheus 2.42 stores each `_created` sample as a series of its own):
    the counter's creation, between the demo's start and now, in Unix
    seconds; the same for its throughput counter."""
    def created_ok():
        starts = []
        for family in ("zrperf_elapsed_seconds", "zrperf_transferred_bytes",
                       "zrperf_transfers"):
            value = one_value(prom, "%s_created{%s}" % (family, selector), at)
            assert float(start) - 1 <= value <= float(at), \
                "%s_created %.3f outside the demo's run %s to %s" % (family, value, start, at)
            starts.append(value)
        return "%.3f, %.3f, %.3f (the demo started at %s)" % (tuple(starts) + (start,))

    checks.run("%s: the OpenMetrics scrape's _created series are the counter's creation" % what,
               created_ok)


def native_checks(checks, what, prom, at, selector, samples, total, p99):
    """A counter's native series, at a moment when it holds the demo's final
    figures: it is a native histogram, and its count, sum and p99 are the
    demo's. The instant histogram (no rate) is cumulative since the counter's
    creation, so it holds exactly the samples the demo's last "Exec Stats"
    line describes."""
    histogram = "zrperf_elapsed_seconds{%s}" % selector

    def is_native():
        rate = one_value(prom, "histogram_count(rate(%s[30s]))" % histogram, at)
        assert rate > 0, "histogram_count(rate(...[30s])) is %g" % rate
        return "%.0f samples a second over the last 30 s" % rate

    checks.run("%s: the series is a native histogram" % what, is_native)

    count_and_sum_checks(checks, what, prom, at, samples, total,
                         "histogram_count(%s)" % histogram, "histogram_sum(%s)" % histogram)

    def p99_ok():
        estimate = one_value(prom, "histogram_quantile(0.99, %s)" % histogram, at)
        # Prometheus interpolates within the bucket that holds the 99th
        # percentile's rank, the same rank the demo's p99 takes
        # (ceil(0.99 * count)), so the estimate is in the bucket of the demo's
        # p99: 2^((i-1)/16) < estimate <= 2^(i/16). Its bucket is taken from
        # the estimate less a few ulps, since Prometheus' 2^(i/16) may differ
        # from Python's in the last bit and the estimate can be an upper edge.
        got = schema4_bucket(estimate * (1 - 1e-14))
        # The demo prints its p99 truncated to two decimals of ms or s: its
        # bucket is that of the printed value, or the next one up when an edge
        # lies between the printed value and the largest value that prints so
        # (p99.high); in ns and us the printed value is exact.
        want = range(schema4_bucket(p99.low), schema4_bucket(p99.high) + 1)
        assert got in want, \
            "estimate %.6gs in schema-4 bucket %d, the demo's p99 %s in %s" \
            % (estimate, got, p99.text, " or ".join(str(i) for i in want))
        return "%.4gs against the demo's %s, schema-4 bucket %d (%.4gs, %.4gs]" \
            % (estimate, p99.text, got, 2 ** ((got - 1) / 16), 2 ** (got / 16))

    checks.run("%s: histogram_quantile(0.99) in the schema-4 bucket of the demo's p99" % what,
               p99_ok)


def wait_up(prom, job, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if one_value(prom, 'up{job="%s"}' % job, time.time()) == 1:
                return 0
        except ApiError:
            pass
        time.sleep(0.2)
    return 1


def main(argv):
    if len(argv) == 5 and argv[1] == "wait-up":
        return wait_up(argv[2], argv[3], float(argv[4]))
    runs = [tuple(run.split(",", 2)) for run in argv[6:]]
    if len(argv) >= 7 and argv[1] == "check" and \
            all(len(r) == 3 and r[0] in ("classic", "native") for r in runs):
        check(argv[2], argv[3], argv[4], argv[5], runs)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
