#!/usr/bin/env bash
# Integration test of the Prometheus export against real servers: Debian's
# Prometheus 2.42 and node_exporter 1.5, started by this script on loopback
# ports of its own, with their data under a temporary directory, and stopped
# on exit (the packages' own services are neither used nor touched).
#
#   1. builds zrperf-demo in build/;
#   2. starts node_exporter (textfile collector only) on a temporary textfile
#      directory and a Prometheus server that scrapes it (job "node") and the
#      demo (job "zrperf", through a file_sd target file) every second (it
#      asks for OpenMetrics 1.0 text, as Prometheus does by default), and a
#      second Prometheus server, with --enable-feature=native-histograms, that
#      scrapes the demo (job "zrperf") every second too: it asks for the
#      protobuf format and stores native histograms only;
#   3. runs the demo with --metrics-listen 127.0.0.1:0 and --metrics-textfile
#      into that directory, on a target list that holds a name with quotes, a
#      backslash, a '%', a tab and a byte that is not UTF-8; reads the URL it
#      prints and hands its address to Prometheus;
#   4. checks the served text and the textfile with `promtool check metrics`,
#      and that Prometheus' default Accept header gets OpenMetrics 1.0 text;
#   5. waits for `up == 1` of the three jobs and for the end of the workload,
#      then, for each job of the first server, through Prometheus's HTTP API
#      (scripts/prometheus-it.py):
#      the target's last scrape has no error, the counter label values are
#      exactly the demo's counter names (the odd one percent-encoded as the
#      collector documents it) and each selects its series, each counter's
#      zrperf_elapsed_seconds_count and _sum are the count and total of the
#      demo's last "Exec Stats" line for it, histogram_quantile(0.99, ...)
#      lies within one bucket of that line's p99, the OpenMetrics scrape's
#      _created series hold each counter's creation, and every query of the
#      Grafana dashboard export/prometheus/dashboards/zrperf.json for classic histograms
#      (and every query for both kinds) returns data; and through the second
#      server: no scrape error, the labels round-trip, each counter's series is
#      a native histogram whose histogram_count and histogram_sum are the
#      line's count and total and whose histogram_quantile(0.99, ...) lies in
#      the schema-4 bucket of its p99, and every dashboard query for native
#      histograms (and for both kinds) returns data;
#   6. the demo exits 0 after its --linger period and its endpoint is closed.
# Closes with "N passed, N failed"; the exit status is 1 when a check failed.
# Takes about 45 seconds (most of it the demo's run and linger), plus the build.
#
# Usage: scripts/prometheus-it.sh [--build-dir DIR]   (as root, or with sudo available)
#   ZRPERF_DEMO=PROGRAM runs PROGRAM instead of building zrperf-demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$root/build
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$(realpath -m "$2"); shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR]" >&2; exit 2 ;;
  esac
done
dashboard=$root/export/prometheus/dashboards/zrperf.json
checker=$root/scripts/prometheus-it.py

# How long the demo works and then keeps serving: Prometheus scrapes the whole
# workload, and the checks run while the demo lingers with its final figures.
work_seconds=12
linger_seconds=25

log() { echo "prometheus-it: $* ($(date +%T))"; }
die() { echo "prometheus-it: error: $*" >&2; exit 1; }

bash "$root/scripts/deps.sh" prometheus prometheus-node-exporter curl python3
for tool in prometheus promtool prometheus-node-exporter curl python3; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done

demo=${ZRPERF_DEMO:-}
if [ -z "$demo" ]; then
  mkdir -p "$build_dir"
  build_log=$build_dir/prometheus-it-build.log
  log "building zrperf-demo in $build_dir (log: $build_log)"
  # The same configuration as scripts/test.sh, so the two share build/.
  {
    cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRPERF_WERROR=ON \
      -DZRPERF_SANITIZE= &&
      cmake --build "$build_dir" --target zrperf-demo -j "$(nproc)"
  } >"$build_log" 2>&1 || { tail -n 40 "$build_log" >&2; die "the build failed; see $build_log"; }
  demo=$build_dir/examples/zrperf-demo
