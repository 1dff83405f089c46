#!/usr/bin/env bash
# Builds every benchmark program of bench/ in a Release build, runs each one and
# ends with one table of all the ratios they report. Every ratio compares a
# measurement with a baseline run in the same process, so the table is
# comparable across machines; the absolute figures above it are not.
#
# Usage: scripts/bench.sh [--build-dir DIR] [benchmark option...]
#   DIR defaults to build-bench. Other options go to every benchmark program,
#   e.g. --benchmark_repetitions=5 (ratios then come from the medians) or
#   --benchmark_min_time=0.1 for a quicker, noisier run.
#   The full output of each program is kept in DIR/<program>.out.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-bench
bench_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir)
      [ $# -ge 2 ] || { echo "bench: --build-dir needs a directory" >&2; exit 2; }
      build_dir="$2"
      shift 2
      ;;
    *) bench_args+=("$1"); shift ;;
  esac
done

scripts/deps.sh
# The benchmark programs are whatever bench/CMakeLists.txt declares.
mapfile -t programs < <(sed -n 's/^[[:space:]]*zr_add_benchmark(\([A-Za-z0-9_]*\).*/\1/p' \
  bench/CMakeLists.txt)
[ ${#programs[@]} -gt 0 ] || { echo "bench: no benchmark in bench/CMakeLists.txt" >&2; exit 1; }

echo "bench: building ${programs[*]} in $build_dir (Release)"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZRPERF_WERROR=ON -DZRPERF_SANITIZE= \
  -DZRPERF_BUILD_BENCHMARKS=ON -DZRPERF_BUILD_TESTS=OFF -DZRPERF_BUILD_EXAMPLES=OFF \
  >"$build_dir.configure.log" 2>&1 || { cat "$build_dir.configure.log" >&2; exit 1; }
rm -f "$build_dir.configure.log"
cmake --build "$build_dir" --target "${programs[@]}" -j "$(nproc)"

failed=()
for program in "${programs[@]}"; do
  echo
  echo "bench: running $program"
  if ! "$build_dir/bench/$program" "${bench_args[@]}" 2>&1 | tee "$build_dir/$program.out"; then
    failed+=("$program")
  fi
done

# Collects the ratios of every program's output into one table. Two layouts
# are understood:
#   "RATIO | <label> | <value> | target <target>"   (one line per ratio)
#   the reader benchmark's throughput section:
#     "  <n> MB: baseline <x> MB/s"
#     "    <loop> <x> MB/s  <ratio>x (<y>x slower)"  (one per loop, after it)
# The second one is read only from a program that printed no RATIO line.
echo
echo "Benchmark ratios (each against a baseline measured in the same run):"
for program in "${programs[@]}"; do
  if [ -f "$build_dir/$program.out" ]; then sed "s/^/$program\t/" "$build_dir/$program.out"; fi
done | awk -F'\t' '
  function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
  function add(program, label, value, target) {
    n++; prog[n] = program; lab[n] = label; val[n] = value; tgt[n] = target
    if (length(program) > wp) wp = length(program)
    if (length(label) > wl) wl = length(label)
  }
  {
    program = $1
    line = substr($0, length(program) + 2)
    if (line ~ /^RATIO \|/) {
      split(line, f, "|")
      target = trim(f[4]); sub(/^target /, "", target)
      add(program, trim(f[2]), trim(f[3]), target)
      has_ratio[program] = 1
    } else if (line ~ /^ +[0-9]+ MB: baseline /) {
      split(trim(line), f, " "); size[program] = f[1]
    } else if (line ~ /^ +[A-Za-z0-9_]+ +[0-9.]+ MB\/s +[0-9.]+x \(/ && size[program] != "") {
      split(trim(line), f, " ")
      value = f[4]; sub(/x$/, "", value)
      alt[program] = alt[program] sprintf("%s\t%s throughput / baseline, %s MB list\t%s\n", \
                                          program, f[1], size[program], value)
    }
  }
  END {
    for (p in alt) {
      if (has_ratio[p]) continue
      m = split(alt[p], rows, "\n")
      for (i = 1; i <= m; i++) if (rows[i] != "") { split(rows[i], f, "\t"); add(f[1], f[2], f[3], "-") }
    }
    if (n == 0) { print "  (no ratio was reported)"; exit }
    if (wp < 7) wp = 7
    fmt = "  %-" wp "s  %-" wl "s  %7s  %s\n"
    printf fmt, "program", "ratio", "value", "target"
    for (i = 1; i <= n; i++) printf fmt, prog[i], lab[i], val[i], tgt[i]
  }'

# The scoped-timer rows depend on the clock the recording path reads here.
if [ -f "$build_dir/Counters_bench.out" ]; then
  sed -n 's/^cycle clock: /  recording clock: /p' "$build_dir/Counters_bench.out"
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "bench: failed: ${failed[*]}" >&2
  exit 1
fi
