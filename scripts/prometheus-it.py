#!/usr/bin/env python3
"""Checks of scripts/prometheus-it.sh, made through a Prometheus server's HTTP API.

  prometheus-it.py wait-up PROM JOB SECONDS
      waits until up{job=JOB} is 1; exit status 1 when it never is.
  prometheus-it.py check PROM TIME START DEMO_LOG DASHBOARD JOB...
      for each JOB, the checks listed in check() below, evaluated at the Unix
      time TIME (after the workload's last statistics pass; the dashboard's
      range queries cover START to TIME). Prints one "ok: ..." or "FAIL: ..."
      line a check and closes with "checks: PASSED FAILED".

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


UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
# One counter's line of an "Exec Stats" record: four tabs, the name, ": ",
# then CTimeCounter::AsString()'s text.
STATS_LINE = re.compile(rb"\n\t\t\t\t([^\n]*): samples=(\d+) [^\n]* p99=([0-9.]+)(ns|us|ms|s) ")


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
    """{label value: (samples, p99 in seconds)} from each counter's last line
    in the demo's "Exec Stats" records."""
    last = {}
    for m in STATS_LINE.finditer(log):
        last[label_value(record_name(m.group(1)))] = (int(m.group(2)),
                                         float(m.group(3)) * UNITS[m.group(4).decode()])
    return last


def dashboard_queries(path):
    """(description, kind, query) of every query of a Grafana dashboard: the
    panels' PromQL expressions and the query variables' label_values()."""
    with open(path) as f:
        doc = json.load(f)

    def panels(items):
        for p in items:
            yield p
            yield from panels(p.get("panels", []))

    for p in panels(doc.get("panels", [])):
        for t in p.get("targets", []):
            if t.get("expr"):
                yield 'panel "%s" %s' % (p.get("title", ""), t.get("refId", "")), "expr", t["expr"]
    for v in doc.get("templating", {}).get("list", []):
        if v.get("type") == "query":
            q = v.get("query")
            q = q.get("query") if isinstance(q, dict) else q
            yield "variable %s" % v["name"], "label_values", q


def substitute(expr, job):
    """Grafana's variables in `expr` as the dashboard would fill them for `job`
    with every instance and counter selected and a fixed rate window."""
    for name, value in (("__rate_interval", "10s"), ("__interval", "1s"), ("job", job),
                        ("instance", ".*"), ("counter", ".*")):
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


def check(prom, at, start, log_path, dashboard, jobs):
    with open(log_path, "rb") as f:
        final = final_figures(f.read())
    checks = Checks()

    def counters_named():
        assert len(final) == 4, "expected 4 counters, found %s" % sorted(final)
        return ", ".join(json.dumps(n) for n in sorted(final))

    checks.run("the demo's Exec Stats records name its four counters", counters_named)
    queries = list(dashboard_queries(dashboard))

    for job in jobs:
        def target_ok(job=job):
            targets = [t for t in api(prom, "/api/v1/targets", {"state": "active"})["activeTargets"]
                       if t["labels"].get("job") == job]
            assert len(targets) == 1, "%d targets of job %s" % (len(targets), job)
            t = targets[0]
            assert t["health"] == "up" and t["lastError"] == "", \
                "health %s, lastError %r" % (t["health"], t["lastError"])
            return "health up, lastError empty"

        checks.run("job %s: the target's last scrape has no error" % job, target_ok)
        if job == "node":
            def textfile_ok():
                value = one_value(prom, 'node_textfile_scrape_error{job="node"}', at)
                assert value == 0, "node_textfile_scrape_error is %g" % value

            checks.run("job node: node_exporter read the textfile without error", textfile_ok)

        def labels_round_trip(job=job):
            values = api(prom, "/api/v1/label/counter/values",
                         {"match[]": 'zrperf_elapsed_seconds_count{job="%s"}' % job})
            assert sorted(values) == sorted(final), \
                "Prometheus has %s, the demo logged %s" % (values, sorted(final))
            for name in final:
                n = one_value(prom, "count(zrperf_elapsed_seconds_count{job=%s, counter=%s})"
                              % (promql_string(job), promql_string(name)), at)
                assert n == 1, "%s selects %g series" % (name, n)
            return ", ".join(json.dumps(n) for n in sorted(values))

        checks.run("job %s: the counter labels round-trip through the query API" % job,
                   labels_round_trip)

        for name, (samples, p99) in sorted(final.items()):
            selector = "job=%s, counter=%s" % (promql_string(job), promql_string(name))

            def count_ok(selector=selector, samples=samples):
                count = one_value(prom, "zrperf_elapsed_seconds_count{%s}" % selector, at)
                assert 0 < count <= samples, "count %g, the demo's final count %d" % (count, samples)
                return "%d of the demo's final %d" % (count, samples)

            checks.run("job %s, %s: 0 < zrperf_elapsed_seconds_count <= the demo's count"
                       % (job, json.dumps(name)), count_ok)

            def p99_ok(selector=selector, p99=p99):
                buckets = api(prom, "/api/v1/query",
                              {"query": "zrperf_elapsed_seconds_bucket{%s}" % selector,
                               "time": at})["result"]
                bounds = sorted(float(b["metric"]["le"]) for b in buckets)
                assert bounds and bounds[-1] == math.inf, "no +Inf bucket"
                estimate = one_value(
                    prom, "histogram_quantile(0.99, zrperf_elapsed_seconds_bucket{%s})" % selector,
                    at)
                # Bucket i holds (bounds[i-1], bounds[i]]; 0 the values up to the first le.
                index = lambda x: next(i for i, b in enumerate(bounds) if x <= b)
                assert abs(index(estimate) - index(p99)) <= 1, \
                    "estimate %gs in the bucket ending at %g, the demo's p99 %gs in the one at %g" \
                    % (estimate, bounds[index(estimate)], p99, bounds[index(p99)])
                return "%.3gs against the demo's %.3gs (%d buckets)" % (estimate, p99, len(bounds))

            checks.run("job %s, %s: histogram_quantile(0.99) within one bucket of the demo's p99"
                       % (job, json.dumps(name)), p99_ok)

        for what, kind, query in queries:
            query = substitute(query, job)
            if kind == "expr":
                def has_data(query=query):
                    data = api(prom, "/api/v1/query_range",
                               {"query": query, "start": start, "end": at, "step": 1})
                    points = sum(1 for s in data["result"] for v in s["values"]
                                 if finite(v[1]) is not None)
                    assert points > 0, "no finite point: %s" % json.dumps(data)[:300]
                    return "%d series, %d points" % (len(data["result"]), points)
            else:
                def has_data(query=query):
                    m = (re.fullmatch(r"label_values\((.*),\s*([a-zA-Z_]\w*)\)", query) or
                         re.fullmatch(r"label_values\(()([a-zA-Z_]\w*)\)", query))
                    assert m, "not a label_values() query"
                    params = {"start": start, "end": at}
                    if m.group(1):
                        params["match[]"] = m.group(1)
                    values = api(prom, "/api/v1/label/%s/values" % m.group(2), params)
                    assert values, "no values"
                    return "%d values" % len(values)
            checks.run("job %s, dashboard %s: %s" % (job, what, query), has_data)

    print("checks: %d %d" % (checks.passed, checks.failed))


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
    if len(argv) >= 8 and argv[1] == "check":
        check(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7:])
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
