#!/usr/bin/env bash
# Builds the libFuzzer target for the comma-separated value file reader with
# clang (AddressSanitizer and UBSan) and runs it for a bounded time over the
# seed corpus in util/fuzz_corpus/. Fails on any crash, sanitizer report or
# failed check; the failing input is left in the build directory.
# Usage: scripts/fuzz.sh [seconds (default 60)] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
build_dir=build-fuzz
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    [0-9]*) seconds="$1"; shift ;;
    *) echo "usage: $0 [seconds] [--build-dir DIR]" >&2; exit 2 ;;
  esac
done

scripts/deps.sh clang-14 libclang-rt-14-dev
cxx=$(command -v clang++-14 || command -v clang++)

# The reader and the framework services it calls; nothing else is linked.
sources=(
  util/ZrScsiUtils_fuzz.cpp
  util/ZrScsiUtils.cpp
  util/internal/RecordText.cpp
  framework/ErrorUtil.cpp
  framework/FileSystem.cpp
  framework/KyError.cpp
  framework/KyPath.cpp
  framework/LogWriterInterface.cpp
  framework/internal/StringFormat.cpp
)

mkdir -p "$build_dir/corpus" "$build_dir/artifacts" "$build_dir/include"
# Project headers are included as <zrperf/folder/X.h>: the prefix is a link to
# the source root, as in the CMake build tree.
ln -sfn "$PWD" "$build_dir/include/zrperf"
"$cxx" -std=c++17 -g -O1 -Wall -Wextra -Werror -I"$build_dir/include" \
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
       "${sources[@]}" -o "$build_dir/ZrScsiUtils_fuzz"

# New inputs go to the build directory's corpus; the seeds stay as committed.
# Each input is a small file, so longer ones only repeat what shorter ones show.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build_dir/ZrScsiUtils_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$build_dir/artifacts/" "$build_dir/corpus" util/fuzz_corpus
