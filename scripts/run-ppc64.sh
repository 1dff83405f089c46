#!/usr/bin/env bash
# Runs a powerpc64-linux-gnu program under qemu-ppc64: the target's loader and
# C library come from Debian's cross sysroot, its other shared libraries from
# the deps prefix (LD_LIBRARY_PATH in the guest only).
#
# A program that re-executes itself through argv[0] (GoogleTest's threadsafe
# death tests do) would ask the host kernel to run a PowerPC binary, which fails
# with "Exec format error" unless binfmt_misc forwards it to qemu. So the guest
# sees this script as its argv[0], and the script, when executed that way,
# starts qemu again on the same program.
#
# Usage: run-ppc64.sh [--libs DIR] PROGRAM [ARG...]
#   (the toolchain file makes this CTest's CMAKE_CROSSCOMPILING_EMULATOR)
set -euo pipefail

sysroot=/usr/powerpc64-linux-gnu
self=$(readlink -f "${BASH_SOURCE[0]}")

if [ -n "${ZRPERF_PPC64_SELF:-}" ]; then
  # Re-executed by the guest as its own argv[0]: same program, new arguments.
  program=$ZRPERF_PPC64_SELF
  libs=${ZRPERF_PPC64_LIBS:-}
else
  libs=""
  if [ "${1:-}" = "--libs" ]; then
    [ $# -ge 2 ] || { echo "run-ppc64: --libs needs a directory" >&2; exit 2; }
    libs=$2
    shift 2
  fi
  [ $# -ge 1 ] || { echo "usage: $0 [--libs DIR] PROGRAM [ARG...]" >&2; exit 2; }
  program=$(readlink -f "$1")
  shift
fi

qemu=$(command -v qemu-ppc64 || command -v qemu-ppc64-static) ||
  { echo "run-ppc64: qemu-ppc64 not found (Debian package qemu-user)" >&2; exit 127; }

# Inherited by the guest (qemu passes its environment on), so that a re-exec
# of argv[0] lands here with the program and library path to use.
export ZRPERF_PPC64_SELF="$program" ZRPERF_PPC64_LIBS="$libs"
guest_env=()
if [ -n "$libs" ]; then guest_env=(-E "LD_LIBRARY_PATH=$libs"); fi
# The host's qemu must not see the guest's library path.
unset LD_LIBRARY_PATH
exec "$qemu" -L "$sysroot" "${guest_env[@]}" -0 "$self" "$program" "$@"