fi

tmp=$(mktemp -d /tmp/zrperf-prometheus-it.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# check DESCRIPTION COMMAND...: one check; the command's output is shown on failure.
check() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then
    pass "$what"
  else
    fail "$what"
    [ -z "$out" ] || echo "${out//$'\n'/$'\n'    }" | sed '1s/^/    /'
  fi
}
# wait_for SECONDS COMMAND...: retries the command every 0.2 s until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
# lint FILE: promtool accepts the exposition text in FILE.
lint() { [ -s "$1" ] && promtool check metrics <"$1"; }
# refused URL: a GET of URL fails (an HTTP error or no connection).
refused() { ! curl -fsS --max-time 5 "$1" >/dev/null 2>&1; }
# ended PID: the process is gone.
ended() { ! kill -0 "$1" 2>/dev/null; }
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The target list: one plain name and one with a quote pair, a backslash, a
# '%', the byte 0xFF (never part of UTF-8) and a tab.
printf 'disk0,odd"q\\u%%o\xff"\tte\n' >"$tmp/targets.csv"
mkdir -p "$tmp/textfile"
textfile=$tmp/textfile/zrperf.prom

# node_exporter with nothing but the textfile collector.
ne_port=$(free_port)
timeout -k 5 300 prometheus-node-exporter --web.listen-address="127.0.0.1:$ne_port" \
  --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$tmp/textfile" >"$tmp/node-exporter.log" 2>&1 &
pids+=($!)

# Prometheus scraping node_exporter and, once it listens, the demo every
# second; both are up before the demo starts, so that they see all its run.
# A second one, with native histograms, scrapes the demo alone.
echo '[]' >"$tmp/zrperf-targets.json"
prom_port=$(free_port)
prom=http://127.0.0.1:$prom_port
cat >"$tmp/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: zrperf
    file_sd_configs:
      - files: ['$tmp/zrperf-targets.json']
  - job_name: node
    static_configs:
      - targets: ['127.0.0.1:$ne_port']
EOF
check "promtool check config accepts the generated configuration" \
  promtool check config "$tmp/prometheus.yml"
timeout -k 5 300 prometheus --config.file="$tmp/prometheus.yml" \
  --storage.tsdb.path="$tmp/prometheus-data" --web.listen-address="127.0.0.1:$prom_port" \
  --log.level=warn >"$tmp/prometheus.log" 2>&1 &
pids+=($!)

native_port=$(free_port)
native=http://127.0.0.1:$native_port
cat >"$tmp/prometheus-native.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: zrperf
    file_sd_configs:
      - files: ['$tmp/zrperf-targets.json']
EOF
check "promtool check config accepts the native-histogram server's configuration" \
  promtool check config "$tmp/prometheus-native.yml"
timeout -k 5 300 prometheus --config.file="$tmp/prometheus-native.yml" \
  --enable-feature=native-histograms --storage.tsdb.path="$tmp/prometheus-native-data" \
  --web.listen-address="127.0.0.1:$native_port" \
  --log.level=warn >"$tmp/prometheus-native.log" 2>&1 &
pids+=($!)

for server in "$prom" "$native"; do
  if wait_for 60 curl -fsS --max-time 2 "$server/-/ready"; then
    pass "Prometheus is ready at $server"
  else
    fail "Prometheus at $server did not get ready"
  fi
done

log "starting the demo (${work_seconds} s of work, ${linger_seconds} s linger)"
timeout -k 5 $((work_seconds + linger_seconds + 60)) "$demo" --metrics-listen 127.0.0.1:0 \
  --metrics-textfile "$textfile" --targets "$tmp/targets.csv" --threads 2 \
  --seconds "$work_seconds" --linger "$linger_seconds" --state-dir "$tmp/state" \
  >"$tmp/demo.out" 2>"$tmp/demo.err" &
demo_pid=$!
pids+=("$demo_pid")
demo_started=$(date +%s)

