#!/usr/bin/env bash
# Runs zrperf-demo end to end, the way a user would:
#   1. a 2-second run with 2 threads on the shipped target list, logging to
#      stderr: exit 0, an "Exec Stats" record with each target's write and read
#      counters, a "Throughput Stats" record, the staging directory written to
#      the store (its log line) and a per-target summary on stdout;
#   2. a second, 1-second run on the same state directory, logging to a file
#      and with a target list that does not exist: the staging directory is
#      not written again, the default target is used, the records go to the
#      file;
#   2b. planted links and an unsafe default state directory are refused;
#   2c. OTLP configured from the OTEL_* environment, the flags winning;
#   3. bad command lines: exit 2 and a message on stderr; --help: exit 0.
# Usage: zrperf_demo_test.sh DEMO [EMULATOR...]   (EMULATOR runs DEMO in a cross build)
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 DEMO [EMULATOR...]" >&2; exit 2; }
demo=$1
shift
run=("$@" "$demo")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# show NAME FILE: prints a file that a failed check refers to.
show() { echo "---- $1 ----" >&2; cat "$2" >&2; echo "----" >&2; }

tab=$'\t'
stats_line() { echo "^${tab}${tab}${tab}${tab}$1: $2=[1-9][0-9]*( |\$)"; }

# 1. First run.
rc=0
"${run[@]}" --seconds 2 --threads 2 --state-dir "$tmp/state" >"$tmp/out1" 2>"$tmp/err1" || rc=$?
[ "$rc" -eq 0 ] || fail "first run exited with $rc"
grep -q "Exec Stats: " "$tmp/err1" || fail "first run: no Exec Stats record"
grep -q "Throughput Stats: " "$tmp/err1" || fail "first run: no Throughput Stats record"
# The shipped list names disk0, disk1 and tape0.
for target in disk0 disk1 tape0; do
  for op in write read; do
    grep -Eq "$(stats_line "$target.$op" samples)" "$tmp/err1" ||
      fail "first run: no elapsed-time line for $target.$op"
    grep -Eq "$(stats_line "$target.$op" transfers)" "$tmp/err1" ||
      fail "first run: no throughput line for $target.$op"
  done
  grep -Eq "^$target +[1-9][0-9]* +[1-9][0-9]* +[1-9][0-9]* +[0-9.]+\$" "$tmp/out1" ||
    fail "first run: no summary line for $target"
done
grep -q "targets: 3 from .*targets.csv: disk0, disk1, tape0" "$tmp/out1" ||
  fail "first run: the shipped target list was not reported"
grep -q "set ZrScsiSrvBStorStagingDir regkey to $tmp/state/staging" "$tmp/err1" ||
  fail "first run: the staging directory was not written to the store"
grep -q "staging directory: $tmp/state/staging written to $tmp/state/platform.db" "$tmp/out1" ||
  fail "first run: did not say that it wrote the staging directory"
[ -f "$tmp/state/platform.db" ] || fail "first run: no configuration store in the state directory"
if ls "$tmp/state/data/"*.dat >/dev/null 2>&1; then fail "first run: scratch data files left"; fi
[ "$failures" -eq 0 ] || { show "stdout of run 1" "$tmp/out1"; show "stderr of run 1" "$tmp/err1"; }

# 2. Second run on the same state directory.
before=$failures
rc=0
"${run[@]}" --seconds 1 --threads 2 --state-dir "$tmp/state" --targets "$tmp/missing.csv" \
  --log-file "$tmp/log/demo.log" >"$tmp/out2" 2>"$tmp/err2" || rc=$?
[ "$rc" -eq 0 ] || fail "second run exited with $rc"
[ -f "$tmp/log/demo.log" ] || fail "second run: no log file"
touch "$tmp/log/demo.log"
if grep -q "regkey" "$tmp/log/demo.log" "$tmp/err2"; then
  fail "second run: the unchanged staging directory was written again"
fi
grep -q "staging directory: $tmp/state/staging already in .*; nothing written" "$tmp/out2" ||
  fail "second run: did not say that nothing was written"
grep -q 'targets: none in .*missing.csv.*using the target "default"' "$tmp/out2" ||
  fail "second run: the missing target list was not reported"
grep -Eq "$(stats_line default.write samples)" "$tmp/log/demo.log" ||
  fail "second run: no Exec Stats line for the default target in the log file"
grep -q "Throughput Stats: " "$tmp/log/demo.log" || fail "second run: no Throughput Stats record"
if grep -q "Stats: " "$tmp/err2"; then fail "second run: records went to stderr, not the file"; fi
[ "$failures" -eq "$before" ] || {
  show "stdout of run 2" "$tmp/out2"
  show "stderr of run 2" "$tmp/err2"
  show "log of run 2" "$tmp/log/demo.log"
}

# 2b. Planted links. Scratch files are always new files: a link left where a
# scratch file goes is replaced, never written through. The default state
# directory is used only when it is the user's own private directory.
before=$failures
mkdir -p "$tmp/planted/data" "$tmp/victims"
for i in 0 1 2; do
  printf 'keep me %s' "$i" >"$tmp/victims/$i"
  chmod 600 "$tmp/victims/$i"
