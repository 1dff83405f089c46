#!/usr/bin/env bash
# Builds zrperf for its deployed target, 64-bit big-endian PowerPC Linux, and
# runs the whole test suite there under qemu-user:
#   1. installs the cross compilers, qemu-user and the deps' build tools if
#      missing, and builds the target's libraries (cached; scripts/ppc64-deps.sh);
#   2. checks that the toolchain and emulator really give a big-endian 64-bit
#      target with lock-free 64-bit atomics;
#   3. configures, builds everything (benchmarks excluded, libzrperf-prometheus
#      included) with warnings as errors, checks the produced binaries are
#      big-endian PowerPC, and runs every test with ctest, each through
#      qemu-ppc64.
# Usage: scripts/test-ppc64.sh [--build-dir DIR] [--deps DIR]   (as root, or with sudo)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_dir=build-ppc64
deps="${ZRPERF_PPC64_DEPS:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/zrperf/ppc64-deps}"
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --deps) deps="$2"; shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--deps DIR]" >&2; exit 2 ;;
  esac
done
toolchain="$root/cmake/powerpc64-linux-gnu.cmake"
jobs=$(nproc)

die() { echo "test-ppc64: error: $*" >&2; exit 1; }
# True when $1 is a 64-bit big-endian PowerPC ELF file.
is_ppc64_be() {
  local desc
  desc=$(file -L "$1")
  [[ $desc == *"ELF 64-bit MSB"*PowerPC* ]]
}
step() { echo "test-ppc64: $* ($(date +%T))"; }

step "target dependencies"
bash scripts/ppc64-deps.sh --prefix "$deps"
deps=$(cd "$deps" && pwd)

step "configure"
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DZRPERF_PPC64_DEPS="$deps" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRPERF_WERROR=ON -DZRPERF_BUILD_BENCHMARKS=OFF \
  -DZRPERF_SANITIZE=

# The toolchain and the emulator, checked with the exact emulator command line
# that CTest uses: the program must be compiled for a big-endian 64-bit target
# and see its bytes in big-endian order at run time.
step "target check"
check_dir="$build_dir/ppc64-target-check"
mkdir -p "$check_dir"
cat >"$check_dir/check.cpp" <<'EOF'
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

static_assert(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, "target is not big-endian");
static_assert(sizeof(void*) == 8 && sizeof(long) == 8, "target is not LP64");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "64-bit atomics take a lock");

int main() {
  const std::uint64_t value = 0x0102030405060708ULL;
  unsigned char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  for (unsigned i = 0; i < sizeof value; ++i) {
    if (bytes[i] != i + 1) {
      std::printf("byte %u of 0x0102030405060708 is %u: not big-endian\n", i, bytes[i]);
      return 1;
    }
  }
  // Two threads race increments on one 64-bit counter; every one must count.
  std::atomic<std::uint64_t> counter{0};
  auto work = [&counter] {
    for (int i = 0; i < 100000; ++i) counter.fetch_add(1, std::memory_order_relaxed);
  };
  std::thread other(work);
  work();
  other.join();
  if (counter.load() != 200000) {
    std::printf("64-bit atomic counter lost updates: %llu\n",
                static_cast<unsigned long long>(counter.load()));
    return 1;
  }
  std::printf("big-endian\n");
  return 0;
}
EOF
powerpc64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -Werror -pthread "$check_dir/check.cpp" \
  -o "$check_dir/check"
is_ppc64_be "$check_dir/check" ||
  die "the cross compiler does not produce 64-bit big-endian PowerPC binaries: $(file "$check_dir/check")"
emulator=$(cmake -DZRPERF_PPC64_DEPS="$deps" -P cmake/print-ppc64-emulator.cmake)
IFS=';' read -r -a emulator_cmd <<<"$emulator"
[ "${#emulator_cmd[@]}" -gt 0 ] || die "no emulator configured"
out=$("${emulator_cmd[@]}" "$check_dir/check") || die "target check failed under qemu: $out"
[ "$out" = "big-endian" ] || die "unexpected target check output: $out"
echo "target check: $out, LP64, lock-free 64-bit atomics"

step "build"
cmake --build "$build_dir" -j "$jobs"

# Everything the build made for the target is big-endian PowerPC code.
lib=$(find "$build_dir" -maxdepth 1 -name 'libzrperf.so.*' -type f -print -quit)
[ -n "$lib" ] || die "libzrperf.so was not built"
is_ppc64_be "$lib" || die "$lib is not big-endian PowerPC: $(file "$lib")"
# The optional Prometheus component is built whenever prometheus-cpp is found,
# which the deps prefix guarantees: its absence here is a failure, not a skip.
lib=$(find "$build_dir" -maxdepth 3 -name 'libzrperf-prometheus.so.*' -type f -print -quit)
[ -n "$lib" ] || die "libzrperf-prometheus.so was not built (prometheus-cpp not found in $deps?)"
is_ppc64_be "$lib" || die "$lib is not big-endian PowerPC: $(file "$lib")"
while IFS= read -r -d '' program; do
  is_ppc64_be "$program" || die "$program is not big-endian PowerPC: $(file "$program")"
done < <(find "$build_dir" -path "$check_dir" -prune -o -type f -name '*_test' -print0)

step "test"
# Each test's command starts with the emulator (see CMAKE_CROSSCOMPILING_EMULATOR).
grep -rq --include=CTestTestfile.cmake "run-ppc64.sh" "$build_dir" ||
  die "ctest would not run the tests under qemu-ppc64"
tests=$(ctest --test-dir "$build_dir" -N)
grep -q "PrometheusCollector_test" <<<"$tests" || die "the Prometheus collector's tests are not in the suite"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
step "done"
