#!/usr/bin/env bash
# Installs the build in BUILD_DIR (default build/) into a temporary prefix and
# builds and runs a program against it twice: once through find_package(zrperf)
# and once through pkg-config; the same for each exporter library that was built.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log"
test -f "$prefix/include/zrperf/zrperf.h"
test -f "$prefix/include/zrperf/Version.h"
ls "$prefix"/lib*/libzrperf.so.2 "$prefix"/lib*/libzrframework.so.2 > /dev/null
# Of the internal headers, only those whose types public classes embed.
internal=$(cd "$prefix/include/zrperf" && find . -path '*/internal/*' -type f | LC_ALL=C sort | tr '\n' ' ')
expected="./counters/internal/LatencyHistogram.h ./counters/internal/ThreadSlots.h \
./counters/internal/TimeFigures.h ./perf/internal/NameIndex.h "
if [ "$internal" != "$expected" ]; then
  echo "consumer test: installed internal headers: $internal" >&2
  exit 1
fi

# 1. CMake package.
cmake -S tests/consumer -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" > "$work/cfg.log"
cmake --build "$work/cmake-build" > "$work/build.log"
LD_LIBRARY_PATH="$(echo "$prefix"/lib*)" "$work/cmake-build/consumer"

# 2. pkg-config.
export PKG_CONFIG_PATH="$(echo "$prefix"/lib*)/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-pc" tests/consumer/main.cpp $(pkg-config --cflags --libs zrperf)
LD_LIBRARY_PATH="$(echo "$prefix"/lib*)" "$work/consumer-pc"
passed=2

# 3. Each exporter library alone, both ways, when the build has it; its
# header at its path and at the forwarding path of earlier releases.
# exporter NAME HEADER: the consumer of libzrperf-NAME, when it was installed.
exporter() {
  ls "$prefix"/lib*/libzrperf-"$1".so.2 > /dev/null 2>&1 || return 0
  test -f "$prefix/include/zrperf/export/$1/$2"
  test -f "$prefix/include/zrperf/$2"
  LD_LIBRARY_PATH="$(echo "$prefix"/lib*)" "$work/cmake-build/consumer-$1"
  # shellcheck disable=SC2046
  g++ -std=c++17 -o "$work/consumer-$1-pc" "tests/consumer/$1.cpp" \
    $(pkg-config --cflags --libs "zrperf-$1")
  LD_LIBRARY_PATH="$(echo "$prefix"/lib*)" "$work/consumer-$1-pc"
  passed=$((passed + 2))
}
exporter prometheus PrometheusCollector.h
exporter otlp OtlpExporter.h
# 4. The installed programs run from the prefix with no library path set:
# they find the project's libraries relative to themselves.
env -u LD_LIBRARY_PATH "$prefix/bin/zrperf-demo" --seconds 1 --threads 2 \
  --targets "$prefix/share/doc/zrperf-tools/examples/targets.csv" --state-dir "$work/state" \
  --histogram-log "$work/state/demo.hlog" > "$work/demo.out" 2> "$work/demo.err"
env -u LD_LIBRARY_PATH "$prefix/bin/zrperf-report" summary "$work/state/demo.hlog" > "$work/report.out"
grep -q "disk0" "$work/report.out" || { echo "consumer test: zrperf-report printed:" >&2; cat "$work/report.out" >&2; exit 1; }
passed=$((passed + 2))
echo "consumer test: $passed passed, 0 failed"
