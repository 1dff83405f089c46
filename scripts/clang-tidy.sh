#!/usr/bin/env bash
# clang-tidy with the repository's .clang-tidy over the libraries, the
# exporter and the demo (tests, benchmarks and the fuzz target excluded). Uses
# the compile commands of the clang build that scripts/thread-safety.sh makes
# (configured here if that build does not exist yet). A check only: it builds
# and runs nothing.
# Usage: scripts/clang-tidy.sh [BUILD_DIR]   (default build-clang)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build-clang}"

scripts/deps.sh clang-14 clang-tidy-14
if [ ! -f "$build_dir/compile_commands.json" ]; then
  cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 -DZRPERF_WERROR=ON \
        -DZRPERF_BUILD_BENCHMARKS=OFF >/dev/null
fi

mapfile -t files < <(git ls-files '*.cpp' | grep -Ev '(_test|_fuzz)\.cpp$|^(bench|tests)/')
log="$build_dir/clang-tidy.log"
# run-clang-tidy takes regular expressions; anchor each path to its end.
patterns=()
for f in "${files[@]}"; do patterns+=("/${f//./\\.}\$"); done
if ! run-clang-tidy-14 -p "$build_dir" -quiet -j "$(nproc)" "${patterns[@]}" >"$log" 2>&1 ||
   grep -qE '(warning|error): ' "$log"; then
  grep -E '(warning|error): ' "$log" >&2 || tail -n 40 "$log" >&2
  echo "clang-tidy: findings (full log: $log)" >&2
  exit 1
fi
echo "clang-tidy: clean (${#files[@]} files)"
