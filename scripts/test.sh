#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
# Usage: scripts/test.sh [--sanitize address,undefined|thread] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "usage: $0 [--sanitize address,undefined|thread] [--build-dir DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$build_dir" ]; then
  case "$sanitize" in
    "") build_dir=build ;;
    thread) build_dir=build-tsan ;;
    *) build_dir=build-asan ;;
  esac
fi

scripts/deps.sh
jobs=$(nproc)
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRPERF_WERROR=ON \
      -DZRPERF_SANITIZE="$sanitize"
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"

# The installed package, used from outside the tree (plain builds only).
if [ -z "$sanitize" ]; then
  scripts/consumer-test.sh "$build_dir"
fi
