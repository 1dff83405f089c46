#!/usr/bin/env bash
# Builds the whole tree (libraries, tests, demo) with clang 14, -Wthread-safety
# and -Werror, so that every lock contract written with sync/ThreadAnnotations.h
# (guarded fields, required and excluded locks, lock order) is proven at
# compile time. A build step only: it runs no tests.
# Usage: scripts/thread-safety.sh [--build-dir DIR]   (default build-clang)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-clang
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR]" >&2; exit 2 ;;
  esac
done

scripts/deps.sh clang-14
cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 -DZRPERF_WERROR=ON \
      -DZRPERF_BUILD_BENCHMARKS=OFF
cmake --build "$build_dir" -j "$(nproc)"