done
ln -s "$tmp/victims/0" "$tmp/planted/data/0-disk0.dat"
ln -s "$tmp/victims/1" "$tmp/planted/data/1-disk1.dat"
ln -s "$tmp/victims/missing" "$tmp/planted/data/2-tape0.dat"
rc=0
"${run[@]}" --seconds 1 --threads 2 --state-dir "$tmp/planted" >"$tmp/out3" 2>"$tmp/err3" || rc=$?
[ "$rc" -eq 0 ] || fail "run over planted links exited with $rc"
for i in 0 1; do
  [ "$(cat "$tmp/victims/$i")" = "keep me $i" ] || fail "a planted link's target $i was written"
done
[ ! -e "$tmp/victims/missing" ] || fail "a dangling planted link's target was created"
mkdir -p "$tmp/shared"
shared_default="$tmp/shared/zrperf-demo-$(id -u)"
mkdir -m 777 "$shared_default"
chmod 777 "$shared_default"
rc=0
TMPDIR="$tmp/shared" "${run[@]}" --seconds 1 >"$tmp/out4" 2>"$tmp/err4" || rc=$?
[ "$rc" -eq 1 ] || fail "a world-writable default state directory: exit $rc, not 1"
grep -q "not a directory private to you" "$tmp/err4" ||
  fail "a world-writable default state directory was not refused with its reason"
rmdir "$shared_default"
ln -s "$tmp/victims" "$shared_default"
rc=0
TMPDIR="$tmp/shared" "${run[@]}" --seconds 1 >"$tmp/out4" 2>"$tmp/err4" || rc=$?
[ "$rc" -eq 1 ] || fail "a linked default state directory: exit $rc, not 1"
grep -q "is a link or not a directory" "$tmp/err4" || fail "a linked default state directory was not refused"
[ ! -e "$tmp/victims/platform.db" ] || fail "the store was created through a linked default"
[ "$failures" -eq "$before" ] || { show "stderr of run 3" "$tmp/err3"; show "stderr of run 4" "$tmp/err4"; }

# 2c. OTLP from the OTEL_* environment (builds with OTLP only). Nothing
# listens on the discard port: pushes fail, which the run survives.
before=$failures
otlp_run() { # VAR=VALUE... -- DEMO-ARGS...: stdout to out5, stderr to err5
  local vars=()
  while [ "$1" != "--" ]; do vars+=("$1"); shift; done
  shift
  env "${vars[@]}" "${run[@]}" --seconds 1 --threads 1 --state-dir "$tmp/state" "$@" \
    >"$tmp/out5" 2>"$tmp/err5" || fail "OTLP run with ${vars[*]} $* exited with $?"
}
otlp_expect() { grep -qF -- "$1" "$tmp/out5" || fail "OTLP run: no '$1' on stdout"; }
if "${run[@]}" --seconds 1 --state-dir "$tmp/state" --otlp-endpoint http://127.0.0.1:9 2>&1 |
  grep -q "no OTLP support"; then
  echo "zrperf-demo: built without OTLP; its environment checks skipped"
else
  otlp_run OTEL_EXPORTER_OTLP_ENDPOINT=http://127.0.0.1:9 OTEL_METRIC_EXPORT_INTERVAL=2500 --
  otlp_expect "otlp: http://127.0.0.1:9/v1/metrics every 2.5 s"
  otlp_run OTEL_EXPORTER_OTLP_ENDPOINT=http://127.0.0.1:9 \
    OTEL_EXPORTER_OTLP_METRICS_ENDPOINT=http://127.0.0.1:9/custom --
  otlp_expect "otlp: http://127.0.0.1:9/custom every 60 s"
  otlp_run OTEL_EXPORTER_OTLP_METRICS_ENDPOINT=http://127.0.0.1:9/custom OTEL_SDK_DISABLED=true \
    OTEL_METRIC_EXPORT_INTERVAL=2500 -- --otlp-endpoint http://127.0.0.1:9/flag --otlp-period 7
  otlp_expect "otlp: http://127.0.0.1:9/flag/v1/metrics every 7 s"
  otlp_run OTEL_EXPORTER_OTLP_ENDPOINT=http://127.0.0.1:9 OTEL_SDK_DISABLED=TRUE \
    OTEL_EXPORTER_OTLP_TIMEOUT=$'1\e[2J' --
  otlp_expect "otlp: disabled by OTEL_SDK_DISABLED"
  grep -qF "zrperf-demo: OTEL_EXPORTER_OTLP_TIMEOUT: '1\x1b[2J' is not a whole number" "$tmp/err5" ||
    fail "OTLP run: the unusable timeout was not named, escaped, on stderr"
  otlp_run --
  if grep -q "^otlp:" "$tmp/out5"; then fail "OTLP run: pushed without an endpoint"; fi
fi
[ "$failures" -eq "$before" ] || { show "stdout of the OTLP run" "$tmp/out5"; show "stderr" "$tmp/err5"; }

# 3. Command lines.
expect_usage_error() {
  local rc=0
  "${run[@]}" "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
  [ "$rc" -eq 2 ] || fail "'$*' exited with $rc, not 2"
  grep -q "^zrperf-demo: " "$tmp/err" || fail "'$*' gave no message on stderr"
  [ ! -s "$tmp/out" ] || fail "'$*' wrote to stdout"
}
# One unknown option and one bad value; the parser's own test covers the rest.
expect_usage_error --bogus
expect_usage_error --threads many

rc=0
"${run[@]}" --help >"$tmp/out" 2>"$tmp/err" || rc=$?
[ "$rc" -eq 0 ] || fail "--help exited with $rc"
grep -q -- "--state-dir" "$tmp/out" || fail "--help does not explain --state-dir"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "zrperf-demo: all checks passed"
