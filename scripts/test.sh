#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
# Usage: scripts/test.sh [--sanitize address,undefined|thread] [--build-type TYPE] [--build-dir DIR]
#   --build-type: CMake build type, RelWithDebInfo by default. Debug keeps the
#   assertions of the library's dependencies (Boost's lock owner checks among
#   them) and inlines nothing; its build leaves the benchmarks out.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 [--sanitize address,undefined|thread] [--build-type TYPE] [--build-dir DIR]"
sanitize=""
build_type="RelWithDebInfo"
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-type) build_type="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
if [ -z "$build_dir" ]; then
  case "$sanitize" in
    "") build_dir=build ;;
    thread) build_dir=build-tsan ;;
    *) build_dir=build-asan ;;
  esac
  if [ "$build_type" != "RelWithDebInfo" ]; then
    build_dir="$build_dir-$(echo "$build_type" | tr '[:upper:]' '[:lower:]')"
  fi
fi
benchmarks=ON
if [ "$build_type" = "Debug" ]; then benchmarks=OFF; fi

scripts/deps.sh
jobs=$(nproc)
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DZRPERF_WERROR=ON \
      -DZRPERF_SANITIZE="$sanitize" -DZRPERF_BUILD_BENCHMARKS="$benchmarks"
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"

# The installed package, used from outside the tree (plain builds only).
if [ -z "$sanitize" ] && [ "$build_type" = "RelWithDebInfo" ]; then
  scripts/consumer-test.sh "$build_dir"
fi