url_line() { grep -m1 -E '^metrics: http://[^ ]+:[0-9]+/metrics$' "$tmp/demo.out"; }
if ! wait_for 30 url_line; then
  fail "the demo printed no 'metrics: http://HOST:PORT/metrics' line"
  cat "$tmp/demo.out" "$tmp/demo.err" | tail -n 20
  echo "$passed passed, $failed failed"
  exit 1
fi
url=$(url_line | sed 's/^metrics: //')
demo_address=$(echo "$url" | sed -E 's|^http://([^/]+)/metrics$|\1|')
case "$demo_address" in
  *:0) fail "the printed URL has port 0: $url" ;;
  *) pass "the demo listens at $url" ;;
esac
echo "[{\"targets\": [\"$demo_address\"]}]" >"$tmp/zrperf-targets.json.new"
mv "$tmp/zrperf-targets.json.new" "$tmp/zrperf-targets.json"

curl -fsS --max-time 5 "$url" -o "$tmp/served.prom" || true
check "promtool check metrics accepts the served text" lint "$tmp/served.prom"
# What Prometheus 2.42 asks for without native histograms: OpenMetrics 1.0.
openmetrics_accept='application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1'
curl -fsS --max-time 5 -H "Accept: $openmetrics_accept" -D "$tmp/served.om.head" "$url" \
  -o "$tmp/served.om" || true
# openmetrics: the answer is OpenMetrics 1.0 text, ending in "# EOF".
openmetrics() {
  grep -qix $'content-type: application/openmetrics-text; version=1.0.0; charset=utf-8\r' \
    "$tmp/served.om.head" && [ "$(tail -n 1 "$tmp/served.om")" = "# EOF" ] &&
    grep -q '^# UNIT zrperf_elapsed_seconds seconds$' "$tmp/served.om"
}
check "the endpoint answers Prometheus' default Accept with OpenMetrics 1.0 text" openmetrics
check "the endpoint serves nothing but /metrics" refused "${url%/metrics}/"
if wait_for 10 test -s "$textfile"; then
  check "promtool check metrics accepts the textfile" lint "$textfile"
else
  fail "the demo wrote no textfile at $textfile"
fi

for job in zrperf node; do
  if python3 "$checker" wait-up "$prom" "$job" 60; then
    pass "job $job: up == 1"
  else
    fail "job $job: up never became 1"
  fi
done
if python3 "$checker" wait-up "$native" zrperf 60; then
  pass "native, job zrperf: up == 1"
else
  fail "native, job zrperf: up never became 1"
fi

# The workload's end: the summary line, after the last statistics pass.
if wait_for $((work_seconds + 30)) grep -q '^ran [0-9.]* s with' "$tmp/demo.out"; then
  pass "the demo's workload ended and printed its summary"
else
  fail "the demo printed no summary"
fi
# Scrapes from here on see the final figures: wait for two, then evaluate
# every query at this moment (the demo's series go stale once it exits).
sleep 2.5
at=$(date +%s.%N)
python3 "$checker" check "$at" "$demo_started" "$tmp/demo.err" "$dashboard" \
  "classic,zrperf,$prom" "classic,node,$prom" "native,zrperf,$native" |
  tee "$tmp/checks.txt" | grep -v '^checks: ' || true
read -r _ p f < <(grep '^checks: ' "$tmp/checks.txt" || echo "checks: 0 1")
passed=$((passed + p))
failed=$((failed + f))

# The demo ends on its own after lingering, and its endpoint goes with it.
left=$((demo_started + work_seconds + linger_seconds + 30 - $(date +%s)))
rc=0
wait_for "$left" ended "$demo_pid" || true
wait "$demo_pid" || rc=$?
if [ "$rc" -eq 0 ]; then pass "the demo exited 0 after lingering"; else fail "the demo exited with $rc"; fi
check "the endpoint is closed after the demo exits" refused "$url"

if [ "$failed" -gt 0 ]; then
  for f in demo.out demo.err prometheus.log prometheus-native.log node-exporter.log; do
    echo "---- last lines of $f ----"
    tail -n 15 "$tmp/$f" | cat -v
  done
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
